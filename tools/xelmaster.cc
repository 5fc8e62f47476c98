// xelmaster: the platform's master process for one plug-in, for running the connector by hand.
//
// Starts the host with the plug-in over a new data link, sends "start" with a component
// configuration, sends requests read from XML text files (each on a conversation of its
// own), prints every answer as indented XML text, and ends the plug-in with "stop" and
// "terminate". In poll mode it imports from watched folders instead: it polls them over and
// over, stores every claimed package in an output folder and confirms it. docs/xelmaster.md
// describes the options and the file formats.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "MasterSession.h"
#include "PollMode.h"
#include "osal/File.h"
#include "osal/Library.h"
#include "osal/Process.h"

namespace {

using velmora::tools::MasterOptions;
using velmora::tools::MasterSession;
using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::XmlParser;

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;       // bad options or unreadable input files
constexpr int kExitNoStart = 2;     // the plug-in could not be started
constexpr int kExitNoAnswer = 3;    // a call got no answer
constexpr int kExitPluginDied = 4;  // the plug-in process ended unexpectedly
constexpr int kExitPollErrors = 5;  // poll mode: a poll failed or a package was not stored

struct CallSpec {
  std::string M_File;
  std::string M_ConfirmFile;  // empty: no second message
  Ref<XmlParser> M_pRequest;
  std::string M_Function;
  Ref<XmlParser> M_pConfirm;
  std::string M_ConfirmFunction;
};

struct Options {
  MasterOptions M_Master;
  std::string M_ConfigFile;
  std::vector<CallSpec> M_Calls;
  std::string M_AnswersDir;
  bool M_bState = false;
  int M_RunLevel = 0;
  uint32_t M_TimeoutMs = 30000;
  uint32_t M_WaitMs = 0;
  // Poll mode.
  std::vector<std::string> M_PollFolders;
  std::vector<std::string> M_PollRequestFiles;
  std::string M_Mask = "*";
  std::string M_OutputDir;
  long M_Count = 0;  // 0: no limit
  uint32_t M_IntervalMs = 1000;
  bool M_bUntilEmpty = false;
  bool PollMode() const { return !M_PollFolders.empty() || !M_PollRequestFiles.empty(); }
};

// Set by Ctrl-C, a break or a termination request: poll mode finishes the package at hand,
// then ends the plug-in.
std::atomic<bool> g_bInterrupted{false};
void OnInterrupt() { g_bInterrupted.store(true); }

void PrintUsage(FILE* out) {
  std::fprintf(
      out,
      "Usage: xelmaster [options]\n"
      "Runs one plug-in as the platform's master process does: starts the host with the\n"
      "plug-in over a new data link, sends \"start\" with a component configuration, sends\n"
      "the requests of XML files and prints every answer as indented XML text, then ends\n"
      "the plug-in with \"stop\" and \"terminate\". In poll mode it imports from watched\n"
      "folders instead: it stores every package it claims in an output folder and confirms\n"
      "it, so that the plug-in deletes it from the folder.\n"
      "\n"
      "Options:\n"
      "  --plugin FILE         plug-in library (default: the build tree's, ../XELC_File/ from\n"
      "                        xelmaster's folder, or else the one installed with xelmaster)\n"
      "  --host FILE           host program (default: xelhost beside xelmaster)\n"
      "  --config FILE         component configuration to send with \"start\"\n"
      "  --call FILE           request to send on a new conversation (repeatable, in order)\n"
      "  --confirm FILE        second message on the conversation of the preceding --call,\n"
      "                        sent only when its answer carries a claimed file\n"
      "  --state               send \"GetState\" after the calls and print the status report\n"
      "  --run-level N         run level sent with \"GetState\" (default 0)\n"
      "  --wait MS             pause after the calls (lets schedules run before --state)\n"
      "  --answers DIR         also write every answer to DIR/NNN-<function>.xml\n"
      "  --trace-level N       master trace level of the plug-in (default 10)\n"
      "  --trace-file FILE     write the plug-in's trace lines to FILE (\"-\": stderr)\n"
      "  --link NAME           link name KEY_suffix (default: made from the process id)\n"
      "  --group NAME          let the members of group NAME open the link and the trace\n"
      "                        buffer too, for a plug-in under another account of that group\n"
      "                        (default: only this account may)\n"
      "  --workdir DIR         working directory of the plug-in process\n"
      "  --timeout MS          time to wait for each answer (default 30000)\n"
      "  -h, --help            print this help and exit\n"
      "\n"
      "Poll mode (instead of --call; needs --config with Folder/FolderInputBaseDirectory):\n"
      "  --poll-folder DIR     watched folder to import plain files from (repeatable)\n"
      "  --mask MASKS          file search masks for --poll-folder (default \"*\")\n"
      "  --poll-request FILE   poll request with its own folder settings, for trigger files\n"
      "                        and import descriptors (repeatable)\n"
      "  --output DIR          folder the received files are written to (required)\n"
      "  --count N             stop after N packages\n"
      "  --until-empty         stop when a round over all folders claims nothing\n"
      "  --interval MS         pause after a round that claimed nothing (default 1000)\n"
      "\n"
      "Ctrl-C (or Ctrl-Break, SIGTERM) finishes the current package, then ends the plug-in.\n"
      "\n"
      "Exit status:\n"
      "  0     every call answered (poll mode: every package stored and confirmed)\n"
      "  1     bad options or unreadable input files\n"
      "  2     the plug-in could not be started\n"
      "  3     a call got no answer\n"
      "  4     the plug-in process ended unexpectedly\n"
      "  5     poll mode: a poll was answered with an error or a package could not be stored\n");
}

// The directory of this program (for the default host and plug-in paths).
std::string OwnDirectory() {
  const std::string self = velmora::osal::CurrentExecutablePath();
  return self.empty() ? "." : velmora::tools::DirectoryOf(self);
}

bool ParseNumber(const char* text, long min, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// Parses the command line; returns -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options* o) {
  const std::string self = OwnDirectory();
  // Process::Start adds the program suffix where the system has one.
  o->M_Master.M_HostPath = self + "/xelhost";
  // The build tree's plug-in, or else the one installed with this program.
  const std::string plugin = velmora::osal::SharedLibraryFileName("XelcFile");
  const std::string built = self + "/../XELC_File/" + plugin;
  const std::string installed = self + "/" XEL_INSTALLED_PLUGIN_DIR "/" + plugin;
  o->M_Master.M_PluginPath =
      velmora::osal::FileExists(built) || !velmora::osal::FileExists(installed) ? built : installed;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "xelmaster: %s needs a value\n", a.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    long n = 0;
    if (a == "--help" || a == "-h") {
      PrintUsage(stdout);
      return kExitOk;
    } else if (a == "--state") {
      o->M_bState = true;
    } else if (a == "--until-empty") {
      o->M_bUntilEmpty = true;
    } else if (!value(&v)) {
      if (a.rfind("--", 0) != 0)
        std::fprintf(stderr, "xelmaster: unexpected argument %s\n", a.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    } else if (a == "--plugin") {
      o->M_Master.M_PluginPath = v;
    } else if (a == "--host") {
      o->M_Master.M_HostPath = v;
    } else if (a == "--config") {
      o->M_ConfigFile = v;
    } else if (a == "--call") {
      o->M_Calls.push_back(CallSpec{v, "", nullptr, "", nullptr, ""});
    } else if (a == "--confirm") {
      if (o->M_Calls.empty() || !o->M_Calls.back().M_ConfirmFile.empty()) {
        std::fprintf(stderr, "xelmaster: --confirm must follow a --call (once)\n");
        return kExitUsage;
      }
      o->M_Calls.back().M_ConfirmFile = v;
    } else if (a == "--poll-folder") {
      o->M_PollFolders.push_back(v);
    } else if (a == "--poll-request") {
      o->M_PollRequestFiles.push_back(v);
    } else if (a == "--mask") {
      o->M_Mask = v;
    } else if (a == "--output") {
      o->M_OutputDir = v;
    } else if (a == "--count" && ParseNumber(v, 1, LONG_MAX, &n)) {
      o->M_Count = n;
    } else if (a == "--interval" && ParseNumber(v, 0, INT_MAX, &n)) {
      o->M_IntervalMs = static_cast<uint32_t>(n);
    } else if (a == "--answers") {
      o->M_AnswersDir = v;
    } else if (a == "--trace-level" && ParseNumber(v, 0, 1000, &n)) {
      o->M_Master.M_TraceLevel = static_cast<int>(n);
    } else if (a == "--run-level" && ParseNumber(v, 0, INT_MAX, &n)) {
      o->M_RunLevel = static_cast<int>(n);
    } else if (a == "--timeout" && ParseNumber(v, 1, INT_MAX, &n)) {
      o->M_TimeoutMs = static_cast<uint32_t>(n);
    } else if (a == "--wait" && ParseNumber(v, 0, INT_MAX, &n)) {
      o->M_WaitMs = static_cast<uint32_t>(n);
    } else if (a == "--trace-file") {
      o->M_Master.M_TraceFile = v;
    } else if (a == "--link") {
      o->M_Master.M_LinkName = v;
    } else if (a == "--group") {
      o->M_Master.M_AccessGroup = v;
    } else if (a == "--workdir") {
      o->M_Master.M_WorkingDir = v;
    } else {
      std::fprintf(stderr, "xelmaster: bad option or value: %s %s\n", a.c_str(), v);
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  if (o->PollMode()) {
    if (o->M_OutputDir.empty()) {
      std::fprintf(stderr, "xelmaster: poll mode needs --output DIR\n");
      return kExitUsage;
    }
    if (!o->M_Calls.empty()) {
      std::fprintf(stderr, "xelmaster: --call cannot be combined with poll mode\n");
      return kExitUsage;
    }
  } else if (o->M_bUntilEmpty || o->M_Count > 0 || !o->M_OutputDir.empty()) {
    std::fprintf(stderr,
                 "xelmaster: --output, --count and --until-empty need --poll-folder or "
                 "--poll-request\n");
    return kExitUsage;
  }
  return -1;
}

// Reads and encodes a request file; false with a message when it cannot be used.
bool LoadRequest(const std::string& file, Ref<XmlParser>* pRequest, std::string* pFunction) {
  std::string text, error;
  if (!velmora::tools::ReadWholeFile(file, &text, &error)) {
    std::fprintf(stderr, "xelmaster: %s\n", error.c_str());
    return false;
  }
  Result r =
      velmora::tools::RequestFromText(text, velmora::tools::DirectoryOf(file), pRequest, pFunction);
  if (r.IsError()) {
    std::fprintf(stderr, "xelmaster: %s is not a usable request: %s\n", file.c_str(),
                 r.ErrorText().c_str());
    return false;
  }
  return true;
}

// Prints answers and keeps the numbered copies.
class AnswerPrinter {
 public:
  explicit AnswerPrinter(std::string dir) : M_Dir(std::move(dir)) {}
  bool Prepare() {
    if (M_Dir.empty()) return true;
    velmora::osal::Status s = velmora::osal::CreateFolder(M_Dir);
    if (!s.ok() && !velmora::osal::FolderExists(M_Dir)) {
      std::fprintf(stderr, "xelmaster: cannot create %s: %s\n", M_Dir.c_str(), s.Text().c_str());
      return false;
    }
    return true;
  }
  void Print(const std::string& title, const XmlParser& answer) {
    const std::string text = velmora::tools::DocumentToText(answer, 2);
    ++M_Count;
    std::printf("<!-- %d: %s -->\n%s\n", M_Count, title.c_str(), text.c_str());
    std::fflush(stdout);
    Write(title, text);
  }
  // Only the numbered copy (poll mode keeps standard output for its package lines).
  void Save(const std::string& title, const XmlParser& answer) {
    if (M_Dir.empty()) return;
    ++M_Count;
    Write(title, velmora::tools::DocumentToText(answer, 2));
  }
  bool Saves() const { return !M_Dir.empty(); }

 private:
  void Write(const std::string& title, const std::string& text) {
    if (M_Dir.empty()) return;
    char name[32];
    std::snprintf(name, sizeof name, "%03d-", M_Count);
    std::string file = M_Dir + "/" + name + title + ".xml";
    std::ofstream f(velmora::tools::PathOf(file), std::ios::binary);
    f << text << "\n";
    f.close();
    if (!f) std::fprintf(stderr, "xelmaster: cannot write %s\n", file.c_str());
  }

  std::string M_Dir;
  int M_Count = 0;
};

void OnNotice(const std::string& kind, XmlParser&) {
  std::fprintf(stderr, "xelmaster: notice \"%s\" from the plug-in\n", kind.c_str());
}

// True when a failure means the plug-in process is gone.
bool IsDeath(const Result& r) { return r.IsError() && r.IsClass(velmora::util::ErrStopped); }

bool IsFault(const XmlParser& answer) { return velmora::tools::AnswerKind(answer) == "Fault"; }

// One folder of poll mode: the request that polls it and a name for messages.
struct PollJob {
  std::string M_Label;
  Ref<XmlParser> M_pRequest;
};

// Builds the poll requests of the command line (read before anything is started).
bool LoadPollJobs(const Options& o, std::vector<PollJob>* pJobs) {
  for (const std::string& folder : o.M_PollFolders) {
    PollJob job{folder, nullptr};
    Result r = velmora::tools::PlainPollRequest(folder, o.M_Mask, &job.M_pRequest);
    if (r.IsError()) {
      std::fprintf(stderr, "xelmaster: cannot build the poll request for %s: %s\n", folder.c_str(),
                   r.ErrorText().c_str());
      return false;
    }
    pJobs->push_back(job);
  }
  for (const std::string& file : o.M_PollRequestFiles) {
    PollJob job{file, nullptr};
    std::string function;
    if (!LoadRequest(file, &job.M_pRequest, &function)) return false;
    if (function != "poll") {
      std::fprintf(stderr, "xelmaster: %s is a \"%s\" request, not \"poll\"\n", file.c_str(),
                   function.c_str());
      return false;
    }
    std::string watched;
    (void)job.M_pRequest->ReadStringAtPath("/Envelope/Body/poll/specific/folder/WatchedPath",
                                           &watched);
    if (!watched.empty()) job.M_Label = watched;
    pJobs->push_back(job);
  }
  return true;
}

// Poll mode: rounds over all jobs until a stop condition holds. Returns the exit code, or
// -1 when the plug-in died (*pDeath tells why).
int RunPollMode(MasterSession& session, const Options& o, std::vector<PollJob>& jobs,
                AnswerPrinter& printer, Result* pDeath) {
  using velmora::tools::PollOutcome;
  velmora::tools::PollClient client(&session, o.M_OutputDir, o.M_TimeoutMs);
  client.KeepAnswers(printer.Saves());
  long packages = 0;
  int64_t bytes = 0;
  bool errors = false;
  const uint64_t t0 = velmora::osal::TickCountMs();
  auto done = [&]() { return g_bInterrupted || (o.M_Count > 0 && packages >= o.M_Count); };
  while (!done()) {
    bool claimed = false;
    for (PollJob& job : jobs) {
      if (done()) break;
      PollOutcome out;
      Result r = client.Poll(*job.M_pRequest, &out);
      if (IsDeath(r)) {
        *pDeath = r;
        return -1;
      }
      // The answers of packages and of failures; an idle poller's "No file found" every
      // interval would only bury them.
      if (out.M_bClaimed || out.M_bError) {
        for (const auto& kept : client.LastAnswers()) {
          printer.Save(kept.M_Function, *kept.M_pDocument);
        }
      }
      if (r.IsError()) {
        std::fprintf(stderr, "xelmaster: poll of %s: %s\n", job.M_Label.c_str(),
                     r.ErrorText().c_str());
        errors = true;
        continue;
      }
      if (out.M_bClaimed) {
        claimed = true;
        ++packages;
        bytes += out.Bytes();
        errors = errors || out.M_bError;
        std::printf("%s\n", velmora::tools::DescribePackage(out, packages, job.M_Label).c_str());
        std::fflush(stdout);
      } else if (out.M_bError) {
        std::fprintf(stderr, "xelmaster: poll of %s answered %s: %s\n", job.M_Label.c_str(),
                     out.M_Status.c_str(), out.M_Text.c_str());
        errors = true;
      }
    }
    if (claimed || done()) continue;
    if (o.M_bUntilEmpty) break;
    // Nothing to import: wait, but stay responsive to an interrupt.
    for (uint32_t waited = 0; waited < o.M_IntervalMs && !g_bInterrupted; waited += 50) {
      velmora::osal::SleepMs(std::min<uint32_t>(50, o.M_IntervalMs - waited));
    }
  }
  const double seconds = static_cast<double>(velmora::osal::TickCountMs() - t0) / 1000.0;
  std::fprintf(stderr, "xelmaster: %ld package(s), %lld bytes in %.3f s%s\n", packages,
               static_cast<long long>(bytes), seconds, g_bInterrupted ? " (interrupted)" : "");
  return errors ? kExitPollErrors : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // The arguments in UTF-8 (main's argv is in the system's code page on Windows).
  std::vector<std::string> line = velmora::osal::CurrentCommandLine();
  if (line.size() != static_cast<size_t>(argc)) line.assign(argv, argv + argc);
  std::vector<char*> args;
  for (std::string& a : line) args.push_back(a.data());
  args.push_back(nullptr);

  Options o;
  int rc = ParseOptions(argc, args.data(), &o);
  if (rc >= 0) return rc;

  // Every input is read before anything is started, so a typo costs no plug-in start.
  std::string config;
  if (!o.M_ConfigFile.empty()) {
    std::string error;
    if (!velmora::tools::ReadWholeFile(o.M_ConfigFile, &config, &error)) {
      std::fprintf(stderr, "xelmaster: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  for (CallSpec& c : o.M_Calls) {
    if (!LoadRequest(c.M_File, &c.M_pRequest, &c.M_Function)) return kExitUsage;
    if (!c.M_ConfirmFile.empty() &&
        !LoadRequest(c.M_ConfirmFile, &c.M_pConfirm, &c.M_ConfirmFunction)) {
      return kExitUsage;
    }
  }
  AnswerPrinter printer(o.M_AnswersDir);
  if (!printer.Prepare()) return kExitUsage;
  std::vector<PollJob> pollJobs;
  if (o.PollMode()) {
    if (!LoadPollJobs(o, &pollJobs)) return kExitUsage;
    if (!velmora::osal::FolderExists(o.M_OutputDir)) {
      velmora::osal::Status s = velmora::osal::CreateFolder(o.M_OutputDir);
      if (!s.ok() && !velmora::osal::FolderExists(o.M_OutputDir)) {
        std::fprintf(stderr, "xelmaster: cannot create %s: %s\n", o.M_OutputDir.c_str(),
                     s.Text().c_str());
        return kExitUsage;
      }
    }
    velmora::osal::OnInterruptRequest(&OnInterrupt);
    o.M_Master.M_bHostIgnoresSigint = true;
  }

  MasterSession session;
  session.SetNoticeSink(&OnNotice);
  Result r = session.Start(o.M_Master);
  if (r.IsError()) {
    std::fprintf(stderr, "xelmaster: the plug-in could not start: %s\n", r.ErrorText().c_str());
    return kExitNoStart;
  }
  std::fprintf(stderr, "xelmaster: plug-in process %d greeted on link %s\n",
               session.GreetedProcessId(), session.LinkName().c_str());

  rc = kExitOk;
  auto died = [&](const Result& why) {
    std::fprintf(stderr, "xelmaster: %s\n", why.ErrorText().c_str());
    session.Close();
    return kExitPluginDied;
  };

  if (!o.M_ConfigFile.empty()) {
    Ref<XmlParser> answer;
    r = session.SendStart(config, &answer, velmora::tools::DirectoryOf(o.M_ConfigFile),
                          o.M_TimeoutMs);
    if (IsDeath(r)) return died(r);
    if (r.IsError() || IsFault(*answer)) {
      if (answer) printer.Print("start", *answer);
      // The fault's own text says why (for example which included file could not be read).
      std::string why = "the plug-in answered with a fault";
      if (r.IsError()) {
        why = r.ErrorText();
      } else {
        XmlParser reader(*answer);
        std::string text;
        if (reader.ReadStringAtPath("/Envelope/Body/Fault/faultstring", &text).IsSuccess() &&
            !text.empty()) {
          why = text;
        }
      }
      std::fprintf(stderr, "xelmaster: \"start\" failed: %s\n", why.c_str());
      r = session.Finish(nullptr, nullptr);
      if (r.IsError()) std::fprintf(stderr, "xelmaster: %s\n", r.ErrorText().c_str());
      return kExitNoStart;
    }
    if (o.PollMode()) {
      printer.Save("start", *answer);
    } else {
      printer.Print("start", *answer);
    }
  }

  if (o.PollMode()) {
    Result death;
    rc = RunPollMode(session, o, pollJobs, printer, &death);
    if (rc < 0) return died(death);
  }

  for (CallSpec& c : o.M_Calls) {
    Ref<velmora::xel::ConnectionPtp> conn;
    Ref<XmlParser> answer;
    r = session.OpenAndSend(*c.M_pRequest, &conn);
    if (r.IsSuccess()) r = session.ReceiveAnswer(conn.get(), &answer, o.M_TimeoutMs);
    if (IsDeath(r)) return died(r);
    if (r.IsError()) {
      std::fprintf(stderr, "xelmaster: no answer to %s (%s): %s\n", c.M_Function.c_str(),
                   c.M_File.c_str(), r.ErrorText().c_str());
      rc = kExitNoAnswer;
      continue;
    }
    printer.Print(c.M_Function, *answer);
    if (c.M_ConfirmFile.empty()) continue;
    // A confirmation only makes sense when the answer claimed a file for the caller.
    const bool claimed = velmora::tools::AnswerKind(*answer) == "poll-res" &&
                         answer->ExistsPath("/Envelope/Body/poll-res/message");
    if (!claimed) {
      std::fprintf(stderr, "xelmaster: nothing was claimed; %s not sent\n",
                   c.M_ConfirmFile.c_str());
      continue;
    }
    Ref<XmlParser> confirmAnswer;
    r = session.SendOn(conn.get(), *c.M_pConfirm, &confirmAnswer, o.M_TimeoutMs);
    if (IsDeath(r)) return died(r);
    if (r.IsError()) {
      std::fprintf(stderr, "xelmaster: no answer to %s (%s): %s\n", c.M_ConfirmFunction.c_str(),
                   c.M_ConfirmFile.c_str(), r.ErrorText().c_str());
      rc = kExitNoAnswer;
      continue;
    }
    printer.Print(c.M_ConfirmFunction, *confirmAnswer);
  }

  if (o.M_WaitMs > 0) velmora::osal::SleepMs(o.M_WaitMs);
  if (o.M_bState) {
    Ref<XmlParser> answer;
    r = session.AppFunction("GetState", &answer, o.M_RunLevel, o.M_TimeoutMs);
    if (IsDeath(r)) return died(r);
    if (r.IsError()) {
      std::fprintf(stderr, "xelmaster: no answer to GetState: %s\n", r.ErrorText().c_str());
      rc = kExitNoAnswer;
    } else {
      printer.Print("GetState", *answer);
    }
  }

  r = session.Finish(nullptr, nullptr);
  if (IsDeath(r)) return died(r);
  if (r.IsError()) {
    std::fprintf(stderr, "xelmaster: ending the plug-in: %s\n", r.ErrorText().c_str());
    if (rc == kExitOk) rc = kExitNoAnswer;
  } else if (session.Exit().killed || session.Exit().code != 0) {
    std::fprintf(stderr, "xelmaster: the plug-in process %s\n", session.Exit().Describe().c_str());
    if (rc == kExitOk) rc = kExitPluginDied;
  }
  return rc;
}
