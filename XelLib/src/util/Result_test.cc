// Tests of Result: texts, combining, class tests, throwing, logging and the flat form.
#include "util/Result.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ResultMatchers.h"
#include "util/Trace.h"

namespace velmora::util {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Collects the rendered trace lines (with their typed arguments) while alive.
class TraceCapture : public LogWriter {
 public:
  TraceCapture() { M_pPrevious = SetLogWriter(LogChannelTrace, this); }
  ~TraceCapture() override { SetLogWriter(LogChannelTrace, M_pPrevious); }
  void Write(const LogRecord& record) override {
    char buffer[2048];
    record.Render(buffer, sizeof(buffer), false, true);
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Lines.push_back(buffer);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(M_Mutex);
    return M_Lines;
  }

 private:
  LogWriter* M_pPrevious;
  std::mutex M_Mutex;
  std::vector<std::string> M_Lines;
};

// In a death test's child: fatal messages go to stderr, so the expectation can read them.
class FatalToStderr : public LogWriter {
 public:
  void Write(const LogRecord& record) override {
    char buffer[2048];
    record.Render(buffer, sizeof(buffer), false, true);
    fprintf(stderr, "%s\n", buffer);
  }
};
void RouteFatalToStderr() {
  static FatalToStderr writer;
  SetLogWriter(LogChannelFatal, &writer);
}

std::string Code(const Result& r) { return std::to_string(r.Code()); }

TEST(ResultTest, TextsInEveryMode) {
  Result ok;
  for (int mode = 0; mode <= 4; ++mode) EXPECT_EQ(ok.Text(mode), "OK") << mode;
  EXPECT_THAT(ok, IsOk());

  // An error or a warning without a text has no details to show.
  Result bare = Result::Fail(ErrTimeout);
  Result warning = Result::Make(ErrBusy, ModUnknown, ObjUnknown, SevWarning, nullptr);
  for (int mode = 0; mode <= 4; ++mode) {
    EXPECT_EQ(bare.Text(mode), "ERROR") << mode;
    EXPECT_EQ(warning.Text(mode), "ERROR") << mode;
  }
  EXPECT_TRUE(warning.IsSuccess());

  Result r = Result::Connector(ErrObjNotExist, "file %s missing", "a.txt");
  EXPECT_EQ(r.Code(), MakeResultCode(SevError, 21, 60, 0));
  std::string x = "file a.txt missing";
  EXPECT_EQ(r.Text(4),
            "Error " + Code(r) + ": " + x + " (Cat=ErrObjNotExist, Obj=XelcFile, Mod=M_Unknown)");
  EXPECT_EQ(r.Text(0), r.Text(4));
  EXPECT_EQ(r.Text(1), Code(r));
  EXPECT_EQ(r.Text(2), "Error " + Code(r) + ": " + x);
  EXPECT_EQ(r.Text(3), x);
  EXPECT_EQ(r.ErrorText(), x);
  EXPECT_THAT(r, IsError());
  EXPECT_THAT(r, HasCategory(ErrObjNotExist));
  EXPECT_THAT(r, HasText("Obj=XelcFile"));

  // Fields without a name show their number rather than nothing.
  Result odd = Result::Make(99, 250, 4000, SevError, "odd");
  EXPECT_THAT(odd.Text(4), HasSubstr("(Cat=99, Obj=4000, Mod=250)"));
}

TEST(ResultTest, MakeTracesOnlyANonEmptyTextAndTheShortFormNever) {
  EnableTraceId(Result_SetErrorText, true);
  TraceCapture capture;
  Result made = Result::Make(ErrBusy, ModIntellNetwork, ObjConnection, SevError, "busy %i", 3);
  Result connector = Result::Connector(ErrPermission, "denied");
  Result empty = Result::Make(ErrBusy, ModUnknown, ObjUnknown, SevError, "%s", "");
  Result short_form = Result::Fail(ErrBusy, "quiet");
  EXPECT_THAT(short_form.Text(3), "quiet");
  EXPECT_FALSE(empty.SlotText(0).size());
  EXPECT_THAT(capture.Lines(), ElementsAre("{18 \"\"} Result set to: " + made.Text(4),
                                           "{18 \"\"} Result set to: " + connector.Text(4)));
  EnableTraceId(Result_SetErrorText, false);
}

TEST(ResultTest, TextsAreLimitedAndSlotsOutsideTheRangeIgnored) {
  std::string longer(600, 'a');
  Result r = Result::Fail(ErrIntern, "%s", longer.c_str());
  EXPECT_EQ(r.ErrorText().size(), 511u);
  r.SetSlotText(5, "nope");
  r.SetSlotText(-1, "nope");
  EXPECT_EQ(r.SlotText(5), "");
  EXPECT_EQ(r.SlotText(-1), "");
  EXPECT_EQ(Result().SlotText(0), "");
}

TEST(ResultTest, CopiesShareTextsUntilOneIsChanged) {
  Result a = Result::Fail(ErrBusy, "first");
  Result b = a;
  b.SetText("second %d", 2);
  EXPECT_EQ(a.ErrorText(), "first");
  EXPECT_EQ(b.ErrorText(), "second 2");
  a = b;
  EXPECT_EQ(a.ErrorText(), "second 2");
  Result moved = std::move(a);
  EXPECT_EQ(moved.ErrorText(), "second 2");
  EXPECT_THAT(a, IsOk());  // NOLINT(bugprone-use-after-move): a moved-from result is success
}

TEST(ResultTest, KeepWorse) {
  Result first = Result::Fail(ErrBusy, "first");
  first.KeepWorse(Result::Fail(ErrTimeout, "second"));
  EXPECT_EQ(first.ErrorText(), "first");

  Result warning = Result::Make(ErrBusy, 0, 0, SevWarning, nullptr);
  warning.KeepWorse(Result::Fail(ErrTimeout));
  EXPECT_THAT(warning, HasCategory(ErrTimeout));

  Result error = Result::Fail(ErrTimeout);
  error.KeepWorse(Result()).KeepWorse(Result::Make(ErrBusy, 0, 0, SevWarning, nullptr));
  EXPECT_THAT(error, HasCategory(ErrTimeout));

  Result ok;
  ok.KeepWorse(Result::Make(ErrBusy, 0, 0, SevWarning, nullptr));
  EXPECT_EQ(ok.Severity(), static_cast<uint32_t>(SevWarning));
}

TEST(ResultTest, ClassTests) {
  EXPECT_TRUE(Result::Fail(ErrMoreData).IsClass(ErrTemp));
  EXPECT_FALSE(Result::Fail(ErrLogic).IsClass(ErrTemp));
  EXPECT_TRUE(Result::Fail(ErrLogic).IsClass(Error));
  EXPECT_TRUE(Result::Fail(ErrStopped).IsClass(ErrStateChanged));
  EXPECT_FALSE(Result::Fail(ErrExpired).IsClass(ErrStateChanged));
  EXPECT_TRUE(Result::Fail(ErrIntBadObj).IsClass(ResultClassRange{150, 256}));
  EXPECT_FALSE(Result().IsClass(Error));
}

TEST(ResultDeathTest, ClassTestWithAnEmptyRange) {
  EXPECT_DEATH(
      {
        RouteFatalToStderr();
        (void)Result::Fail(ErrBusy).IsClass(ResultClassRange{5, 5});
      },
      "Exp=VM_RESULT_CLASS_RANGE_GET_FORM\\(Range\\) < VM_RESULT_CLASS_RANGE_GET_TO\\(Range\\)");
}

TEST(ResultTest, ThrowIfError) {
  EnableTraceId(General_40, true);
  TraceCapture capture;
  Result ok;
  EXPECT_NO_THROW(ok.ThrowIfError());
  EXPECT_NO_THROW(ok.ThrowIfError("here"));
  Result warning = Result::Make(ErrBusy, 0, 0, SevWarning, nullptr);
  EXPECT_NO_THROW(warning.ThrowIfError());
  EXPECT_THAT(capture.Lines(), IsEmpty());

  Result r = Result::Fail(ErrObjNotExist, "gone");
  try {
    r.ThrowIfError();
    FAIL() << "no throw";
  } catch (const Result& thrown) {
    EXPECT_EQ(thrown.Text(), r.Text());
  }
  std::string before = r.Text();
  try {
    r.ThrowIfError("Poll()");
    FAIL() << "no throw";
  } catch (const Result& thrown) {
    EXPECT_EQ(thrown.ErrorText(), "gone | Poll()");
    EXPECT_THAT(thrown, HasCategory(ErrObjNotExist));
  }
  EXPECT_THAT(capture.Lines(),
              ElementsAre("{7 \"WARNING\"} ThrowIfError() result=" + before,
                          "{7 \"WARNING\"} ThrowIfError(Poll()) result=" + before));
  EnableTraceId(General_40, false);
}

TEST(ResultDeathTest, ThrowIfErrorWithoutLocation) {
  EXPECT_DEATH(
      {
        RouteFatalToStderr();
        Result r;
        r.ThrowIfError(static_cast<const char*>(nullptr));
      },
      "Exp=sz_location_info != 0");
}

TEST(ResultTest, LogIfError) {
  EnableTraceId(General_60, true);
  EnableTraceId(General_80, false);
  TraceCapture capture;
  Result r = Result::Fail(ErrBusy, "busy");
  r.LogIfError(General_60, "%s:%i", "Driver.cc", 12);
  r.LogIfError(General_80, "disabled");
  Result().LogIfError(General_60, "success");
  std::string longer(400, 'L');
  r.LogIfError(General_60, "%s", longer.c_str());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{8 \"WARNING\"} Location=Driver.cc:12; result=" + r.Text());
  EXPECT_EQ(lines[1], "{8 \"WARNING\"} Location=" + std::string(255, 'L') + "; result=" + r.Text());
  EnableTraceId(General_60, false);
}

TEST(ResultTest, SerialiseIntoTheSmallestBufferKeepsOnlyTheCode) {
  Result r = Result::Connector(ErrTimeout, "a text that does not fit");
  char buffer[16];
  memset(buffer, 'x', sizeof(buffer));
  size_t used = r.Serialize(buffer, sizeof(buffer));
  std::string code = std::to_string(static_cast<int>(r.Code()));
  ASSERT_EQ(used, code.size() + 2);
  EXPECT_EQ(std::string(buffer), code);
  EXPECT_EQ(buffer[used - 1], '\0');
  EXPECT_EQ(buffer[used - 2], '\0');

  Result back;
  EXPECT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(back.Code(), r.Code());
  EXPECT_EQ(back.Text(), "ERROR");
}

TEST(ResultTest, SerialiseRoundTripWithSeveralSlots) {
  Result r = Result::Fail(ErrXmlFormat, "bad element");
  r.SetSlotText(2, "second");
  r.SetSlotText(4, "fourth");
  char buffer[256];
  size_t used = r.Serialize(buffer, sizeof(buffer));
  std::string code = std::to_string(static_cast<int>(r.Code()));
  std::string expected = code + '\0' + "0" + '\0' + "bad element" + '\0' + "2" + '\0' + "second" +
                         '\0' + "4" + '\0' + "fourth" + '\0' + '\0';
  EXPECT_EQ(std::string(buffer, used), expected);

  Result back = Result::Fail(ErrBusy, "old");
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(back.Code(), r.Code());
  EXPECT_EQ(back.Text(4), r.Text(4));
  EXPECT_EQ(back.SlotText(1), "");
  EXPECT_EQ(back.SlotText(2), "second");
  EXPECT_EQ(back.SlotText(4), "fourth");

  // Success serialises as "0" and two NULs.
  used = Result().Serialize(buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, used), std::string("0\0\0", 3));
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_THAT(back, IsOk());
}

TEST(ResultTest, SerialiseNeverWritesPastTheBuffer) {
  Result r = Result::Fail(ErrBusy, "%s", std::string(100, 't').c_str());
  char buffer[48];
  memset(buffer, 'x', sizeof(buffer));
  size_t used = r.Serialize(buffer, 40);
  EXPECT_LE(used, 40u);
  EXPECT_EQ(buffer[40], 'x');
  Result back;
  EXPECT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(back.Code(), r.Code());
  EXPECT_EQ(back.ErrorText(), r.ErrorText().substr(0, back.ErrorText().size()));
}

TEST(ResultTest, DeserialiseRejectsBrokenBuffers) {
  Result r;
  EXPECT_FALSE(r.Deserialize("0", 2));
  EXPECT_THAT(r, HasCategory(ErrLogicArgs));
  EXPECT_EQ(r.ErrorText(), "Cant create Result object from Buffer");

  Result no_nul;
  EXPECT_FALSE(no_nul.Deserialize("123", 3));
  EXPECT_EQ(no_nul.ErrorText(), "Cant create Result object from Buffer");

  // A slot number without its text, and trailing bytes after the end marker.
  Result half;
  EXPECT_FALSE(half.Deserialize(std::string("5\0"
                                            "0\0",
                                            4)
                                    .c_str(),
                                4));
  Result trailing;
  EXPECT_FALSE(trailing.Deserialize(std::string("5\0\0\0", 4).c_str(), 4));
}

TEST(ResultDeathTest, SerialiseIntoATooSmallBuffer) {
  EXPECT_DEATH(
      {
        RouteFatalToStderr();
        char buffer[15];
        (void)Result().Serialize(buffer, sizeof(buffer));
      },
      "Exp=BufferSize >= 16");
}

TEST(ResultTest, MatchersExplainFailures) {
  Result r = Result::Fail(ErrBusy, "busy");
  ::testing::StringMatchResultListener listener;
  EXPECT_FALSE(::testing::ExplainMatchResult(IsOk(), r, &listener));
  EXPECT_THAT(listener.str(), HasSubstr(r.Text(4)));
  EXPECT_FALSE(::testing::ExplainMatchResult(HasText("idle"), r, &listener));
  EXPECT_FALSE(::testing::ExplainMatchResult(HasCategory(ErrTimeout), r, &listener));
}

}  // namespace
}  // namespace velmora::util
