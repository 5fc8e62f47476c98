// Test support for the claim tests: scratch folders, files with chosen ages, trace capture.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "TempDir.h"
#include "util/Trace.h"

namespace velmora::xelc::testing {

namespace fs = std::filesystem;

// A fresh folder below the system's temporary folder, removed with its contents at the end.
class ScratchFolder : public velmora::testing::TempDir {
 public:
  ScratchFolder() : TempDir("xelc_claim") {}
  std::string operator/(const std::string& name) const { return Join(name); }
};

// Writes a file ageSeconds old (the detector hands out the oldest first).
inline bool WriteFile(const std::string& path, const std::string& content = "data",
                      int ageSeconds = 0) {
  if (!(std::ofstream(path, std::ios::binary) << content)) return false;
  std::error_code ec;
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds),
                      ec);
  return !ec;
}

// Sorted names of the entries of a folder.
inline std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Collects the trace lines of one category while it exists, with the ids up to General_60 and
// those of more switched on (restored afterwards). Thread-safe.
class TraceCapture : public util::LogWriter {
 public:
  explicit TraceCapture(std::string category, std::vector<uint32_t> more = {})
      : M_Category(std::move(category)), M_Ids(std::move(more)) {
    M_Ids.insert(M_Ids.end(), std::begin(kIds), std::end(kIds));
    for (uint32_t id : M_Ids) {
      M_Enabled.push_back(util::IsTraceEnabled(id));
      util::EnableTraceId(id, true);
    }
    M_pPrevious0 = util::SetLogWriter(util::LogChannelTrace, this);
    M_pPrevious1 = util::SetLogWriter(util::LogChannelTrace2, this);
  }
  ~TraceCapture() override {
    util::SetLogWriter(util::LogChannelTrace, M_pPrevious0);
    util::SetLogWriter(util::LogChannelTrace2, M_pPrevious1);
    for (size_t i = M_Ids.size(); i-- > 0;) util::EnableTraceId(M_Ids[i], M_Enabled[i]);
  }

  void Write(const util::LogRecord& record) override {
    if (record.typed_count < 1 || record.typed[0].tag != util::LogArgText ||
        record.typed[0].text == nullptr || M_Category != record.typed[0].text) {
      return;
    }
    std::string line = record.Render(false, false);
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Lines.push_back(std::move(line));
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(M_Mutex);
    return M_Lines;
  }
  // Number of lines equal to text.
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> guard(M_Mutex);
    return static_cast<int>(std::count(M_Lines.begin(), M_Lines.end(), text));
  }

 private:
  static constexpr uint32_t kIds[] = {util::General_Error, util::General_10, util::General_20,
                                      util::General_60};
  std::string M_Category;
  std::vector<uint32_t> M_Ids;
  std::vector<bool> M_Enabled;
  util::LogWriter* M_pPrevious0 = nullptr;
  util::LogWriter* M_pPrevious1 = nullptr;
  std::mutex M_Mutex;
  std::vector<std::string> M_Lines;
};

}  // namespace velmora::xelc::testing
