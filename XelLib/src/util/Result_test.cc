// Tests of results, their texts, throwing, logging and flat form, and the file and comm results.
#include "util/Result.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>

#include "ResultMatchers.h"
#include "TempDir.h"
#include "TraceCapture.h"
#include "util/CommResult.h"
#include "util/FileResult.h"
#include "util/Trace.h"

namespace velmora::util {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TraceCapture;

std::string Code(const Result& r) { return std::to_string(r.Code()); }
Result Warning() { return Result::Make(ErrBusy, 0, 0, SevWarning, nullptr); }

// The flat form of a result: its parts, each NUL-ended.
std::string Flat(std::initializer_list<std::string> parts) {
  std::string flat;
  for (const std::string& part : parts) flat += part + '\0';
  return flat;
}

TEST(ResultCodeTest, FieldsPackAndEveryNamedCategoryHasItsClass) {
  ResultCode c = MakeResultCode(SevError, ErrObjNotExist, ObjXelcFile, ModVmosal);
  EXPECT_EQ(c, (2u << 28) | (21u << 20) | (60u << 8) | 3u);
  // Oversized field values must not spill into their neighbours or the reserved bits.
  EXPECT_EQ(MakeResultCode(7, 0x1FF, 0x1FFF, 0x1FF) >> 30, 0u);
  EXPECT_EQ(ResultCodeObject(MakeResultCode(0, 0, 0x1FFF, 0)), 0xFFFu);
  EXPECT_FALSE(CategoryName(0) || CategoryName(46) || ModuleName(200));
  EXPECT_EQ(CategoryClass(46).to, 0u);
  for (uint32_t c = 1; c < 256; ++c) {
    ResultClassRange own = CategoryClass(c);
    EXPECT_TRUE(!CategoryName(c) || (own.from == c && c < own.to && own.to <= 256u)) << c;
  }
  EXPECT_TRUE(Result::Fail(ErrMoreData).IsClass(ErrTemp) &&
              !Result::Fail(ErrLogic).IsClass(ErrTemp));
}

// Success says "OK"; an error or a warning without a text has no details to show. Only the
// long forms trace their text, and only a non-empty one.
TEST(ResultTest, TextsInEveryModeAndTheTraceOfTheLongForms) {
  EnableTraceId(Result_SetErrorText, true);
  TraceCapture capture;
  for (int mode = 0; mode <= 4; ++mode) {
    EXPECT_EQ(Result().Text(mode) + Result::Fail(ErrTimeout).Text(mode) + Warning().Text(mode),
              "OKERRORERROR")
        << mode;
  }
  EXPECT_TRUE(Warning().IsSuccess());
  EXPECT_EQ(Result::Fail(ErrBusy, "quiet").Text(3), "quiet");
  EXPECT_EQ(Result::Make(ErrBusy, 0, 0, SevError, "%s", "").SlotText(0), "");
  Result r = Result::Connector(ErrObjNotExist, "file %s missing", "a.txt");
  EXPECT_EQ(r.Code(), MakeResultCode(SevError, 21, 60, 0));
  const std::string x = "file a.txt missing", full = "Error " + Code(r) + ": " + x;
  const std::string texts[] = {full + " (Cat=ErrObjNotExist, Obj=XelcFile, Mod=M_Unknown)", Code(r),
                               full, x};
  for (int mode = 0; mode <= 4; ++mode) EXPECT_EQ(r.Text(mode), texts[mode % 4]) << mode;
  EXPECT_EQ(r.ErrorText(), x);
  // Fields without a name show their number rather than nothing.
  Result odd = Result::Make(99, 250, 4000, SevError, "odd %i", 3);
  EXPECT_THAT(odd.Text(4), HasSubstr("odd 3 (Cat=99, Obj=4000, Mod=250)"));
  EXPECT_THAT(capture.lines, ElementsAre("{18 \"\"} Result set to: " + r.Text(4),
                                         "{18 \"\"} Result set to: " + odd.Text(4)));
  EnableTraceId(Result_SetErrorText, false);
}

TEST(ResultTest, TextsAreLimitedSlotsOutsideTheRangeIgnoredAndCopiesIndependent) {
  Result r = Result::Fail(ErrIntern, "%s", std::string(600, 'a').c_str());
  EXPECT_EQ(r.ErrorText().size(), 511u);
  r.SetSlotText(5, "nope");
  r.SetSlotText(-1, "nope");
  EXPECT_EQ(r.SlotText(5) + r.SlotText(-1) + Result().SlotText(0), "");

  // Copies share texts until one is changed.
  Result a = Result::Fail(ErrBusy, "first");
  Result b = a;
  b.SetText("second %d", 2);
  EXPECT_EQ(a.ErrorText() + "|" + b.ErrorText(), "first|second 2");
  a = b;
  Result moved = std::move(a);
  EXPECT_EQ(moved.ErrorText(), "second 2");
  EXPECT_THAT(a, IsOk());  // NOLINT(bugprone-use-after-move): a moved-from result is success
  // The worse of two is kept; of two equally bad ones the first.
  a = Warning();
  a.KeepWorse(Result::Fail(ErrBusy, "first")).KeepWorse(moved).KeepWorse(Result());
  EXPECT_EQ(Code(a) + a.ErrorText(), Code(Result::Fail(ErrBusy)) + "first");
}

TEST(ResultDeathTest, MisusesAreFatalAssertions) {
  TraceCapture writer(LogChannelFatal, true);
  EXPECT_DEATH((void)Result().IsClass(ResultClassRange{5, 5}),
               "Exp=VM_RESULT_CLASS_RANGE_GET_FORM\\(Range\\) < VM_RESULT_CLASS_RANGE_GET_TO");
  EXPECT_DEATH(Result().ThrowIfError(static_cast<const char*>(nullptr)),
               "Exp=sz_location_info != 0");
  char small[15];
  EXPECT_DEATH((void)Result().Serialize(small, sizeof(small)), "Exp=BufferSize >= 16");
}

TEST(ResultTest, ThrowIfErrorAndLogIfErrorTraceOnlyAnError) {
  EnableTraceId(General_40, true);
  EnableTraceId(General_60, true);
  TraceCapture capture;
  EXPECT_NO_THROW(Result().ThrowIfError("here"));
  EXPECT_NO_THROW(Warning().ThrowIfError());
  Result().LogIfError(General_60, "success");
  Result r = Result::Fail(ErrObjNotExist, "gone");
  const std::string before = r.Text();
  EXPECT_THROW(r.ThrowIfError(), Result);
  try {
    r.ThrowIfError("Poll()");
    ADD_FAILURE() << "not thrown";
  } catch (const Result& located) {
    EXPECT_EQ(located.ErrorText(), "gone | Poll()");
    EXPECT_THAT(located, HasCategory(ErrObjNotExist));
  }
  r.LogIfError(General_60, "%s:%i", "Driver.cc", 12);
  r.LogIfError(General_80, "disabled");
  r.LogIfError(General_60, "%s", std::string(400, 'L').c_str());
  EXPECT_THAT(
      capture.lines,
      ElementsAre("{7 \"WARNING\"} ThrowIfError() result=" + before,
                  "{7 \"WARNING\"} ThrowIfError(Poll()) result=" + before,
                  "{8 \"WARNING\"} Location=Driver.cc:12; result=" + r.Text(),
                  "{8 \"WARNING\"} Location=" + std::string(255, 'L') + "; result=" + r.Text()));
  EnableTraceId(General_40, false);
  EnableTraceId(General_60, false);
}

// The code, then slot number and text pairs, and an empty part at the end.
TEST(ResultTest, SerialiseRoundTripsNeverWritesPastTheBufferAndRejectsBrokenOnes) {
  Result r = Result::Fail(ErrXmlFormat, "bad element");
  r.SetSlotText(2, "second");
  r.SetSlotText(4, "fourth");
  char buffer[256];
  size_t used = r.Serialize(buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, used),
            Flat({Code(r), "0", "bad element", "2", "second", "4", "fourth", ""}));
  Result back = Result::Fail(ErrBusy, "old");
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(back.Text(4), r.Text(4));
  EXPECT_EQ(back.SlotText(1) + "|" + back.SlotText(2) + "|" + back.SlotText(4), "|second|fourth");
  used = Result().Serialize(buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, used), Flat({"0", ""}));
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_THAT(back, IsOk());
  // The smallest buffer keeps only the code; a larger one a cut text.
  Result connector = Result::Connector(ErrTimeout, "%s", std::string(100, 't').c_str());
  used = connector.Serialize(buffer, 16);
  EXPECT_EQ(std::string(buffer, used), Flat({Code(connector), ""}));
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(Code(back) + back.Text(), Code(connector) + "ERROR");
  memset(buffer, 'x', sizeof(buffer));
  used = connector.Serialize(buffer, 40);
  EXPECT_EQ(buffer[40], 'x');
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(back.ErrorText(), connector.ErrorText().substr(0, back.ErrorText().size()));
  // Too short and without a NUL are reported in the result; a slot number without its text and
  // bytes after the end marker are refused.
  const std::pair<std::string, bool> cases[] = {
      {Flat({"0"}), true}, {"123", true}, {Flat({"5", "0"}), false}, {Flat({"5", "", ""}), false}};
  for (const auto& [bad, bReported] : cases) {
    Result broken;
    EXPECT_FALSE(broken.Deserialize(bad.c_str(), bad.size())) << bad;
    if (!bReported) continue;
    EXPECT_EQ(Code(broken) + broken.ErrorText(),
              Code(Result::Fail(ErrLogicArgs)) + "Cant create Result object from Buffer");
  }
}

TEST(FileResultTest, OpenFailuresHaveTheirTextsAndTheEndOfAReadIsAWarning) {
  using osal::ErrorKind;
  const std::tuple<ErrorKind, int, uint32_t, uint32_t, std::string> cases[] = {
      {ErrorKind::kNotFound, ENOENT, 0x301, ErrObjNotExist,
       "File Open (Name=a.txt, Flags=0x301) failed. File not found."},
      {ErrorKind::kPathNotFound, ENOENT, 0x12, ErrObjNotExist,
       "File Open (Name=a.txt, Flags=0x12) failed. Path not found."},
      {ErrorKind::kExists, EEXIST, 0x102, ErrObjExist, "File a.txt already exists"},
      {ErrorKind::kAccessDenied, EACCES, 1, Error,
       "File Open (Name=a.txt, Flags=0x1) failed with EC=" + std::to_string(EACCES)}};
  for (const auto& [kind, native, flags, category, text] : cases) {
    Result r = FileOpenResult(osal::Status(kind, native), "a.txt", flags);
    EXPECT_EQ(r.Code(), MakeResultCode(SevError, category, ObjFile, ModVmosal));
    EXPECT_EQ(r.ErrorText(), text);
  }
  EXPECT_THAT(FileOpenResult(osal::Status(), "a.txt", 1), IsOk());
  const osal::OpenOptions options{.access = osal::kAccessWrite,
                                  .share = osal::kShareNone,
                                  .disposition = osal::Disposition::kCreateNew,
                                  .delete_on_close = true};
  EXPECT_EQ(FileOpenFlags(options), 0x1102u);
  // The end of the file is a warning.
  testing::TempDir dir;
  std::ofstream(dir.Join("f")) << "0123456789";
  osal::File file;
  ASSERT_THAT(FileOpen(file, dir.Join("f"), osal::OpenOptions()), IsOk());
  char buf[8];
  size_t n = 0;
  EXPECT_EQ(FileRead(file, buf, sizeof(buf), &n).Code(), 0u);
  EXPECT_EQ(n, 8u);
  Result r = FileRead(file, buf, sizeof(buf), &n);
  EXPECT_TRUE(r.IsSuccess() && r.Category() == uint32_t{ErrEndOfObject}) << r.Text(4);
  EXPECT_EQ(n, 2u);
  EXPECT_THAT(FileWrite(file, "x", 1), HasText("File Write"));
}

// A new record and one of an unknown category read as unknown. The text form may lower the
// level, the number form never; a code is cut to 15 characters, a number of 0 gives none, and
// no format means no diagnostics.
TEST(CommResultTest, TextsLevelsAndCategoryNames) {
  CommResult c, odd;
  odd.SetErrorCategory(77);
  for (CommResult* p : {&c, &odd})
    EXPECT_EQ(p->Text() + "|" + p->CompactText(), "Cat=UNKNOWN, ConnLevel=0, EC=, Diag=|UNKN;0;");
  c.Set(CommBadContent, 40, "XML", "element %s missing", "Body");
  EXPECT_EQ(c.Text(), "Cat=BAD-CONTENT, ConnLevel=40, EC=XML, Diag=element Body missing");
  EXPECT_EQ(c.CompactText(), "CONTENT;40;XML");
  c.SetOk();
  EXPECT_EQ(c.Text() + "|" + c.CompactText(), "Cat=OK, ConnLevel=100, EC=, Diag=|OK;100;");
  c.Set(CommInternal, 0, nullptr, "%s", std::string(600, 'd').c_str());
  EXPECT_EQ(c.Diagnostics().size(), 511u);
  EXPECT_LE(c.Text().size(), 999u);
  EXPECT_STREQ(CommResult::CategoryLongName(CommNetworkUnavailable), "NETWORK_UNAVAILABLE");
  EXPECT_STREQ(CommResult::CategoryLongName(24), "UNKNOWN");
  EXPECT_STREQ(CommResult::CategoryShortName(CommCanceledRemote), "CANC-R");
  EXPECT_STREQ(CommResult::CategoryShortName(-1), "UNKN");
  int32_t value = -1;
  EXPECT_TRUE(CommResult::CategoryFromLongName("SERVER-POWER-FAILURE", &value));
  EXPECT_EQ(value, CommServerPowerFailure);
  EXPECT_FALSE(CommResult::CategoryFromLongName("ok", &value));
  c.Set(CommExpired, 40, "T", "late");
  c.Set(CommProtocol, 10, "ABCDEFGHIJKLMNOPQRST", nullptr);
  EXPECT_EQ(c.Text(), "Cat=PROTOCOL, ConnLevel=10, EC=ABCDEFGHIJKLMNO, Diag=");
  c.SetCode(CommRemoteBusy, 5, 4711, "retry");
  EXPECT_EQ(c.CompactText(), "RBSY;10;4711");
  c.SetCode(CommRemoteBusy, 60, 0, nullptr);
  EXPECT_EQ(c.CompactText(), "RBSY;60;");
  CommResult r;
  r.RaiseLevel(20);
  r.RaiseLevel(10);
  EXPECT_EQ(r.ConnectionLevel(), 20);
  // The level taken over is capped, but never below what this record had reached.
  CommResult other;
  other.Set(CommNetworkBusy, 90, "N", "net");
  r.TakeOver(other, 50);
  EXPECT_EQ(r.Text(), "Cat=NETWORK-BUSY, ConnLevel=50, EC=N, Diag=net");
  r.RaiseLevel(70);
  r.TakeOver(other, 50);
  EXPECT_EQ(r.ConnectionLevel(), 70);
}

}  // namespace
}  // namespace velmora::util
