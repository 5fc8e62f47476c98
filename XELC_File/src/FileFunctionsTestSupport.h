// Test helpers of the connector: in-memory configurations and requests, files, trace lines.
#pragma once

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "util/Result.h"
#include "util/Trace.h"
#include "xel/Configuration.h"
#include "xel/XmlParser.h"

namespace velmora::xelc::testing {

// The component configuration <Config>xml</Config> as the component reads it.
inline util::Ref<xel::Configuration> ConfigFromXml(const std::string& xml) {
  auto doc = xel::XmlParser::Create();
  const std::string text = "<Config>" + xml + "</Config>";
  (void)doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size()));
  return xel::Configuration::FromDocument(doc)->SubConfig("Config");
}

// A request <function><Opt>opt's elements</Opt><Data>dataXml or binary</Data></function>, where
// !bOptElement leaves out Opt and an XML Data; the cursor stands on the function element.
inline util::Ref<xel::XmlParser> MakeRequest(
    const char* function, const std::vector<std::pair<std::string, std::string>>& opt,
    const std::string& dataXml = "", const std::string& binary = "", bool bOptElement = true) {
  xel::XmlParser w;
  util::Result r =
      w.BeginMessage(xel::XmlParser::MsgType_Request, nullptr, nullptr, function, nullptr);
  if (bOptElement) r.KeepWorse(w.OpenElement(-1, "Opt"));
  for (const auto& [name, value] : opt)
    r.KeepWorse(w.WriteElement(-1, name.c_str(), value.c_str()));
  if (bOptElement) r.KeepWorse(w.CloseElement());
  if (!binary.empty()) {
    r.KeepWorse(
        w.WriteElementBinary(-1, "Data", binary.data(), static_cast<int64_t>(binary.size())));
  } else if (bOptElement) {
    r.KeepWorse(w.OpenElement(-1, "Data"));
    if (!dataXml.empty()) {
      xel::XmlParser src;
      (void)src.GetMessage()->Append(dataXml.data(), static_cast<int32_t>(dataXml.size()));
      r.KeepWorse(src.MoveToPath("/*"));
      r.KeepWorse(w.CopySubtree(src, 1));
    }
    r.KeepWorse(w.CloseElement());
  }
  r.KeepWorse(w.CloseAll());
  auto req = util::Ref<xel::XmlParser>::Adopt(new xel::XmlParser(w.MessageRef()));
  r.KeepWorse(req->ReadHeader(nullptr, nullptr, nullptr, nullptr, nullptr));
  if (r.IsError()) throw r;
  return req;
}

// Runs a server function body; a thrown result becomes the returned one.
template <typename F>
util::Result Call(F&& f) {
  try {
    return f();
  } catch (const util::Result& thrown) {
    return thrown;
  }
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Records the trace lines and their categories while it exists, with the ids given switched on.
class TraceRecorder : public util::LogWriter {
 public:
  explicit TraceRecorder(std::vector<uint32_t> ids) : M_Ids(std::move(ids)) {
    for (uint32_t id : M_Ids) M_bWas.push_back(util::IsTraceEnabled(id));
    for (uint32_t id : M_Ids) util::EnableTraceId(id, true);
    M_pPrevious = util::SetLogWriter(util::LogChannelTrace, this);
  }
  ~TraceRecorder() override {
    util::SetLogWriter(util::LogChannelTrace, M_pPrevious);
    for (size_t i = 0; i < M_Ids.size(); ++i) util::EnableTraceId(M_Ids[i], M_bWas[i]);
  }
  void Write(const util::LogRecord& record) override {
    const bool bNamed = record.typed_count > 0 && record.typed[0].tag == util::LogArgText &&
                        record.typed[0].text != nullptr;
    std::lock_guard<std::mutex> lock(M_Mutex);
    M_Lines.emplace_back(bNamed ? record.typed[0].text : "", record.Render(false, false));
  }
  // The lines of category (any when empty).
  std::vector<std::string> Lines(const std::string& category = "") {
    std::lock_guard<std::mutex> lock(M_Mutex);
    std::vector<std::string> out;
    for (const auto& [c, l] : M_Lines) {
      if (category.empty() || c == category) out.push_back(l);
    }
    return out;
  }
  int Count(const std::string& line) {
    const std::vector<std::string> lines = Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(M_Mutex);
    M_Lines.clear();
  }

 private:
  std::vector<uint32_t> M_Ids;
  std::vector<bool> M_bWas;
  util::LogWriter* M_pPrevious = nullptr;
  std::mutex M_Mutex;
  std::vector<std::pair<std::string, std::string>> M_Lines;  // category, line
};

}  // namespace velmora::xelc::testing
