// Helpers on native paths ('/'-separated) shared by the POSIX implementations.
#pragma once

#include <string>

namespace velmora::osal {

// The folder part of a native path: "." when there is none, "/" for a top-level entry.
// Trailing separators of path are ignored.
inline std::string ParentOfNativePath(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace velmora::osal
