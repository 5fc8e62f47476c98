// Collects the rendered lines of one log channel while installed, for the utility tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "util/Trace.h"

namespace velmora::testing {

// In a death test's child (bToStderr) the lines go to stderr, where the expectation reads them.
class TraceCapture : public util::LogWriter {
 public:
  explicit TraceCapture(int channel = util::LogChannelTrace, bool bToStderr = false)
      : M_Channel(channel),
        M_bToStderr(bToStderr),
        M_pPrevious(util::SetLogWriter(channel, this)) {}
  ~TraceCapture() override { util::SetLogWriter(M_Channel, M_pPrevious); }
  void Write(const util::LogRecord& record) override {
    if (M_bToStderr) return (void)fprintf(stderr, "%s\n", record.Render(false, true).c_str());
    lines.push_back(record.Render(false, bWithArgs));
    ids.push_back(record.message_id);
  }
  std::vector<std::string> With(const std::string& part) const {
    std::vector<std::string> out;
    for (const std::string& line : lines)
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }
  bool bWithArgs = true;  // renders the typed arguments
  std::vector<std::string> lines;
  std::vector<uint32_t> ids;

 private:
  int M_Channel;
  bool M_bToStderr;
  util::LogWriter* M_pPrevious;
};

}  // namespace velmora::testing
