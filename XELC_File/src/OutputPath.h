// OutputPath: the path rules that "CreateFile" and "ReadFile" share (combining a requested name
// with the configured folder, normalising "..", and the test against the allowed folders).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "xel/XmlParser.h"

namespace velmora::xelc {

// Stateless helpers; every function is thread-safe. Paths are in the connector's form: UTF-8,
// "\" and "/" both separate components, a drive or scheme ends at ":".
class OutputPath {
 public:
  // What happens when the file to write exists; the values are the ones shown in traces.
  enum OverwriteMode : int {
    Overwrite_Yes = 0,     // replace the file
    Overwrite_No = 1,      // fail
    Overwrite_Never = 2,   // fail, and the request may not choose another mode
    Overwrite_Rename = 3,  // write to the first free "name(N).ext"
  };
  // The names of the modes as configuration and requests spell them (matched exactly).
  static const xel::XmlNamedValue kOverwriteModes[];
  static constexpr int kOverwriteModeCount = 4;
  // Rename tries the counters 1 to kMaxRenameCounter.
  static constexpr int kMaxRenameCounter = 998;

  // The full name of relative below directory: relative unchanged when it is absolute (starts
  // with a separator, or names a drive or scheme before its first separator); otherwise
  // directory up to and including its last "\", "/" or ":" followed by relative. A directory
  // without a trailing separator thus loses its last component ("D:\out" + "a" = "D:\a").
  static std::string Combine(std::string_view directory, std::string_view relative);
  // Removes "component\..\" pairs (either separator). A ".." whose preceding component
  // starts the path, or that is not enclosed in separators, stays and fails IsWithin.
  static std::string Normalize(std::string path);
  // True when path lies in or below one of the folders listed in prefixes (separated by CR or
  // LF; trailing separators of an entry do not count). An empty list admits nothing. "\" and
  // "/" are the same separator here as everywhere in these paths; names are compared ignoring
  // case only where the file system does (osal::FileNamesIgnoreCase).
  static bool IsWithin(std::string_view path, std::string_view prefixes);
  // As above with the case rule given: the tests exercise both rules on every platform.
  static bool IsWithin(std::string_view path, std::string_view prefixes, bool bIgnoreCase);
  // The folders of an allowed list as IsWithin reads it (entries split at CR and LF, blank and
  // overlong entries left out), for confining the file calls to them.
  static std::vector<std::string> Folders(std::string_view prefixes);
  // path with "(counter)" before the dot of its file name's extension ("a.xml" -> "a(2).xml");
  // a name without extension gets the counter at its end.
  static std::string WithCounter(std::string_view path, int counter);
  // Text of a mode for messages ("Yes", ...); "?" for other values.
  static const char* ModeName(int mode);
};

}  // namespace velmora::xelc
