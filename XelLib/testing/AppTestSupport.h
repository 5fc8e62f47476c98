// Requests, in-process calls and log capture for tests of the application runtime and components.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util/Result.h"
#include "util/SharedObject.h"
#include "util/Trace.h"
#include "xel/Application.h"
#include "xel/ConnectionFifo.h"
#include "xel/XmlParser.h"

namespace velmora::testing {

// A binary-token document made from XML text (the platform's messages are binary).
inline util::Ref<xel::XmlParser> XmlDoc(const std::string& text) {
  util::Ref<xel::XmlParser> source = xel::XmlParser::Create();
  EXPECT_TRUE(
      source->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())).IsSuccess());
  util::Ref<xel::XmlParser> out = xel::XmlParser::Create();
  util::Result r = source->Rewind();
  do {
    if (r.IsSuccess()) r = source->NextToken();
  } while (r.IsSuccess() && source->GetNodeType() != xel::XmlParser::Node_ElementStart);
  if (r.IsSuccess()) r = out->CopySubtree(*source, 1);
  if (r.IsSuccess()) r = out->CloseAll();
  if (r.IsSuccess()) r = out->Rewind();
  EXPECT_TRUE(r.IsSuccess()) << r.Text();
  return out;
}

// The envelope text of a message of the given type around body (the function element).
inline std::string EnvelopeText(const std::string& body, int type = 1) {
  std::string header = type < 0 ? std::string() : "<t:type>" + std::to_string(type) + "</t:type>";
  return std::string("<s:Envelope xmlns:s=\"") + xel::kNsSoapEnvelope + "\" xmlns:t=\"" +
         xel::kNsXelMessage + "\"><s:Header>" + header + "</s:Header><s:Body>" + body +
         "</s:Body></s:Envelope>";
}

inline util::Ref<xel::XmlParser> Request(const std::string& body, int type = 1) {
  return XmlDoc(EnvelopeText(body, type));
}

// The "start" request's body for component code with its configuration and common part.
inline std::string StartBody(const std::string& code, const std::string& config,
                             const std::string& common = "<Name>TestName</Name>") {
  return "<start><SolutionShortName>Solution1</SolutionShortName>"
         "<ProcessIdOfMaster>4711</ProcessIdOfMaster><Process><ComponentList><Component><Code><" +
         code + ">" + config + "</" + code + "></Code><Common>" + common +
         "</Common></Component></ComponentList></Process></start>";
}

// The next message queued on fifo (read at once); empty when there is none.
inline util::Ref<xel::XmlParser> TakeAnswer(xel::ConnectionFifo* fifo) {
  util::Ref<xel::XmlParser> answer = xel::XmlParser::Create();
  if (answer->Receive(fifo, 0).IsError()) return util::Ref<xel::XmlParser>();
  EXPECT_TRUE(answer->GetMessage()->FetchAll().IsSuccess());
  return answer;
}

// The answer's kind (the body element's name); the cursor is left on it.
inline std::string Kind(xel::XmlParser& answer) {
  std::string kind;
  util::Result r = answer.ReadHeader(nullptr, nullptr, nullptr, &kind, nullptr);
  return r.IsSuccess() ? kind : "<" + r.ErrorText() + ">";
}

// The text at path relative to the cursor, or "<missing>".
inline std::string At(const xel::XmlParser& doc, const char* path) {
  std::string s;
  return doc.ReadStringAtPath(path, &s).IsSuccess() ? s : "<missing>";
}

// Calls the application's table with a request on a fresh FIFO; returns the answer (empty
// when none was sent). *pResult receives the call's result when given.
inline util::Ref<xel::XmlParser> CallApp(const std::string& body, int type = 1,
                                         util::Result* pResult = nullptr) {
  auto fifo = util::Ref<xel::ConnectionFifo>::Adopt(new xel::ConnectionFifo());
  util::Result r = xel::Application::CallServerFunction(fifo.get(), Request(body, type).get());
  if (pResult) *pResult = r;
  return TakeAnswer(fifo.get());
}

// Serves body like an incoming conversation through the receive hook.
inline util::Ref<xel::XmlParser> CallHook(const std::string& body, int type = 1) {
  auto fifo = util::Ref<xel::ConnectionFifo>::Adopt(new xel::ConnectionFifo());
  xel::Application::ReceiveHook(fifo.get(), Request(body, type)->GetMessage());
  return TakeAnswer(fifo.get());
}

// Sends fatal records to stderr, where a death test looks for them (call in the dying block).
inline void FatalRecordsToStderr() {
  static struct : util::LogWriter {
    void Write(const util::LogRecord& record) override {
      std::fprintf(stderr, "%s\n", record.Render(true, true).c_str());
    }
  } writer;
  util::SetLogWriter(util::LogChannelFatal, &writer);
}

// Collects the records of one log channel while it is installed.
class LogCapture : public util::LogWriter {
 public:
  explicit LogCapture(int channel) : M_Channel(channel) {
    M_pPrevious = util::SetLogWriter(channel, this);
  }
  ~LogCapture() override { util::SetLogWriter(M_Channel, M_pPrevious); }
  void Write(const util::LogRecord& record) override {
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Records.emplace_back(record.format ? record.format : "", record.Render(false, true));
  }
  // Rendered records (with their typed arguments) whose format contains part.
  std::vector<std::string> Matching(const std::string& part) const {
    std::lock_guard<std::mutex> guard(M_Mutex);
    std::vector<std::string> out;
    for (const auto& [format, line] : M_Records)
      if (format.find(part) != std::string::npos) out.push_back(line);
    return out;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(M_Mutex);
    return M_Records.size();
  }

 private:
  int M_Channel;
  util::LogWriter* M_pPrevious = nullptr;
  mutable std::mutex M_Mutex;
  std::vector<std::pair<std::string, std::string>> M_Records;  // format, rendered line
};

}  // namespace velmora::testing
