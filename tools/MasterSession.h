// MasterSession: the platform's master side of one plug-in process - trace buffer, data link,
// host process, greeting, application requests and calls on conversations of their own.
//
// Header-only so that xelmaster and the end-to-end tests share it without a library of its
// own.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "osal/Process.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"
#include "util/LogBuffer.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/ConnectionPtp.h"
#include "xel/DataLinkIpc.h"
#include "xel/Message.h"
#include "xel/ServerThread.h"
#include "xel/Switch.h"
#include "xel/XmlParser.h"

namespace velmora::tools {

// Namespace of the master's own markup in request files (never sent to the plug-in):
// xel:file="path" makes the file's bytes the binary content of the element, xel:type="n" on
// the root element sets the message kind (default 1, a request that wants an answer).
inline constexpr const char* kNsXelMasterTool = XEL_PLATFORM_URI_HOST "/2026/xelmaster";

// Link buffer sizes the master asks for, each way.
inline constexpr uint32_t kMasterLinkBufferSize = 40960;

// How a session starts its plug-in process.
struct MasterOptions {
  std::string M_HostPath;    // the host program (xelhost)
  std::string M_PluginPath;  // the plug-in library handed to the host
  std::string M_LinkName;    // "KEY_suffix"; empty: made unique from the process id
  int M_TraceLevel = 10;     // the master trace level passed to the plug-in
  std::string M_TraceFile;   // collected trace lines; empty: drained and dropped, "-": stderr
  std::string M_WorkingDir;  // the host's working directory; empty: inherited
  uint32_t M_GreetingTimeoutMs = 15000;
  bool M_bHostOutputToStderr = true;  // keeps the master's standard output for answers
  // The host does not receive the console's Ctrl-C, so that Ctrl-C in a terminal (which
  // reaches the whole process group) reaches only the master, which then ends the plug-in in
  // order.
  bool M_bHostIgnoresSigint = false;
  // A group whose members may open the link and the trace buffer besides this account (for a
  // host that runs under another account of that group); empty: this account only.
  std::string M_AccessGroup;
  // Makes the master's side of the link (tests give one that can write faults into it);
  // empty: a plain DataLinkIpc.
  std::function<util::Ref<xel::DataLinkIpc>(const std::string& linkName)> M_MakeLink;
};

// A path of UTF-8 text (as the command line and the request files give them) for the
// standard library's files, which take the system's code page on Windows.
inline std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// True for "/x", "\\x" and "C:..." paths; the others are relative to a base folder.
inline bool IsAbsolutePath(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 1 && path[1] == ':');
}

// Reads a whole file; false (and *error set) when it cannot be read.
inline bool ReadWholeFile(const std::string& path, std::string* out, std::string* error) {
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  *out = s.str();
  return true;
}

// The folder made absolute: a relative one is taken below the working directory.
inline std::string AbsoluteFolder(const std::string& folder) {
  if (IsAbsolutePath(folder)) return folder;
  std::string cwd;
  if (!osal::GetWorkingDirectory(&cwd).ok() || cwd.empty()) return folder;
  if (folder == ".") return cwd;
  const char last = cwd.back();
  return cwd + (last == '/' || last == '\\' ? "" : "/") + folder;
}

// The folder part of a path ("/" and "\\" both separate).
inline std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A document over the bytes of an XML text (the format is detected when it is read).
inline util::Ref<xel::XmlParser> DocumentFromText(const std::string& text) {
  util::Ref<xel::XmlParser> doc = xel::XmlParser::Create();
  if (!text.empty()) {
    util::Result r = doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size()));
    if (r.IsError()) return nullptr;
  }
  return doc;
}

// Moves the cursor of doc (from the start) onto its root element.
inline util::Result MoveToRoot(xel::XmlParser& doc) {
  util::Result r = doc.Rewind();
  while (r.IsSuccess()) {
    r = doc.NextToken();
    if (r.IsSuccess() && doc.GetNodeType() == xel::XmlParser::Node_ElementStart) return r;
  }
  return util::Result::Fail(util::ErrWrongFormat, "no root element (%s)", r.Text().c_str());
}

// Copies the element at src's cursor with its content into dst, as CopySubtree does, but
// honours the master's markup: an element carrying xel:file gets the bytes of that file
// (relative paths against baseDir) as binary content in place of its own content, and no
// attribute of the master's namespace is copied. src's cursor ends past the element.
inline util::Result CopyElementWithFiles(xel::XmlParser& src, xel::XmlParser& dst,
                                         const std::string& baseDir) {
  using xel::XmlParser;
  if (src.GetNodeType() != XmlParser::Node_ElementStart) {
    return util::Result::Fail(util::ErrLogicState, "the cursor is not on an element");
  }
  const int depth0 = src.GetDepth();
  std::string pendingFile;  // file named by the element just opened
  int skipUntilDepth = -1;  // >= 0 while the content of a file element is skipped
  std::vector<char> chunk(65536);

  auto openElement = [&]() -> util::Result {
    const std::string& uri = src.GetNamespace();
    int h = 0;
    if (!uri.empty() || !src.GetPrefix().empty()) {
      h = dst.DeclareNamespace(src.GetPrefix().c_str(), uri.c_str());
    }
    return dst.OpenElement(h, src.GetLocalName().c_str());
  };
  // Writes the file of the element whose attributes have just been read.
  auto flushFile = [&]() -> util::Result {
    if (pendingFile.empty()) return util::Result();
    std::string path = IsAbsolutePath(pendingFile) ? pendingFile : baseDir + "/" + pendingFile;
    pendingFile.clear();
    std::string bytes, error;
    if (!ReadWholeFile(path, &bytes, &error)) {
      return util::Result::Fail(util::ErrObjNotExist, "xel:file: %s", error.c_str());
    }
    // An empty file still makes the content binary (an empty binary token).
    return dst.WriteBinary(bytes.data(), static_cast<int64_t>(bytes.size()));
  };

  util::Result r = openElement();
  int fileElementDepth = -1;  // depth of the element whose xel:file was read
  while (r.IsSuccess()) {
    r = src.NextToken();
    if (r.IsError()) return r;
    const int type = src.GetNodeType();
    if (!pendingFile.empty() && type != XmlParser::Node_Attribute &&
        type != XmlParser::Node_AttributeEnd) {
      // The element's attributes are complete: its content is the file.
      r = flushFile();
      if (r.IsError()) return r;
      skipUntilDepth = fileElementDepth - 1;
    }
    if (skipUntilDepth >= 0) {
      // Inside a file element: drop its own content, keep its end.
      if (type == XmlParser::Node_ElementEnd && src.GetDepth() == skipUntilDepth) {
        skipUntilDepth = -1;
        r = dst.CloseElement();
        if (r.IsError() || src.GetDepth() < depth0) return r;
      } else if (type == XmlParser::Node_ElementStart) {
        r = src.SkipElement();
      }
      continue;
    }
    switch (type) {
      case XmlParser::Node_ElementStart:
        r = openElement();
        break;
      case XmlParser::Node_Attribute: {
        std::string prefix = src.GetPrefix(), uri = src.GetNamespace(), name = src.GetLocalName();
        std::string value;
        r = src.ReadString(&value);
        if (r.IsError()) return r;
        if (uri == kNsXelMasterTool) {
          if (name == "file") {
            if (value.empty()) {
              return util::Result::Fail(util::ErrLogicArgs, "xel:file without a file name");
            }
            pendingFile = value;
            fileElementDepth = src.GetDepth() - 1;
          }
          break;
        }
        int h = 0;
        if (!uri.empty()) h = dst.DeclareNamespace(prefix.c_str(), uri.c_str());
        r = dst.WriteAttribute(h, name.c_str(), value.c_str());
        break;
      }
      case XmlParser::Node_Chars:
      case XmlParser::Node_Binary: {
        const bool binary = type == XmlParser::Node_Binary;
        for (;;) {
          int len = 0;
          util::Result rr = binary
                                ? src.ReadBinary(chunk.data(), static_cast<int>(chunk.size()), &len)
                                : src.ReadText(chunk.data(), static_cast<int>(chunk.size()), &len);
          if (rr.IsError()) return rr;
          r = binary ? dst.WriteBinary(chunk.data(), len) : dst.WriteChars(chunk.data(), len);
          if (r.IsError() || rr.Category() != util::ErrMoreData) break;
        }
        break;
      }
      case XmlParser::Node_ElementEnd:
        r = dst.CloseElement();
        if (r.IsSuccess() && src.GetDepth() < depth0) return r;
        break;
      default:
        break;
    }
  }
  return r;
}

// Reads a request from XML text: either a whole SOAP envelope, or just the function element
// (the envelope is then written around it, as a request of kind 1 unless the root carries
// xel:type). The result is a document in the platform's binary token stream, ready to send.
inline util::Result RequestFromText(const std::string& text, const std::string& baseDir,
                                    util::Ref<xel::XmlParser>* pRequest, std::string* pFunction) {
  using xel::XmlParser;
  util::Ref<XmlParser> src = DocumentFromText(text);
  if (!src) return util::Result::Fail(util::ErrResource, "out of memory");
  util::Result r = MoveToRoot(*src);
  if (r.IsError()) return r;

  util::Ref<XmlParser> out = XmlParser::Create();
  r = out->SetDataFormat(XmlParser::Format_Binary);
  if (r.IsError()) return r;
  const bool envelope =
      src->GetLocalName() == "Envelope" && src->GetNamespace() == xel::kNsSoapEnvelope;
  if (!envelope) {
    int type = XmlParser::MsgType_Request;
    std::string typeText;
    // The kind is an attribute of the master's namespace; look it up by name and namespace.
    XmlParser attrs(*src);
    while (attrs.NextToken().IsSuccess() && attrs.GetNodeType() == XmlParser::Node_Attribute) {
      if (attrs.GetNamespace() == kNsXelMasterTool && attrs.GetLocalName() == "type") {
        (void)attrs.ReadString(&typeText);
        char* end = nullptr;
        long v = std::strtol(typeText.c_str(), &end, 10);
        if (typeText.empty() || *end != '\0') {
          return util::Result::Fail(util::ErrLogicArgs, "xel:type \"%s\" is not a number",
                                    typeText.c_str());
        }
        type = static_cast<int>(v);
        break;
      }
    }
    r = out->BeginMessage(type, nullptr, nullptr, nullptr, nullptr);
    if (r.IsError()) return r;
  }
  r = CopyElementWithFiles(*src, *out, baseDir);
  if (r.IsSuccess()) r = out->CloseAll();
  if (r.IsError()) return r;
  r = out->Rewind();
  if (r.IsError()) return r;
  if (pFunction) {
    XmlParser header(*out);
    r = header.ReadHeader(nullptr, nullptr, nullptr, pFunction, nullptr);
    if (r.IsError()) return r;
    (void)out->Rewind();
  }
  *pRequest = out;
  return util::Result();
}

// The whole document as XML text, indented by indent blanks per level.
inline std::string DocumentToText(const xel::XmlParser& doc, int indent = 2) {
  using xel::XmlParser;
  XmlParser src(doc);
  util::Result r = MoveToRoot(src);
  if (r.IsError()) return "<!-- unreadable document: " + r.Text() + " -->";
  util::Ref<XmlParser> text = XmlParser::Create();
  r = text->SetDataFormat(XmlParser::Format_XmlUtf8);
  if (r.IsSuccess()) r = text->SetIndentation(indent);
  if (r.IsSuccess()) r = text->CopySubtree(src, 1);
  if (r.IsSuccess()) r = text->CloseAll();
  if (r.IsError()) return "<!-- document cannot be shown: " + r.Text() + " -->";
  xel::Message* m = text->GetMessage();
  if (m->FetchAll().IsError()) return "<!-- document cannot be shown -->";
  std::string out(static_cast<size_t>(m->Size()), '\0');
  if (!out.empty() && m->ReadExact(0, out.data(), static_cast<int32_t>(out.size())).IsError()) {
    return "<!-- document cannot be shown -->";
  }
  return out;
}

// The kind of an answer: the local name of the first element in its body ("Fault" for a
// fault); *pType gets the header's message kind.
inline std::string AnswerKind(const xel::XmlParser& answer, int* pType = nullptr) {
  xel::XmlParser c(answer);
  std::string function;
  int type = -1;
  (void)c.Rewind();
  util::Result r = c.ReadHeader(&type, nullptr, nullptr, &function, nullptr);
  if (pType) *pType = type;
  return r.IsSuccess() ? function : std::string();
}

// Where MasterSession hands over an answer's cursor.
enum class AnswerPosition { kTop, kFunction };

// One started plug-in process and the master's side of its link. Not thread-safe: one
// thread drives a session (the trace reader and the greeting arrive on threads of their
// own, synchronised inside).
class MasterSession {
 public:
  MasterSession() = default;
  ~MasterSession() { Close(); }
  MasterSession(const MasterSession&) = delete;
  MasterSession& operator=(const MasterSession&) = delete;

  // Creates the trace buffer and the link, starts the host and waits for its "Greeting".
  // On failure everything is released again; the result tells what went wrong.
  util::Result Start(const MasterOptions& options) {
    M_Options = options;
    if (M_Options.M_LinkName.empty()) {
      static std::atomic<int> counter{0};
      M_Options.M_LinkName = "XM" + std::to_string(osal::CurrentProcessId()) + "n" +
                             std::to_string(++counter) + "_master";
    }
    const std::string& link = M_Options.M_LinkName;
    const size_t underscore = link.find('_');
    if (underscore == std::string::npos || underscore == 0) {
      return util::Result::Fail(util::ErrLogicArgs, "link name \"%s\" must be KEY_suffix",
                                link.c_str());
    }
    osal::ObjectAccess access;
    access.M_Group = M_Options.M_AccessGroup;
    if (!osal::CheckObjectAccess(access).ok()) {
      return util::Result::Fail(util::ErrLogicArgs, "group \"%s\" is not known to the system",
                                access.M_Group.c_str());
    }
    util::Result r = StartTraceReader(link.substr(0, underscore), access);
    if (r.IsError()) return Failed(r);

    M_pLink = M_Options.M_MakeLink ? M_Options.M_MakeLink(link)
                                   : util::Ref<xel::DataLinkIpc>::Adopt(new xel::DataLinkIpc());
    M_pLink->SetObjectAccess(access);
    xel::Switch::AttachLink(M_pLink.get());
    Registry().Add(this);
    r = M_pLink->Connect(link, true, 0, kMasterLinkBufferSize, kMasterLinkBufferSize);
    if (r.IsError()) return Failed(r);
    M_hLink.store(M_pLink->GetHandle());

    r = SpawnHost();
    if (r.IsError()) return Failed(r);
    r = WaitForGreeting();
    if (r.IsError()) return Failed(r);
    return r;
  }

  // Sends "start" for a component. componentXml: the component's code element
  // (<XelcFile>...</XelcFile>), or a <Component> element holding <Code> with it and
  // optionally <Common> and further process settings. The answer goes to *pAnswer.
  // Files named by xel:file in it are read relative to baseDir, and the plug-in resolves
  // relative XInclude hrefs in it against baseDir too (sent as "IncludeBase").
  util::Result SendStart(const std::string& componentXml, util::Ref<xel::XmlParser>* pAnswer,
                         const std::string& baseDir = ".", uint32_t timeoutMs = 30000) {
    using xel::XmlParser;
    util::Ref<XmlParser> cfg = DocumentFromText(componentXml);
    util::Result r = cfg ? MoveToRoot(*cfg) : util::Result::Fail(util::ErrResource, "memory");
    if (r.IsError())
      return util::Result::Fail(util::ErrWrongFormat, "configuration: %s", r.ErrorText().c_str());
    XmlParser start;
    r = start.BeginMessage(XmlParser::MsgType_Request, nullptr, nullptr, "start",
                           xel::kNsXelMaster);
    if (r.IsSuccess()) r = start.WriteElement(-1, "SolutionShortName", "xelmaster");
    if (r.IsSuccess()) {
      r = start.WriteElementInt(-1, "ProcessIdOfMaster",
                                static_cast<int32_t>(osal::CurrentProcessId()));
    }
    if (r.IsSuccess()) r = start.OpenElement(-1, "Process");
    // Relative XInclude hrefs of the configuration are meant relative to its own folder; the
    // plug-in resolves them against this one (made absolute, as the plug-in's working
    // directory may be another).
    if (r.IsSuccess() && !baseDir.empty()) {
      r = start.WriteElement(-1, "IncludeBase", AbsoluteFolder(baseDir).c_str());
    }
    if (r.IsSuccess()) r = start.OpenElement(-1, "ComponentList");
    if (r.IsSuccess()) r = start.OpenElement(-1, "Component");
    if (r.IsSuccess()) {
      // The runtime builds its common configuration from "Common", which must be there even
      // when it holds nothing.
      bool hasCommon = false;
      if (cfg->GetLocalName() == "Component" && cfg->GetNamespace().empty()) {
        hasCommon = cfg->ExistsPath("Common");
        r = CopyContentWithFiles(*cfg, start, baseDir);
      } else {
        r = start.OpenElement(-1, "Code");
        if (r.IsSuccess()) r = CopyElementWithFiles(*cfg, start, baseDir);
        if (r.IsSuccess()) r = start.CloseElement();
      }
      if (r.IsSuccess() && !hasCommon) r = start.WriteEmptyElement(-1, "Common");
    }
    if (r.IsSuccess()) r = start.CloseAll();
    if (r.IsError()) return r;
    return AppRequest(start, pAnswer, timeoutMs);
  }

  // Sends a request on the master's own conversation and waits for its answer (progress
  // notices before it are skipped).
  util::Result AppRequest(xel::XmlParser& request, util::Ref<xel::XmlParser>* pAnswer,
                          uint32_t timeoutMs = 30000) {
    if (!M_pMasterConn) return util::Result::Fail(util::ErrLogicState, "no plug-in connected");
    util::Result r = request.Send(M_pMasterConn.get(), 10000);
    if (r.IsError()) return Explain(r, "sending to the plug-in");
    return ReceiveAnswer(M_pMasterConn.get(), pAnswer, timeoutMs);
  }

  // Sends a request without a body of its own ("GetState", "stop", "terminate", ...) on
  // the master's conversation. runLevel >= 0 adds "RunLevel".
  util::Result AppFunction(const char* function, util::Ref<xel::XmlParser>* pAnswer,
                           int runLevel = -1, uint32_t timeoutMs = 30000) {
    xel::XmlParser request;
    util::Result r = request.BeginMessage(xel::XmlParser::MsgType_Request, nullptr, nullptr,
                                          function, xel::kNsXelMaster);
    if (r.IsSuccess() && runLevel >= 0) r = request.WriteElementInt(-1, "RunLevel", runLevel);
    if (r.IsSuccess()) r = request.CloseAll();
    if (r.IsError()) return r;
    return AppRequest(request, pAnswer, timeoutMs);
  }

  // Opens a new conversation and sends the request on it. The conversation stays open in
  // *pConn for the answer and a following message.
  util::Result OpenAndSend(xel::XmlParser& request, util::Ref<xel::ConnectionPtp>* pConn) {
    auto conn = util::Ref<xel::ConnectionPtp>::Adopt(new xel::ConnectionPtp());
    util::Result r = conn->Connect(M_hLink.load());
    if (r.IsError()) return Explain(r, "opening a conversation");
    r = request.Send(conn.get(), 10000);
    if (r.IsError()) return Explain(r, "sending a request");
    *pConn = conn;
    return r;
  }

  // A whole call: new conversation, request, answer. The conversation is closed after it.
  util::Result Call(xel::XmlParser& request, util::Ref<xel::XmlParser>* pAnswer,
                    uint32_t timeoutMs = 30000) {
    util::Ref<xel::ConnectionPtp> conn;
    util::Result r = OpenAndSend(request, &conn);
    if (r.IsError()) return r;
    return ReceiveAnswer(conn.get(), pAnswer, timeoutMs);
  }

  // Sends a further message on an open conversation and waits for its answer.
  util::Result SendOn(xel::Connection* conn, xel::XmlParser& message,
                      util::Ref<xel::XmlParser>* pAnswer, uint32_t timeoutMs = 30000,
                      AnswerPosition position = AnswerPosition::kTop) {
    util::Result r = message.Send(conn, 10000);
    if (r.IsError()) return Explain(r, "sending on the conversation");
    return ReceiveAnswer(conn, pAnswer, timeoutMs, position);
  }

  // The next answer on conn. Notices (kind 0, such as "CallProgress") are skipped. Errors:
  // ErrTimeout when none came in time, ErrConnLost when the plug-in closed the conversation
  // without answering, ErrStopped when the plug-in process has gone. The answer is at its
  // top, or (kFunction) on its function element, where a caller that reads paths relative to
  // it need not walk the envelope again.
  util::Result ReceiveAnswer(xel::Connection* conn, util::Ref<xel::XmlParser>* pAnswer,
                             uint32_t timeoutMs, AnswerPosition position = AnswerPosition::kTop) {
    const uint64_t deadline = osal::TickCountMs() + timeoutMs;
    for (;;) {
      const uint64_t now = osal::TickCountMs();
      const uint32_t left = now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
      util::Ref<xel::XmlParser> answer = xel::XmlParser::Create();
      util::Result r = left == 0 ? util::Result::Fail(util::ErrTimeout, "no answer")
                                 : answer->Receive(conn, left, xel::Message::kMaxSize);
      if (r.IsError()) {
        if (r.IsClass(util::ErrTimeout)) {
          return util::Result::Fail(util::ErrTimeout, "no answer within %u ms", timeoutMs);
        }
        return Explain(r, "waiting for the answer");
      }
      int type = -1;
      std::string kind;
      if (answer->ReadHeader(&type, nullptr, nullptr, &kind, nullptr).IsError()) kind.clear();
      if (type == xel::XmlParser::MsgType_Notice) {
        if (M_pNoticeSink) {
          (void)answer->Rewind();
          M_pNoticeSink(kind, *answer);
        }
        continue;
      }
      if (position == AnswerPosition::kTop || kind.empty()) (void)answer->Rewind();
      *pAnswer = answer;
      return util::Result();
    }
  }

  // Ends the plug-in: "stop" and "terminate" (answers into *pStop / *pTerminate when
  // given), then waits up to waitMs for the host to exit. The link, the trace reader and
  // the trace buffer are closed afterwards.
  util::Result Finish(util::Ref<xel::XmlParser>* pStop, util::Ref<xel::XmlParser>* pTerminate,
                      uint32_t waitMs = 10000) {
    util::Ref<xel::XmlParser> stop, terminate;
    util::Result r = AppFunction("stop", &stop);
    if (r.IsSuccess()) r = AppFunction("terminate", &terminate);
    if (pStop) *pStop = stop;
    if (pTerminate) *pTerminate = terminate;
    util::Result waited = WaitForHost(waitMs);
    if (r.IsSuccess()) r = waited;
    Close();
    return r;
  }

  // Waits up to waitMs for the host to end. ErrTimeout while it still runs.
  util::Result WaitForHost(uint32_t waitMs) {
    const uint64_t deadline = osal::TickCountMs() + waitMs;
    while (!PollHost()) {
      if (osal::TickCountMs() >= deadline) {
        return util::Result::Fail(util::ErrTimeout, "the plug-in process did not end within %u ms",
                                  waitMs);
      }
      osal::SleepMs(5);
    }
    return util::Result();
  }

  // True once the host has ended (reaps it).
  bool PollHost() { return !M_Host.IsStarted() || M_Host.HasEnded(); }

  // Ends the host at once, as a crash would (for tests of a plug-in that dies).
  bool KillHost() { return M_Host.IsStarted() && M_Host.Kill().ok(); }

  // Closes the link and the trace; kills a host that is still running.
  void Close() {
    if (!PollHost()) {
      (void)M_Host.Kill();
      (void)WaitForHost(5000);
    }
    M_pMasterConn.Reset();
    if (M_pLink) {
      M_pLink->Close(2000);
      Registry().Remove(this);
      M_pLink.Reset();
    }
    StopTraceReader();
  }

  // The host's process id (0 before it was started).
  uint32_t HostProcessId() const { return M_Host.id(); }
  // How the host ended (exited is false while it runs).
  const osal::ProcessExit& Exit() const { return M_Host.exit(); }
  int GreetedProcessId() const { return M_GreetedPid; }
  const std::string& LinkName() const { return M_Options.M_LinkName; }
  // The handle of the master's side of the link (0 before Start), for conversations of the
  // caller's own making.
  uint32_t LinkHandle() const { return M_hLink.load(); }
  bool LinkAlive() const { return M_pLink && M_pLink->IsConnected(); }
  // Lines collected from the trace buffer so far (only without a trace file).
  std::vector<std::string> TraceLines() {
    std::lock_guard<std::mutex> guard(M_TraceMutex);
    return M_TraceLines;
  }
  // Receives the notices that arrive while an answer is awaited.
  void SetNoticeSink(void (*sink)(const std::string& kind, xel::XmlParser& notice)) {
    M_pNoticeSink = sink;
  }

  // Turns a failure of the link or conversation into a message that says what happened
  // to the plug-in (its process has gone, or it closed the conversation).
  util::Result Explain(const util::Result& r, const char* doing) {
    if (!LinkAlive() || !HostAliveSoon()) {
      // The link notices a dead peer first; give the process a moment to be reaped so that
      // the message can say how it ended.
      (void)WaitForHost(1000);
      if (!Exit().exited) {
        return util::Result::Fail(util::ErrStopped,
                                  "the link to the plug-in is down (its process still runs) "
                                  "while %s: %s",
                                  doing, r.ErrorText().c_str());
      }
      return util::Result::Fail(util::ErrStopped, "the plug-in process has gone (%s) while %s: %s",
                                Exit().Describe().c_str(), doing, r.ErrorText().c_str());
    }
    if (r.IsClass(util::ErrConnLost)) {
      return util::Result::Fail(util::ErrConnLost,
                                "the plug-in closed the conversation without answering");
    }
    util::Result out = r;
    return out;
  }

 private:
  // Sessions by link handle, for the process-wide server function.
  class SessionRegistry {
   public:
    void Add(MasterSession* s) {
      std::lock_guard<std::mutex> guard(M_Mutex);
      M_Sessions.push_back(s);
      if (!M_bInstalled) {
        xel::ServerThread::SetServerFunction(&SessionRegistry::Serve);
        M_bInstalled = true;
      }
    }
    void Remove(MasterSession* s) {
      std::lock_guard<std::mutex> guard(M_Mutex);
      std::erase(M_Sessions, s);
    }
    static void Serve(xel::Connection* pConn, xel::Message* pFirst) {
      auto* ptp = dynamic_cast<xel::ConnectionPtp*>(pConn);
      SessionRegistry& reg = Registry();
      std::lock_guard<std::mutex> guard(reg.M_Mutex);
      for (MasterSession* s : reg.M_Sessions) {
        if (ptp && s->M_hLink.load() == ptp->Link()) {
          s->OnConversation(ptp, pFirst);
          return;
        }
      }
    }

   private:
    std::mutex M_Mutex;
    std::vector<MasterSession*> M_Sessions;
    bool M_bInstalled = false;
  };
  static SessionRegistry& Registry() {
    static SessionRegistry* const pReg = new SessionRegistry;  // used by late server threads
    return *pReg;
  }

  // A conversation the plug-in opened: the first one carries its "Greeting" and stays the
  // master's conversation for the application requests.
  void OnConversation(xel::ConnectionPtp* pConn, xel::Message* pFirst) {
    xel::XmlParser doc{util::Ref<xel::Message>(pFirst)};
    int type = -1;
    std::string function;
    util::Result r = doc.ReadHeader(&type, nullptr, nullptr, &function, nullptr);
    if (r.IsError() || function != "Greeting" || M_bGreeted.load()) {
      std::fprintf(stderr, "xelmaster: ignoring a conversation opened by the plug-in (%s)\n",
                   r.IsError() ? r.Text().c_str() : function.c_str());
      return;
    }
    int32_t pid = 0;
    (void)doc.ReadIntAtPath("ProcessId", &pid);
    M_GreetedPid = pid;
    M_pMasterConn = util::Ref<xel::ConnectionPtp>(pConn);
    M_bGreeted.store(true);
    M_Greeted.Set();
  }

  util::Result WaitForGreeting() {
    const uint64_t deadline = osal::TickCountMs() + M_Options.M_GreetingTimeoutMs;
    while (!M_Greeted.Wait(20).ok()) {
      if (PollHost()) {
        return util::Result::Fail(util::ErrStopped,
                                  "the plug-in process ended before its greeting (%s)",
                                  Exit().Describe().c_str());
      }
      if (osal::TickCountMs() >= deadline) {
        return util::Result::Fail(util::ErrTimeout, "no greeting from the plug-in within %u ms",
                                  M_Options.M_GreetingTimeoutMs);
      }
    }
    return util::Result();
  }

  // Gives the host a moment to be reaped when the link says it is gone; false when it
  // has ended.
  bool HostAliveSoon() {
    for (int i = 0; i < 100; ++i) {
      if (PollHost()) return false;
      if (LinkAlive()) return true;
      osal::SleepMs(10);
    }
    return !PollHost();
  }

  util::Result SpawnHost() {
    osal::ProcessOptions options;
    options.working_dir = M_Options.M_WorkingDir;
    if (M_Options.M_bHostOutputToStderr) options.stdout_mode = osal::ChildOutput::kToStderr;
    options.detach_interrupt = M_Options.M_bHostIgnoresSigint;
    osal::Status s = M_Host.Start(
        M_Options.M_HostPath,
        {M_Options.M_PluginPath, M_Options.M_LinkName, std::to_string(M_Options.M_TraceLevel)},
        options);
    if (!s.ok()) {
      const std::string& dir = M_Options.M_WorkingDir;
      return util::Result::Fail(util::ErrObjNotExist, "cannot start %s%s%s: %s",
                                M_Options.M_HostPath.c_str(), dir.empty() ? "" : " in ",
                                dir.c_str(), s.Text().c_str());
    }
    return util::Result();
  }

  util::Result StartTraceReader(const std::string& key, const osal::ObjectAccess& access) {
    util::Result r = util::LogBuffer::Create(key, &M_pTrace, access);
    if (r.IsError()) return r;
    if (!M_Options.M_TraceFile.empty() && M_Options.M_TraceFile != "-") {
      M_pTraceOut = std::fopen(M_Options.M_TraceFile.c_str(), "w");
      if (!M_pTraceOut) {
        return util::Result::Fail(util::ErrObjNotExist, "cannot write the trace file %s: %s",
                                  M_Options.M_TraceFile.c_str(), std::strerror(errno));
      }
    } else if (M_Options.M_TraceFile == "-") {
      M_pTraceOut = stderr;
    }
    M_bTraceStop.store(false);
    M_TraceThread = std::thread([this]() {
      std::vector<std::string> lines;
      bool last = false;
      while (!last) {
        last = M_bTraceStop.load();  // one more drain after the stop request
        lines.clear();
        util::Result r = M_pTrace->Read(&lines);
        if (!lines.empty()) {
          if (M_pTraceOut) {
            for (const std::string& l : lines) std::fprintf(M_pTraceOut, "%s\n", l.c_str());
            std::fflush(M_pTraceOut);
          } else {
            std::lock_guard<std::mutex> guard(M_TraceMutex);
            for (std::string& l : lines) {
              if (M_TraceLines.size() >= kMaxKeptTraceLines)
                M_TraceLines.erase(M_TraceLines.begin());
              M_TraceLines.push_back(std::move(l));
            }
          }
        }
        if (r.IsError() && M_pTraceOut) {
          std::fprintf(M_pTraceOut, "Error: %s\n", r.ErrorText().c_str());
        }
        if (!last) M_pTrace->WaitForLines(50);
      }
    });
    return util::Result();
  }

  void StopTraceReader() {
    if (M_TraceThread.joinable()) {
      M_bTraceStop.store(true);
      M_TraceThread.join();
    }
    if (M_pTraceOut && M_pTraceOut != stderr) std::fclose(M_pTraceOut);
    M_pTraceOut = nullptr;
    if (M_pTrace) {
      M_pTrace->Close();
      M_pTrace.Reset();
    }
  }

  // Copies the content of the element at src's cursor (its children) into dst.
  static util::Result CopyContentWithFiles(xel::XmlParser& src, xel::XmlParser& dst,
                                           const std::string& baseDir) {
    const int depth0 = src.GetDepth();
    util::Result r;
    while (r.IsSuccess()) {
      r = src.NextToken();
      if (r.IsError()) return r;
      if (src.GetNodeType() == xel::XmlParser::Node_ElementStart) {
        r = CopyElementWithFiles(src, dst, baseDir);
      } else if (src.GetNodeType() == xel::XmlParser::Node_ElementEnd && src.GetDepth() < depth0) {
        return r;
      }
    }
    return r;
  }

  util::Result Failed(const util::Result& r) {
    Close();
    return r;
  }

  static constexpr size_t kMaxKeptTraceLines = 20000;

  MasterOptions M_Options;
  util::Ref<xel::DataLinkIpc> M_pLink;
  std::atomic<uint32_t> M_hLink{0};
  util::Ref<xel::ConnectionPtp> M_pMasterConn;
  osal::Event M_Greeted{true, false};
  std::atomic<bool> M_bGreeted{false};
  int M_GreetedPid = 0;
  osal::Process M_Host;
  void (*M_pNoticeSink)(const std::string&, xel::XmlParser&) = nullptr;

  util::Ref<util::LogBuffer> M_pTrace;
  std::FILE* M_pTraceOut = nullptr;
  std::thread M_TraceThread;
  std::atomic<bool> M_bTraceStop{false};
  std::mutex M_TraceMutex;
  std::vector<std::string> M_TraceLines;
};

}  // namespace velmora::tools
