// Tests of the file functions' path rules: combining, normalising and the allowed folders.
#include "OutputPath.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::xelc {
namespace {

TEST(OutputPathTest, CombineNormalizeAndCounter) {
  const struct {
    const char* directory;  // nullptr: Normalize(name); "#N": WithCounter(name, N)
    const char* name;
    const char* expected;
  } cases[] = {{"D:\\out\\", "sub\\inv1.xml", "D:\\out\\sub\\inv1.xml"},
               {"D:\\out", "a.xml", "D:\\a.xml"},  // the directory's last component goes
               {"/data/out/", "a.xml", "/data/out/a.xml"},
               {"out", "a.xml", "a.xml"},
               // Absolute: a leading separator, or a drive or scheme before the first separator.
               {"D:\\out\\", "\\x\\a.xml", "\\x\\a.xml"},
               {"D:\\out\\", "/etc/a", "/etc/a"},
               {"D:\\out\\", "E:\\a.xml", "E:\\a.xml"},
               {"D:\\out\\", "s\\a:b", "D:\\out\\s\\a:b"},  // a colon after the first separator
               {nullptr, "D:\\out\\..\\other\\inv1.xml", "D:\\other\\inv1.xml"},
               {nullptr, "D:\\a\\b\\..\\..\\c", "D:\\c"},
               {nullptr, "/data/out/x/../y", "/data/out/y"},
               // Never over the first component; ".." only between separators.
               {nullptr, "D:\\..\\x", "D:\\..\\x"},
               {nullptr, "a\\..\\x", "a\\..\\x"},
               {nullptr, "D:\\a\\b..\\c", "D:\\a\\b..\\c"},
               {nullptr, "D:\\a\\...\\c", "D:\\a\\...\\c"},
               {nullptr, "D:\\a\\..", "D:\\a\\.."},
               {"#2", "/o/a.xml", "/o/a(2).xml"},
               {"#1", "/o/a.tar.gz", "/o/a.tar(1).gz"},
               {"#3", "/o.d/readme", "/o.d/readme(3)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.directory == nullptr) {
      EXPECT_EQ(OutputPath::Normalize(c.name), c.expected);
    } else if (c.directory[0] == '#') {
      EXPECT_EQ(OutputPath::WithCounter(c.name, c.directory[1] - '0'), c.expected);
    } else {
      EXPECT_EQ(OutputPath::Combine(c.directory, c.name), c.expected);
    }
  }
}

TEST(OutputPathTest, IsWithinTheAllowedList) {
  enum { kExact = 1, kIgnoreCase = 2, kBoth = 3 };  // the case rules a row is checked with
  const std::string list = "/a/in\r\n/b/out\n\n/c";
  const std::string longEntry = "/" + std::string(1022, 'l');  // 1023 characters: ignored
  const struct {
    std::string path;
    std::string allowed;
    int rules;
    bool within;
  } cases[] = {{"D:\\out\\a.xml", "D:\\out\\", kIgnoreCase, true},
               {"d:\\OUT\\a.xml", "D:\\out\\", kIgnoreCase, true},
               {"D:\\out", "D:\\out\\", kIgnoreCase, true},
               {"D:\\outbox\\a.xml", "D:\\out\\", kIgnoreCase, false},
               {"D:\\other\\a.xml", "D:\\out\\", kIgnoreCase, false},
               {"D:\\out\\..\\..\\a.xml", "D:\\out\\", kIgnoreCase, false},
               {"D:\\ou", "D:\\out\\", kIgnoreCase, false},
               // "\" and "/" separate alike in the path and in the list.
               {"C:\\data\\out\\", "C:/data/out", kBoth, true},
               {"C:\\data\\out\\a.xml", "C:/data/out/", kBoth, true},
               {"C:/data/out/sub/a.xml", "C:\\data\\out", kBoth, true},
               {"C:/data/out", "C:\\data\\out\\", kBoth, true},
               {"/data/out\\a.xml", "\\data\\out", kBoth, true},
               {"C:\\data\\outbox\\a.xml", "C:/data/out", kBoth, false},
               {"C:/data/out/../x", "C:\\data\\out", kBoth, false},
               {"/data/out/a.xml", "/data/out", kExact, true},
               {"/data/OUT/a.xml", "/data/out", kExact, false},
               {"/data/OUT/a.xml", "/data/out", kIgnoreCase, true},
               // Lists split at line breaks; an empty list admits nothing.
               {"/a/in/x", list, kExact, true},
               {"/b/out/x", list, kExact, true},
               {"/c/x", list, kExact, true},
               {"/d/x", list, kExact, false},
               {"/a/in/x", "", kExact, false},
               {"/x", "\r\n", kExact, false},
               {longEntry.substr(0, 1022) + "/x", longEntry.substr(0, 1022), kExact, true},
               {longEntry + "/x", longEntry, kExact, false}};
  for (const auto& c : cases) {
    for (bool bIgnoreCase : {false, true}) {
      if ((c.rules & (bIgnoreCase ? kIgnoreCase : kExact)) == 0) continue;
      EXPECT_EQ(OutputPath::IsWithin(c.path, c.allowed, bIgnoreCase), c.within)
          << c.path.substr(0, 40) << " in " << c.allowed.substr(0, 40) << " " << bIgnoreCase;
    }
  }
}

}  // namespace
}  // namespace velmora::xelc
