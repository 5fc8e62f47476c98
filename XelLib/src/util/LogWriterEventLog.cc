// The event-log writer: channel-2 records go to the system's event log.
#include <cstring>
#include <string>
#include <vector>

#include "LogWriters.h"
#include "osal/System.h"

namespace velmora::util {

LogWriterEventLog& LogWriterEventLog::Instance() {
  static LogWriterEventLog* instance = new LogWriterEventLog;
  return *instance;
}

void LogWriterEventLog::Write(const LogRecord& record) {
  // The event source is the first typed text; the next three are insertion strings.
  std::vector<std::string> texts;
  int count = record.typed_count < LogRecord::kMaxArgs ? record.typed_count : LogRecord::kMaxArgs;
  for (int i = 0; i < count && record.typed[i].tag >= -4095; ++i) {
    if (record.typed[i].tag == LogArgText)
      texts.emplace_back(record.typed[i].text ? record.typed[i].text : "");
  }
  std::string source = !texts.empty() && !texts[0].empty() ? texts[0] : "Tirzel";

  // The work area bounds everything reported for one event.
  std::string strings;
  for (size_t i = 1; i <= 3 && i < texts.size(); ++i) {
    if (texts[i].empty()) continue;
    if (!strings.empty()) strings += "; ";
    strings += texts[i];
  }
  LogRecord message = record;
  message.typed_count = 0;
  std::string formatted = message.Render(false, false);
  std::string text = strings;
  if (!formatted.empty()) {
    if (!text.empty()) text += ": ";
    text += formatted;
  }
  if (text.size() >= kWorkArea) text.resize(kWorkArea - 1);

  uint32_t id = record.message_id;
  int type = static_cast<int>(id >> 30);
  osal::Status status = osal::ReportSystemEvent(source, type, id, text);
  if (status.ok()) return;
  if (status.Is(osal::ErrorKind::kInvalid)) {
    TraceWrite("LogWriterEventLog", Trace_Always,
               "Cant create LogMessage %i because Event Source %s open failed with error %i",
               static_cast<int>(id), source.c_str(), status.code());
  } else {
    TraceWrite("LogWriterEventLog", Trace_Always,
               "Failed to log message %i for application %s. Error %i", static_cast<int>(id),
               source.c_str(), status.code());
  }
  LogWriterStandard::Instance().Write(record);
}

}  // namespace velmora::util
