// xeltrace: the platform's trace collector for a trace key, for running the plug-in alone.
//
//   xeltrace KEY [--once] [--out FILE]
//
// Creates the shared trace buffer of KEY and prints its lines as they arrive until Ctrl-C
// (or a break or termination request). With --once it drains what is in the buffer (opening
// the key's buffer when it already exists) and exits.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "osal/Process.h"
#include "util/LogBuffer.h"

namespace {

std::atomic<bool> g_bStop{false};

void OnInterrupt() { g_bStop.store(true); }

int Usage() {
  fprintf(stderr, "usage: xeltrace KEY [--once] [--out FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using velmora::util::ErrObjExist;
  using velmora::util::LogBuffer;
  using velmora::util::Ref;
  using velmora::util::Result;

  std::string key;
  std::string out_path;
  bool once = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--once") == 0) {
      once = true;
    } else if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      out_path = argv[++i];
    } else if (argv[i][0] == '-' || !key.empty()) {
      return Usage();
    } else {
      key = argv[i];
    }
  }
  // The key is the part of a link name before its first underscore.
  if (key.empty() || key.find('_') != std::string::npos) return Usage();

  FILE* out = stdout;
  if (!out_path.empty()) {
    out = fopen(out_path.c_str(), "w");
    if (!out) {
      fprintf(stderr, "xeltrace: cannot open %s: %s\n", out_path.c_str(), strerror(errno));
      return 1;
    }
  }

  Ref<LogBuffer> buffer;
  Result r = LogBuffer::Create(key, &buffer);
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
