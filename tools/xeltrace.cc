// xeltrace: the platform's trace collector for a trace key, for running the plug-in alone.
//
//   xeltrace KEY [--once] [--out FILE] [--group NAME]
//
// Creates the shared trace buffer of KEY (for this account and, with --group, that group's
// members) and prints its lines as they arrive until Ctrl-C (or a break or termination
// request). With --once it drains what is in the buffer (opening the key's buffer when it
// already exists) and exits.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "osal/Process.h"
#include "osal/SharedMemory.h"
#include "util/LogBuffer.h"

namespace {

std::atomic<bool> g_bStop{false};

void OnInterrupt() { g_bStop.store(true); }

// The help text; on standard output for --help, on standard error after a wrong call.
int Usage(FILE* out, int exitCode) {
  fprintf(out,
          "Usage: xeltrace KEY [--once] [--out FILE] [--group NAME]\n"
          "Collects the trace lines of the plug-ins whose link name is KEY_suffix, the way the\n"
          "platform's trace collector does: creates the shared trace buffer of KEY and prints its\n"
          "lines as they arrive, until Ctrl-C (or a break or termination request). Each line\n"
          "leaves the buffer once, so only one collector reads a key. xelmaster collects the\n"
          "trace of the plug-in it starts itself (--trace-file); xeltrace is for a plug-in\n"
          "started by hand (xelhost PLUGIN KEY_suffix).\n"
          "\n"
          "Options:\n"
          "  KEY           the key, the part of the link name before its first underscore\n"
          "  --once        print what the buffer holds now and exit; opens the buffer of KEY\n"
          "                when it exists already\n"
          "  --out FILE    write the lines to FILE instead of standard output\n"
          "  --group NAME  let the members of group NAME write into the buffer too, for a\n"
          "                plug-in under another account of that group (default: only this\n"
          "                account may)\n"
          "  -h, --help    print this help and exit\n"
          "\n"
          "Exit status:\n"
          "  0     ended by an interrupt, or --once has printed the buffer\n"
          "  1     FILE cannot be opened, the trace buffer cannot be created or opened, or\n"
          "        its lock cannot be taken\n"
          "  2     wrong usage\n");
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  using velmora::util::ErrObjExist;
  using velmora::util::LogBuffer;
  using velmora::util::Ref;
  using velmora::util::Result;

  std::string key;
  std::string out_path;
  velmora::osal::ObjectAccess access;
  bool once = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      return Usage(stdout, 0);
    } else if (strcmp(argv[i], "--once") == 0) {
      once = true;
    } else if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      out_path = argv[++i];
    } else if (strcmp(argv[i], "--group") == 0 && i + 1 < argc) {
      access.M_Group = argv[++i];
    } else if (argv[i][0] == '-' || !key.empty()) {
      return Usage(stderr, 2);
    } else {
      key = argv[i];
    }
  }
  // The key is the part of a link name before its first underscore.
  if (key.empty() || key.find('_') != std::string::npos) return Usage(stderr, 2);

  if (!velmora::osal::CheckObjectAccess(access).ok()) {
    fprintf(stderr, "xeltrace: group \"%s\" is not known to the system\n", access.M_Group.c_str());
    return 2;
  }
  FILE* out = stdout;
  if (!out_path.empty()) {
    out = fopen(out_path.c_str(), "w");
    if (!out) {
      fprintf(stderr, "xeltrace: cannot open %s: %s\n", out_path.c_str(), strerror(errno));
      return 1;
    }
  }

  Ref<LogBuffer> buffer;
  Result r = LogBuffer::Create(key, &buffer, access);
  if (r.IsError() && once && r.Category() == ErrObjExist) r = LogBuffer::Open(key, &buffer);
  if (r.IsError()) {
    fprintf(stderr, "xeltrace: cannot create the trace buffer of %s: %s\n", key.c_str(),
            r.Text().c_str());
    return 1;
  }

  velmora::osal::OnInterruptRequest(&OnInterrupt);
  std::vector<std::string> lines;
  int rc = 0;
  while (!g_bStop.load()) {
    lines.clear();
    Result read = buffer->Read(&lines);
    for (const std::string& line : lines) fprintf(out, "%s\n", line.c_str());
    if (read.IsError()) {
      fprintf(out, "Error: Failed to own Log Buffer Mutex (Details=%s)\n",
              read.ErrorText().c_str());
      rc = 1;
      break;
    }
    fflush(out);
    if (once) break;
    // The writer signals only when it writes into an empty buffer; the time-out also
    // lets an interrupt end the loop.
    buffer->WaitForLines(200);
  }
  fprintf(out, "End of trace\n");
  fflush(out);
  if (out != stdout) fclose(out);
  buffer->Close();
  return rc;
}
