// Tests of the file functions' path rules: combining, normalising and the allowed folders.
#include "OutputPath.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::xelc {
namespace {

TEST(OutputPathTest, CombineKeepsAbsoluteNamesAndDropsTheDirectorysLastComponent) {
  EXPECT_EQ(OutputPath::Combine("D:\\out\\", "sub\\inv1.xml"), "D:\\out\\sub\\inv1.xml");
  EXPECT_EQ(OutputPath::Combine("D:\\out", "a.xml"), "D:\\a.xml");
  EXPECT_EQ(OutputPath::Combine("/data/out/", "a.xml"), "/data/out/a.xml");
  EXPECT_EQ(OutputPath::Combine("out", "a.xml"), "a.xml");
  // Absolute: a leading separator, or a drive or scheme before the first separator.
  EXPECT_EQ(OutputPath::Combine("D:\\out\\", "\\x\\a.xml"), "\\x\\a.xml");
  EXPECT_EQ(OutputPath::Combine("D:\\out\\", "/etc/a"), "/etc/a");
  EXPECT_EQ(OutputPath::Combine("D:\\out\\", "E:\\a.xml"), "E:\\a.xml");
  // A colon after the first separator is part of a relative name.
  EXPECT_EQ(OutputPath::Combine("D:\\out\\", "s\\a:b"), "D:\\out\\s\\a:b");
}

TEST(OutputPathTest, NormalizeRemovesComponentsClimbedOverOnly) {
  EXPECT_EQ(OutputPath::Normalize("D:\\out\\..\\other\\inv1.xml"), "D:\\other\\inv1.xml");
  EXPECT_EQ(OutputPath::Normalize("D:\\a\\b\\..\\..\\c"), "D:\\c");
  EXPECT_EQ(OutputPath::Normalize("/data/out/x/../y"), "/data/out/y");
  // Never climbs over the path's first component, and ".." must stand between separators.
  EXPECT_EQ(OutputPath::Normalize("D:\\..\\x"), "D:\\..\\x");
  EXPECT_EQ(OutputPath::Normalize("a\\..\\x"), "a\\..\\x");
  EXPECT_EQ(OutputPath::Normalize("D:\\a\\b..\\c"), "D:\\a\\b..\\c");
  EXPECT_EQ(OutputPath::Normalize("D:\\a\\...\\c"), "D:\\a\\...\\c");
  EXPECT_EQ(OutputPath::Normalize("D:\\a\\.."), "D:\\a\\..");
}

TEST(OutputPathTest, WithinAnEntryEndsAtASeparatorAndRefusesDotDot) {
  const char* prefix = "D:\\out\\";  // a trailing separator does not count
  EXPECT_TRUE(OutputPath::IsWithin("D:\\out\\a.xml", prefix, true));
  EXPECT_TRUE(OutputPath::IsWithin("d:\\OUT\\a.xml", prefix, true));
  EXPECT_TRUE(OutputPath::IsWithin("D:\\out", prefix, true));
  EXPECT_FALSE(OutputPath::IsWithin("D:\\outbox\\a.xml", prefix, true));
  EXPECT_FALSE(OutputPath::IsWithin("D:\\other\\a.xml", prefix, true));
  EXPECT_FALSE(OutputPath::IsWithin("D:\\out\\..\\..\\a.xml", prefix, true));
  EXPECT_FALSE(OutputPath::IsWithin("D:\\ou", prefix, true));
}

// "\" and "/" separate alike in the request's path and in the allowed list, as they do in
// the package's own containment test.
TEST(OutputPathTest, BothSeparatorsCountAlikeInPathAndAllowedList) {
  struct Case {
    const char* path;
    const char* allowed;
    bool within;
  } cases[] = {
      {"C:\\data\\out\\", "C:/data/out", true},
      {"C:\\data\\out\\a.xml", "C:/data/out/", true},
      {"C:/data/out/sub/a.xml", "C:\\data\\out", true},
      {"C:/data/out", "C:\\data\\out\\", true},
      {"/data/out\\a.xml", "\\data\\out", true},
      {"C:\\data\\outbox\\a.xml", "C:/data/out", false},
      {"C:/data/out/../x", "C:\\data\\out", false},
  };
  for (const Case& c : cases) {
    for (bool bIgnoreCase : {false, true}) {
      EXPECT_EQ(OutputPath::IsWithin(c.path, c.allowed, bIgnoreCase), c.within)
          << c.path << " in " << c.allowed;
    }
  }
}

TEST(OutputPathTest, CaseCountsWhereTheFileSystemDistinguishesIt) {
  EXPECT_TRUE(OutputPath::IsWithin("/data/out/a.xml", "/data/out", false));
  EXPECT_FALSE(OutputPath::IsWithin("/data/OUT/a.xml", "/data/out", false));
  EXPECT_TRUE(OutputPath::IsWithin("/data/OUT/a.xml", "/data/out", true));
}

TEST(OutputPathTest, PrefixListIsSplitAtLineBreaksAndEmptyAdmitsNothing) {
  const std::string list = "/a/in\r\n/b/out\n\n/c";
  EXPECT_TRUE(OutputPath::IsWithin("/a/in/x", list, false));
  EXPECT_TRUE(OutputPath::IsWithin("/b/out/x", list, false));
  EXPECT_TRUE(OutputPath::IsWithin("/c/x", list, false));
  EXPECT_FALSE(OutputPath::IsWithin("/d/x", list, false));
  EXPECT_FALSE(OutputPath::IsWithin("/a/in/x", "", false));
  EXPECT_FALSE(OutputPath::IsWithin("/x", "\r\n", false));
  // Entries of 1023 characters or more are ignored.
  const std::string longEntry = "/" + std::string(1022, 'l');
  EXPECT_TRUE(
      OutputPath::IsWithin(longEntry.substr(0, 1022) + "/x", longEntry.substr(0, 1022), false));
  EXPECT_FALSE(OutputPath::IsWithin(longEntry + "/x", longEntry, false));
}

TEST(OutputPathTest, CounterGoesBeforeTheExtensionOfTheFileName) {
  EXPECT_EQ(OutputPath::WithCounter("/o/a.xml", 2), "/o/a(2).xml");
  EXPECT_EQ(OutputPath::WithCounter("/o/a.tar.gz", 1), "/o/a.tar(1).gz");
  EXPECT_EQ(OutputPath::WithCounter("/o.d/readme", 3), "/o.d/readme(3)");
}

}  // namespace
}  // namespace velmora::xelc
