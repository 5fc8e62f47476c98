// Tests of the file layer's results: open failure texts and end-of-file reads.
#include "util/FileResult.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "../../testing/ResultMatchers.h"
#include "../../testing/TempDir.h"

namespace velmora::util {
namespace {

TEST(FileResultTest, OpenFailuresHaveTheirClassesAndTexts) {
  using osal::ErrorKind;
  using osal::Status;
  Result r = FileOpenResult(Status(ErrorKind::kNotFound, ENOENT), "a.txt", 0x301);
  EXPECT_EQ(r.Code(), MakeResultCode(SevError, ErrObjNotExist, ObjFile, ModVmosal));
  EXPECT_EQ(r.ErrorText(), "File Open (Name=a.txt, Flags=0x301) failed. File not found.");
  r = FileOpenResult(Status(ErrorKind::kPathNotFound, ENOENT), "d/a.txt", 0x12);
  EXPECT_EQ(r.ErrorText(), "File Open (Name=d/a.txt, Flags=0x12) failed. Path not found.");
  r = FileOpenResult(Status(ErrorKind::kExists, EEXIST), "a.txt", 0x102);
  EXPECT_EQ(r.Category(), uint32_t{ErrObjExist});
  EXPECT_EQ(r.ErrorText(), "File a.txt already exists");
  r = FileOpenResult(Status(ErrorKind::kAccessDenied, EACCES), "a.txt", 1);
  EXPECT_EQ(r.Category(), uint32_t{Error});
  EXPECT_EQ(r.ErrorText(),
            "File Open (Name=a.txt, Flags=0x1) failed with EC=" + std::to_string(EACCES));
  EXPECT_THAT(FileOpenResult(Status(), "a.txt", 1), IsOk());

  osal::OpenOptions options;
  options.access = osal::kAccessWrite;
  options.share = osal::kShareNone;
  options.disposition = osal::Disposition::kCreateNew;
  options.delete_on_close = true;
  EXPECT_EQ(FileOpenFlags(options), 0x1102u);
}

TEST(FileResultTest, ReadReportsTheEndAsAWarning) {
  testing::TempDir dir;
  std::ofstream(dir.Join("f")) << "0123456789";
  osal::File file;
  osal::OpenOptions options;
  ASSERT_THAT(FileOpen(file, dir.Join("f"), options), IsOk());
  char buf[8];
  size_t n = 0;
  Result r = FileRead(file, buf, sizeof(buf), &n);
  EXPECT_EQ(r.Code(), 0u);
  EXPECT_EQ(n, 8u);
  r = FileRead(file, buf, sizeof(buf), &n);
  EXPECT_TRUE(r.IsSuccess());
  EXPECT_EQ(r.Category(), uint32_t{ErrEndOfObject});
  EXPECT_EQ(n, 2u);
  EXPECT_THAT(FileWrite(file, "x", 1), HasText("File Write"));
}

}  // namespace
}  // namespace velmora::util
