// PollMode: the master's side of the folder import - sends "poll", stores the parts of the
// claimed package in an output folder as they arrive, and confirms the import.
//
// Header-only like MasterSession.h, so that xelmaster, the end-to-end tests and the
// benchmarks share it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "MasterSession.h"
#include "osal/File.h"
#include "osal/System.h"
#include "util/Result.h"
#include "util/TimeUTC.h"
#include "xel/ConnectionPtp.h"
#include "xel/XmlParser.h"

namespace velmora::tools {

// Time the master allows for each message of the poll conversation (the plug-in itself waits
// 60000 ms for the confirmation).
inline constexpr uint32_t kPollDefaultTimeoutMs = 30000;

// One stored part of a package.
struct PolledPart {
  std::string M_Name;      // the name the plug-in gave (untrusted, as received)
  std::string M_StoredAs;  // path in the output folder; empty when the part was refused
  int64_t M_Size = 0;      // bytes received
  std::string M_Error;     // why the part was not stored; empty when it was
};

// Outcome of one poll conversation.
struct PollOutcome {
  bool M_bAnswered = false;        // a "poll-res" arrived
  bool M_bError = false;           // the answer was "ERROR", a fault, or something else went wrong
  bool M_bClaimed = false;         // the answer carried a claimed file (its "message" part)
  bool M_bConfirmed = false;       // confirmation "OK" was answered with "Processed" "YES"
  std::string M_Status;            // "Status" of the answer ("OK", "ERROR")
  std::string M_Text;              // "Greeting" or "ErrorString", or the master's own error text
  std::string M_Correlation;       // "Correlation" of a claimed package
  std::string M_Diagnostics;       // "CommResult/Diagnostics" (content errors of the package)
  bool M_bContentMissing = false;  // "ContentErrorLevel" 2: the parts came without content
  std::vector<PolledPart> M_Parts;
  double M_Ms = 0;            // time of the whole conversation
  double M_FirstBlockMs = 0;  // time until the answer began to arrive (the plug-in's search,
                              // claim and building of the answer)
  int64_t Bytes() const {
    int64_t n = 0;
    for (const PolledPart& p : M_Parts) n += p.M_Size;
    return n;
  }
};

// The file name to store a received part under, or empty when the name cannot be used.
// Names come from the plug-in and are treated as untrusted: any folder part is dropped (at
// "/" and at the platform's own separator; on POSIX a "\" is an ordinary character of a
// name, as in the names the plug-in lists there), and ".", "..", empty names and names with
// control characters are refused.
inline std::string SafePartName(const std::string& received) {
  const char separators[] = {'/', osal::PathSeparator(), '\0'};
  size_t cut = received.find_last_of(separators);
  std::string name = cut == std::string::npos ? received : received.substr(cut + 1);
  if (name.empty() || name == "." || name == "..") return std::string();
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return std::string();
  }
  return name;
}

// A poll request built from a folder and its masks: plain files, one per poll.
inline util::Result PlainPollRequest(const std::string& watchedPath, const std::string& masks,
                                     util::Ref<xel::XmlParser>* pRequest) {
  util::Ref<xel::XmlParser> doc = xel::XmlParser::Create();
  util::Result r =
      doc->BeginMessage(xel::XmlParser::MsgType_Request, nullptr, nullptr, "poll", nullptr);
  if (r.IsSuccess()) r = doc->OpenElement(-1, "general");
  if (r.IsSuccess()) r = doc->WriteElementInt(-1, "MaxRequested", 1);
  if (r.IsSuccess()) r = doc->CloseElement();
  if (r.IsSuccess()) r = doc->OpenElement(-1, "specific");
  if (r.IsSuccess()) r = doc->OpenElement(-1, "folder");
  if (r.IsSuccess()) r = doc->WriteElement(-1, "WatchedPath", watchedPath.c_str());
  if (r.IsSuccess()) r = doc->WriteElement(-1, "FileSearchMask", masks.c_str());
  if (r.IsSuccess()) r = doc->CloseAll();
  if (r.IsSuccess()) r = doc->Rewind();
  if (r.IsSuccess()) *pRequest = doc;
  return r;
}

// The confirmation the platform sends for a claimed package: status "OK" completes the
// import (the plug-in deletes the claimed files), anything else leaves them claimed.
inline util::Result ConfirmationRequest(const char* status, util::Ref<xel::XmlParser>* pDoc) {
  util::Ref<xel::XmlParser> doc = xel::XmlParser::Create();
  util::Result r =
      doc->BeginMessage(xel::XmlParser::MsgType_Request, nullptr, nullptr, "confirm", nullptr);
  if (r.IsSuccess()) r = doc->OpenElement(-1, "general");
  if (r.IsSuccess()) r = doc->WriteElement(-1, "Status", status);
  if (r.IsSuccess()) r = doc->CloseAll();
  if (r.IsSuccess()) *pDoc = doc;
  return r;
}

// Runs poll conversations against one plug-in session and stores what they bring into an
// output folder. One thread uses a PollClient.
class PollClient {
 public:
  PollClient(MasterSession* pSession, std::string outputDir,
             uint32_t timeoutMs = kPollDefaultTimeoutMs)
      : M_pSession(pSession), M_OutputDir(std::move(outputDir)), M_TimeoutMs(timeoutMs) {}

  // An answer of a conversation as the master received it, kept when KeepAnswers is on:
  // the function name of its body ("poll-res", "Fault", "confirm-res") and the document.
  // The parts' bytes, which went to the output folder, are left out of a kept "poll-res".
  struct KeptAnswer {
    std::string M_Function;
    util::Ref<xel::XmlParser> M_pDocument;
  };
  // Keeps copies of the answers of each conversation (off by default: they cost memory and
  // time). LastAnswers holds those of the last Poll.
  void KeepAnswers(bool bKeep) { M_bKeepAnswers = bKeep; }
  // Counts the parts' bytes instead of storing them (off by default). For benchmarks, which
  // measure the plug-in and not this side's file system: a confirmed package is then gone.
  void DiscardContent(bool bDiscard) { M_bDiscard = bDiscard; }
  const std::vector<KeptAnswer>& LastAnswers() const { return M_LastAnswers; }

  // One poll: sends request on a new conversation, streams the parts of a claimed package
  // into the output folder, and confirms it ("OK" when every part was stored, "ERROR"
  // otherwise, so that nothing is deleted that the master does not hold). The result is an
  // error only when the conversation itself failed (no answer, the plug-in has gone);
  // everything the answer reports is in *pOut.
  util::Result Poll(xel::XmlParser& request, PollOutcome* pOut) {
    *pOut = PollOutcome();
    M_LastAnswers.clear();
    const uint64_t t0 = osal::PerformanceCounter();
    util::Ref<xel::ConnectionPtp> conn;
    util::Result r = M_pSession->OpenAndSend(request, &conn);
    if (r.IsSuccess()) r = ReceivePollAnswer(conn.get(), pOut, t0);
    if (r.IsSuccess() && pOut->M_bClaimed) r = Confirm(conn.get(), pOut);
    pOut->M_Ms = MsSince(t0);
    if (r.IsError()) {
      pOut->M_bError = true;
      if (pOut->M_Text.empty()) pOut->M_Text = r.ErrorText();
    }
    return r;
  }

 private:
  static double MsSince(uint64_t t0) {
    return static_cast<double>(osal::PerformanceCounter() - t0) * 1000.0 /
           static_cast<double>(osal::PerformanceFrequency());
  }

  // The answer, read as it arrives: blocks that have been read are released at once, and
  // binary content goes straight to its file, so a package of any size needs only a few
  // blocks of memory in the master.
  util::Result ReceivePollAnswer(xel::Connection* conn, PollOutcome* pOut, uint64_t t0) {
    using xel::XmlParser;
    util::Ref<XmlParser> answer;
    int type = -1;
    std::string function;
    const uint64_t deadline = osal::TickCountMs() + M_TimeoutMs;
    for (;;) {  // notices ("CallProgress") before the answer are skipped
      const uint64_t now = osal::TickCountMs();
      if (now >= deadline) {
        return util::Result::Fail(util::ErrTimeout, "no answer to \"poll\" within %u ms",
                                  M_TimeoutMs);
      }
      answer = XmlParser::Create();
      answer->SetRxTimeout(M_TimeoutMs);
      util::Result r = answer->Receive(conn, static_cast<uint32_t>(deadline - now), 0);
      if (r.IsError()) {
        if (r.IsClass(util::ErrTimeout)) {
          return util::Result::Fail(util::ErrTimeout, "no answer to \"poll\" within %u ms",
                                    M_TimeoutMs);
        }
        return M_pSession->Explain(r, "waiting for the poll answer");
      }
      answer->GetMessage()->SetRxTimeout(M_TimeoutMs);
      pOut->M_FirstBlockMs = MsSince(t0);
      r = answer->ReadHeader(&type, nullptr, nullptr, &function, nullptr);
      if (r.IsError()) return r;
      if (type != XmlParser::MsgType_Notice) break;
    }
    if (function == "Fault") {
      Keep(function, answer);
      util::Result fault;
      bool isFault = false;
      (void)answer->ReadFault(&fault, &isFault);
      pOut->M_bError = true;
      pOut->M_Status = "Fault";
      pOut->M_Text = isFault ? fault.ErrorText() : "the plug-in answered with a fault";
      return util::Result();
    }
    if (function != "poll-res") {
      return util::Result::Fail(util::ErrWrongFormat, "the answer to \"poll\" is \"%s\"",
                                function.c_str());
    }
    pOut->M_bAnswered = true;
    answer->SetReleaseReadData(true);
    util::Ref<XmlParser> record;
    if (M_bKeepAnswers) {
      record = XmlParser::Create();
      util::Result r = record->BeginMessage(type, nullptr, nullptr, function.c_str(),
                                            answer->GetNamespace().c_str());
      if (r.IsError()) return r;
    }
    util::Result r = StreamBody(*answer, pOut, record.get());
    if (record && record->CloseAll().IsSuccess()) Keep(function, record);
    return r;
  }

  void Keep(const std::string& function, const util::Ref<xel::XmlParser>& document) {
    if (M_bKeepAnswers) M_LastAnswers.push_back(KeptAnswer{function, document});
  }

  // A token of the answer as it was read: its kind, name and namespace are taken before its
  // content is read (reading moves the cursor on).
  struct Token {
    explicit Token(const xel::XmlParser& src)
        : M_Type(src.GetNodeType()),
          M_Prefix(src.GetPrefix()),
          M_Namespace(src.GetNamespace()),
          M_Name(src.GetLocalName()) {}
    int M_Type;
    std::string M_Prefix, M_Namespace, M_Name;
  };

  // Writes token into record, when there is one; its content comes in text.
  static void Mirror(const Token& token, xel::XmlParser* record, const std::string& text) {
    using xel::XmlParser;
    if (record == nullptr) return;
    auto ns = [&]() {
      return token.M_Namespace.empty()
                 ? 0
                 : record->DeclareNamespace(token.M_Prefix.c_str(), token.M_Namespace.c_str());
    };
    switch (token.M_Type) {
      case XmlParser::Node_ElementStart:
        (void)record->OpenElement(ns(), token.M_Name.c_str());
        break;
      case XmlParser::Node_Attribute:
        (void)record->WriteAttribute(ns(), token.M_Name.c_str(), text.c_str());
        break;
      case XmlParser::Node_Chars:
      case XmlParser::Node_Text:
        (void)record->WriteChars(text.data(), static_cast<int>(text.size()));
        break;
      case XmlParser::Node_ElementEnd:
        (void)record->CloseElement();
        break;
      default:
        break;
    }
  }

  // Walks the body of "poll-res" token by token (the cursor is on its element). With a record,
  // every token but the parts' bytes is copied into it as well.
  util::Result StreamBody(xel::XmlParser& doc, PollOutcome* pOut, xel::XmlParser* record) {
    using xel::XmlParser;
    const int rootDepth = doc.GetDepth();  // depth of "poll-res"
    std::vector<std::string> path;         // element names below "poll-res"
    auto at = [&](std::initializer_list<const char*> names) {
      if (path.size() != names.size()) return false;
      size_t i = 0;
      for (const char* n : names) {
        if (path[i++] != n) return false;
      }
      return true;
    };
    auto inPart = [&](std::initializer_list<const char*> tail) {
      // message/body/message/content/part/<tail>
      static const char* const kPrefix[] = {"message", "body", "message", "content", "part"};
      if (path.size() != 5 + tail.size()) return false;
      for (size_t i = 0; i < 5; ++i) {
        if (path[i] != kPrefix[i]) return false;
      }
      size_t i = 5;
      for (const char* n : tail) {
        if (path[i++] != n) return false;
      }
      return true;
    };

    // Not cleared: one poll answer after another, the zeroing would cost more than the parts.
    constexpr int kChunk = 65536;
    const auto chunk = std::make_unique_for_overwrite<char[]>(kChunk);
    PartWriter writer;
    util::Result r;
    for (;;) {
      r = doc.NextToken();
      if (r.IsError()) {
        if (r.IsClass(util::ErrEndOfObject)) break;
        writer.Abandon();
        return M_pSession->Explain(r, "reading the poll answer");
      }
      const int type = doc.GetNodeType();
      const int depth = doc.GetDepth();
      if (type == XmlParser::Node_ElementStart) {
        if (depth <= rootDepth) break;  // past "poll-res"
        if (record != nullptr) Mirror(Token(doc), record, "");
        path.resize(static_cast<size_t>(depth - rootDepth - 1));
        path.push_back(doc.GetLocalName());
        if (at({"message"})) pOut->M_bClaimed = true;
        if (inPart({})) pOut->M_Parts.emplace_back();
        if (inPart({"content", "binary"}) && !pOut->M_Parts.empty()) {
          writer.Begin(M_bDiscard ? std::string() : M_OutputDir, &pOut->M_Parts.back());
        }
        continue;
      }
      if (type == XmlParser::Node_ElementEnd) {
        if (inPart({"content", "binary"})) writer.End();
        if (depth < rootDepth) break;
        if (record != nullptr) Mirror(Token(doc), record, "");
        path.resize(static_cast<size_t>(std::max(0, depth - rootDepth)));
        continue;
      }
      if (type == XmlParser::Node_Attribute) {
        const bool bName = inPart({"mime-header", "content-disposition"}) &&
                           doc.GetLocalName() == "filename" && !pOut->M_Parts.empty();
        if (bName || record != nullptr) {
          const Token token(doc);
          std::string value;
          r = doc.ReadString(&value, 4096);
          if (r.IsError()) break;
          Mirror(token, record, value);
          if (bName) pOut->M_Parts.back().M_Name = value;
        }
        continue;
      }
      if (type == XmlParser::Node_Binary && inPart({"content", "binary"})) {
        for (;;) {
          int len = 0;
          util::Result rr = doc.ReadBinary(chunk.get(), kChunk, &len);
          if (rr.IsError()) {
            writer.Abandon();
            return M_pSession->Explain(rr, "reading a part of the poll answer");
          }
          writer.Write(chunk.get(), len);
          if (rr.Category() != util::ErrMoreData) break;
        }
        continue;
      }
      if (type == XmlParser::Node_Chars || type == XmlParser::Node_Text) {
        std::string* pText = nullptr;
        std::string contentLevel;
        if (at({"status", "Status"})) pText = &pOut->M_Status;
        if (at({"status", "Greeting"}) || at({"status", "ErrorString"})) pText = &pOut->M_Text;
        if (at({"message", "internal", "Correlation"})) pText = &pOut->M_Correlation;
        if (at({"message", "general", "CommResult", "Diagnostics"})) {
          pText = &pOut->M_Diagnostics;
        }
        if (at({"message", "general", "ContentErrorLevel"})) pText = &contentLevel;
        if (pText || record != nullptr) {
          const Token token(doc);
          std::string part;
          r = doc.ReadString(&part, 1 << 20);
          if (r.IsError()) break;
          Mirror(token, record, part);
          if (pText) *pText += part;
          if (!contentLevel.empty() && contentLevel != "0") pOut->M_bContentMissing = true;
        }
        continue;
      }
    }
    writer.Abandon();
    if (r.IsError() && !r.IsClass(util::ErrEndOfObject)) return r;
    if (pOut->M_Status != "OK") pOut->M_bError = true;
    return util::Result();
  }

  util::Result Confirm(xel::Connection* conn, PollOutcome* pOut) {
    bool allStored = !pOut->M_bContentMissing;
    for (const PolledPart& p : pOut->M_Parts) allStored = allStored && p.M_Error.empty();
    // The two confirmations are built once and sent as often as needed.
    util::Ref<xel::XmlParser>& confirmation = M_Confirmations[allStored ? 0 : 1];
    util::Result r;
    if (!confirmation) r = ConfirmationRequest(allStored ? "OK" : "ERROR", &confirmation);
    util::Ref<xel::XmlParser> answer;
    if (r.IsSuccess()) {
      r = M_pSession->SendOn(conn, *confirmation, &answer, M_TimeoutMs, AnswerPosition::kFunction);
    }
    if (r.IsError()) return r;
    std::string processed;
    if (answer->GetLocalName() == "confirm-res" &&
        answer->MoveToPath("status/Processed").IsSuccess()) {
      (void)answer->ReadString(&processed);
    }
    Keep("confirm-res", answer);
    pOut->M_bConfirmed = allStored && processed == "YES";
    if (!allStored) {
      pOut->M_bError = true;
      if (pOut->M_Text.empty() || pOut->M_Status == "OK") {
        pOut->M_Text = pOut->M_bContentMissing
                           ? "the package came without its content (left claimed)"
                           : "a part could not be stored (the package was left claimed)";
      }
    } else if (processed != "YES") {
      std::string status, error;
      (void)answer->ReadStringAtPath("/Envelope/Body/confirm-res/status/Status", &status);
      (void)answer->ReadStringAtPath("/Envelope/Body/confirm-res/status/ErrorString", &error);
      pOut->M_bError = true;
      pOut->M_Text = "confirmation not processed (" + (status.empty() ? processed : status) +
                     (error.empty() ? "" : ": " + error) + ")";
    }
    return util::Result();
  }

  // Writes one part's bytes into a hidden temporary file of the output folder and gives it
  // its name only when the part is complete, so that a crash or an interrupted transfer
  // never leaves a truncated file under a real name.
  class PartWriter {
   public:
    ~PartWriter() { Abandon(); }
    // An empty dir: the part is only counted.
    void Begin(const std::string& dir, PolledPart* pPart) {
      Abandon();
      M_pPart = pPart;
      M_Dir = dir;
      if (dir.empty()) return;
      const std::string name = SafePartName(pPart->M_Name);
      if (name.empty()) {
        pPart->M_Error = "refused file name \"" + pPart->M_Name + "\"";
        return;
      }
      static int counter = 0;
      M_TempPath = dir + "/.xelmaster-part-" + std::to_string(osal::CurrentProcessId()) + "-" +
                   std::to_string(++counter);
      osal::OpenOptions o;
      o.access = osal::kAccessWrite;
      o.share = osal::kShareRead | osal::kShareDelete;
      o.disposition = osal::Disposition::kCreateAlways;
      osal::Status s = M_File.Open(M_TempPath, o);
      if (!s.ok()) {
        pPart->M_Error = "cannot create " + M_TempPath + ": " + s.Text();
        M_TempPath.clear();
      }
      M_Name = name;
    }
    void Write(const char* data, int len) {
      if (!M_pPart) return;
      M_pPart->M_Size += len;
      if (!M_File.IsOpen() || len <= 0) return;
      osal::Status s = M_File.Write(data, static_cast<size_t>(len));
      if (!s.ok()) {
        M_pPart->M_Error = "cannot write " + M_TempPath + ": " + s.Text();
        CloseAndRemove();
      }
    }
    // The part is complete: its file gets its name (a name already taken gets "~2", "~3"...).
    void End() {
      if (!M_pPart) return;
      if (M_Dir.empty()) {
        M_pPart = nullptr;
        return;
      }
      if (M_File.IsOpen()) {
        osal::Status s = M_File.Close();
        if (!s.ok()) M_pPart->M_Error = "cannot write " + M_TempPath + ": " + s.Text();
        if (M_pPart->M_Error.empty()) {
          std::string name = M_Name;
          std::string target = M_Dir + "/" + name;
          for (int i = 2;; ++i) {
            // The name as it is: on POSIX a "\" in it is no separator.
            const std::string disk =
                osal::LiteralPath(osal::NativePath(M_Dir) + osal::PathSeparator() + name);
            s = osal::Rename(M_TempPath, disk, osal::RenameMode::kNoReplace, false);
            if (!s.Is(osal::ErrorKind::kExists) && !s.Is(osal::ErrorKind::kAccessDenied)) break;
            // A folder of that name refuses the rename with "access denied" on Windows.
            if (s.Is(osal::ErrorKind::kAccessDenied) && !osal::FolderExists(disk)) break;
            name = M_Name + "~" + std::to_string(i);
            target = M_Dir + "/" + name;
          }
          if (s.ok()) {
            M_pPart->M_StoredAs = target;
            M_TempPath.clear();
          } else {
            M_pPart->M_Error = "cannot rename to " + target + ": " + s.Text();
          }
        }
      }
      CloseAndRemove();
      M_pPart = nullptr;
    }
    // Drops a part that did not complete.
    void Abandon() {
      if (M_pPart && M_pPart->M_Error.empty() && M_pPart->M_StoredAs.empty()) {
        M_pPart->M_Error = "the part did not arrive completely";
      }
      CloseAndRemove();
      M_pPart = nullptr;
    }

   private:
    void CloseAndRemove() {
      if (M_File.IsOpen()) (void)M_File.Close();
      if (!M_TempPath.empty()) (void)osal::DeleteFile(M_TempPath);
      M_TempPath.clear();
    }
    PolledPart* M_pPart = nullptr;
    std::string M_Dir, M_Name, M_TempPath;
    osal::File M_File;
  };

  MasterSession* M_pSession;
  std::string M_OutputDir;
  uint32_t M_TimeoutMs;
  bool M_bKeepAnswers = false;
  bool M_bDiscard = false;
  util::Ref<xel::XmlParser> M_Confirmations[2];  // "OK" and "ERROR", once built
  std::vector<KeptAnswer> M_LastAnswers;
};

// One line describing a package: time, its number, the folder (label), every part with its
// size, the total and the time of the conversation, and what went wrong if anything did.
inline std::string DescribePackage(const PollOutcome& o, long number, const std::string& label) {
  util::TimeUTC now;
  now.SetToNow();
  char stamp[40] = "";
  size_t len = 0;
  (void)now.WriteAsText(stamp, sizeof stamp, &len);
  std::string line = std::string(stamp) + " #" + std::to_string(number) + " " + label + ":";
  for (const PolledPart& p : o.M_Parts) {
    const std::string& shown =
        p.M_StoredAs.empty() ? p.M_Name : p.M_StoredAs.substr(p.M_StoredAs.rfind('/') + 1);
    line += " " + shown + " (" + std::to_string(p.M_Size) + " B";
    if (!p.M_Error.empty()) line += ", " + p.M_Error;
    line += ")";
  }
  char tail[96];
  std::snprintf(tail, sizeof tail, ", %zu file(s), %lld B in %.1f ms", o.M_Parts.size(),
                static_cast<long long>(o.Bytes()), o.M_Ms);
  line += tail;
  if (!o.M_bConfirmed) line += ", NOT confirmed";
  if (!o.M_Diagnostics.empty()) line += "; diagnostics: " + o.M_Diagnostics;
  if (o.M_bError && !o.M_Text.empty()) line += "; " + o.M_Text;
  return line;
}

}  // namespace velmora::tools
