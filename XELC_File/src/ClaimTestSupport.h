// Test support for the claim tests: scratch folders, files with chosen ages, trace capture.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FileFunctionsTestSupport.h"
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
class TraceCapture : public TraceRecorder {
 public:
  explicit TraceCapture(std::string category, std::vector<uint32_t> more = {})
      : TraceRecorder(WithBasics(std::move(more))), M_Category(std::move(category)) {
    M_pPrevious = util::SetLogWriter(util::LogChannelTrace2, this);
  }
  ~TraceCapture() override { util::SetLogWriter(util::LogChannelTrace2, M_pPrevious); }

  std::vector<std::string> Lines() { return TraceRecorder::Lines(M_Category); }
  // Number of lines equal to text.
  int Count(const std::string& text) {
    const std::vector<std::string> lines = Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }

 private:
  static std::vector<uint32_t> WithBasics(std::vector<uint32_t> ids) {
    ids.insert(ids.end(),
               {util::General_Error, util::General_10, util::General_20, util::General_60});
    return ids;
  }
  std::string M_Category;
  util::LogWriter* M_pPrevious = nullptr;
};

}  // namespace velmora::xelc::testing
