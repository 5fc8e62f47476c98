// OutputPath: combining, normalising and containment of the file functions' paths.
#include "OutputPath.h"

#include "FileInfo.h"
#include "osal/File.h"

namespace velmora::xelc {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Bounds the work a hostile path of many ".." can cause.
constexpr int kMaxDotDotExamined = 1000000;
// Longer entries of the allowed list are ignored rather than truncated.
constexpr size_t kMaxPrefixEntry = 1023;

bool IsWithinEntry(std::string_view path, std::string_view entry, bool bIgnoreCase) {
  while (!entry.empty() && IsSeparator(entry.back())) entry.remove_suffix(1);
  const size_t n = entry.size();
  if (path.size() < n) return false;
  // "\" and "/" both separate, in the request's path as in the allowed list.
  if (!PathStartsWith(path, entry, bIgnoreCase)) return false;
  // A ".." after the prefix could climb out of it again (Normalize leaves some in place).
  if (path.find("..", n > 0 ? n - 1 : 0) != std::string_view::npos) return false;
  // "D:\out" must not admit "D:\outbox\...".
  return path.size() == n || IsSeparator(path[n]);
}

}  // namespace

const xel::XmlNamedValue OutputPath::kOverwriteModes[] = {
    {"Yes", Overwrite_Yes},
    {"No", Overwrite_No},
    {"Never", Overwrite_Never},
    {"Rename", Overwrite_Rename},
};

std::string OutputPath::Combine(std::string_view directory, std::string_view relative) {
  if (!relative.empty() && IsSeparator(relative.front())) return std::string(relative);
  const size_t first = relative.find_first_of("\\/:");
  if (first != std::string_view::npos && relative[first] == ':') return std::string(relative);
  const size_t last = directory.find_last_of("\\/:");
  if (last == std::string_view::npos) return std::string(relative);
  std::string full(directory.substr(0, last + 1));
  full.append(relative);
  return full;
}

std::string OutputPath::Normalize(std::string path) {
  size_t from = 0;
  for (int examined = 0; examined < kMaxDotDotExamined; ++examined) {
    const size_t pos = path.find("..", from);
    if (pos == std::string::npos) break;
    from = pos + 1;
    if (pos < 3 || !IsSeparator(path[pos - 1]) || pos + 2 >= path.size() ||
        !IsSeparator(path[pos + 2])) {
      continue;
    }
    // The component before ".." ends at pos - 2; it must not start the path (a drive such as
    // "D:" or the first name of a relative path is never climbed over).
    const size_t sepBefore = path.find_last_of("\\/", pos - 2);
    if (sepBefore == std::string::npos) continue;
    const size_t start = sepBefore + 1;
    path.erase(start, pos + 3 - start);
    from = start;
  }
  return path;
}

bool OutputPath::IsWithin(std::string_view path, std::string_view prefixes) {
  // On Windows names ignore case, so comparing without case is exact there. On Linux
  // /data/out and /data/OUT are different folders: ignoring case would let a request write
  // into a folder that was never allowed, so the comparison keeps case there.
  return IsWithin(path, prefixes, osal::FileNamesIgnoreCase());
}

bool OutputPath::IsWithin(std::string_view path, std::string_view prefixes, bool bIgnoreCase) {
  for (const std::string& entry : Folders(prefixes)) {
    if (IsWithinEntry(path, entry, bIgnoreCase)) return true;
  }
  return false;
}

std::vector<std::string> OutputPath::Folders(std::string_view prefixes) {
  std::vector<std::string> folders;
  size_t pos = 0;
  while (pos < prefixes.size()) {
    size_t end = prefixes.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = prefixes.size();
    const std::string_view entry = prefixes.substr(pos, end - pos);
    pos = end + 1;
    // Blank lines between entries are no entries (they would admit every absolute path).
    if (entry.empty() || entry.size() >= kMaxPrefixEntry) continue;
    folders.emplace_back(entry);
  }
  return folders;
}

std::string OutputPath::WithCounter(std::string_view path, int counter) {
  const size_t lastSep = path.find_last_of("\\/");
  const size_t nameStart = lastSep == std::string_view::npos ? 0 : lastSep + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < nameStart) dot = path.size();
  std::string out(path.substr(0, dot));
  out += "(" + std::to_string(counter) + ")";
  out.append(path.substr(dot));
  return out;
}

const char* OutputPath::ModeName(int mode) {
  for (const xel::XmlNamedValue& v : kOverwriteModes) {
    if (v.value == mode) return v.name;
  }
  return "?";
}

}  // namespace velmora::xelc
