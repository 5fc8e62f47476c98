// A unique temporary folder for a test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace velmora::testing {

// Not thread-safe itself; tests may use the folder from any thread.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "xeltest") {
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && M_Path.empty(); ++attempt) {
      const std::string name = prefix + "-" + std::to_string(rd()) + std::to_string(rd() % 100000);
      std::error_code ec;
      const std::filesystem::path candidate = std::filesystem::temp_directory_path() / name;
      if (std::filesystem::create_directory(candidate, ec)) M_Path = candidate.string();
    }
    if (M_Path.empty()) throw std::runtime_error("cannot create a temporary folder");
  }
  ~TempDir() {
    std::error_code ec;
    // Read-only entries would stop the removal on some systems.
    for (auto it = std::filesystem::recursive_directory_iterator(M_Path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(M_Path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return M_Path; }  // without a trailing separator
  std::string Join(const std::string& name) const { return M_Path + "/" + name; }

 private:
  std::string M_Path;
};

}  // namespace velmora::testing
