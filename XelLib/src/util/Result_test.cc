// Tests of Result: texts, combining, class tests, throwing, logging and the flat form.
#include "util/Result.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
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
    if (M_bToStderr) return (void)fprintf(stderr, "%s\n", buffer);
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Lines.push_back(buffer);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(M_Mutex);
    return M_Lines;
  }
  bool M_bToStderr = false;  // in a death test's child, where the expectation reads stderr

 private:
  LogWriter* M_pPrevious;
  std::mutex M_Mutex;
  std::vector<std::string> M_Lines;
};

std::string Code(const Result& r) { return std::to_string(r.Code()); }
Result Warning() { return Result::Make(ErrBusy, 0, 0, SevWarning, nullptr); }

TEST(ResultTest, TextsInEveryMode) {
  // Success says "OK"; an error or a warning without a text has no details to show.
  for (int mode = 0; mode <= 4; ++mode) {
    EXPECT_EQ(Result().Text(mode), "OK") << mode;
    EXPECT_EQ(Result::Fail(ErrTimeout).Text(mode), "ERROR") << mode;
    EXPECT_EQ(Warning().Text(mode), "ERROR") << mode;
  }
  EXPECT_TRUE(Warning().IsSuccess());

  Result r = Result::Connector(ErrObjNotExist, "file %s missing", "a.txt");
  EXPECT_EQ(r.Code(), MakeResultCode(SevError, 21, 60, 0));
  const std::string x = "file a.txt missing";
  const std::string full = "Error " + Code(r) + ": " + x;
  const std::string texts[] = {full + " (Cat=ErrObjNotExist, Obj=XelcFile, Mod=M_Unknown)", Code(r),
                               full, x};
  for (int mode = 0; mode <= 4; ++mode) EXPECT_EQ(r.Text(mode), texts[mode % 4]) << mode;
  EXPECT_EQ(r.ErrorText(), x);
  EXPECT_THAT(r, HasCategory(ErrObjNotExist));
  // Fields without a name show their number rather than nothing.
  EXPECT_THAT(Result::Make(99, 250, 4000, SevError, "odd").Text(4),
              HasSubstr("(Cat=99, Obj=4000, Mod=250)"));
}

TEST(ResultTest, MakeTracesOnlyANonEmptyTextAndTheShortFormNever) {
  EnableTraceId(Result_SetErrorText, true);
  TraceCapture capture;
  Result made = Result::Make(ErrBusy, ModIntellNetwork, ObjConnection, SevError, "busy %i", 3);
  Result connector = Result::Connector(ErrPermission, "denied");
  Result empty = Result::Make(ErrBusy, ModUnknown, ObjUnknown, SevError, "%s", "");
  EXPECT_EQ(Result::Fail(ErrBusy, "quiet").Text(3), "quiet");
  EXPECT_EQ(empty.SlotText(0), "");
  EXPECT_THAT(capture.Lines(), ElementsAre("{18 \"\"} Result set to: " + made.Text(4),
                                           "{18 \"\"} Result set to: " + connector.Text(4)));
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
  EXPECT_EQ(a.ErrorText(), "second 2");
  Result moved = std::move(a);
  EXPECT_EQ(moved.ErrorText(), "second 2");
  EXPECT_THAT(a, IsOk());  // NOLINT(bugprone-use-after-move): a moved-from result is success
}

TEST(ResultTest, KeepWorse) {
  Result first = Result::Fail(ErrBusy, "first");
  first.KeepWorse(Result::Fail(ErrTimeout, "second"));
  EXPECT_EQ(first.ErrorText(), "first");
  Result warning = Warning();
  warning.KeepWorse(Result::Fail(ErrTimeout));
  EXPECT_THAT(warning, HasCategory(ErrTimeout));
  Result error = Result::Fail(ErrTimeout);
  error.KeepWorse(Result()).KeepWorse(Warning());
  EXPECT_THAT(error, HasCategory(ErrTimeout));
  Result ok;
  ok.KeepWorse(Warning());
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

TEST(ResultDeathTest, MisusesAreFatalAssertions) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] {
         (void)Result::Fail(ErrBusy).IsClass(ResultClassRange{5, 5});
       },
       "Exp=VM_RESULT_CLASS_RANGE_GET_FORM\\(Range\\) < VM_RESULT_CLASS_RANGE_GET_TO\\(Range\\)"},
      {[] { Result().ThrowIfError(static_cast<const char*>(nullptr)); },
       "Exp=sz_location_info != 0"},
      {[] {
         char buffer[15];
         (void)Result().Serialize(buffer, sizeof(buffer));
       },
       "Exp=BufferSize >= 16"},
  };
  for (const auto& [misuse, pattern] : cases) {
    EXPECT_DEATH(
        {
          static TraceCapture writer;
          writer.M_bToStderr = true;
          SetLogWriter(LogChannelFatal, &writer);
          misuse();
        },
        pattern);
  }
}

TEST(ResultTest, ThrowIfError) {
  EnableTraceId(General_40, true);
  TraceCapture capture;
  EXPECT_NO_THROW(Result().ThrowIfError());
  EXPECT_NO_THROW(Result().ThrowIfError("here"));
  EXPECT_NO_THROW(Warning().ThrowIfError());
  EXPECT_THAT(capture.Lines(), IsEmpty());

  Result r = Result::Fail(ErrObjNotExist, "gone");
  const std::string before = r.Text();
  try {
    r.ThrowIfError();
    FAIL() << "no throw";
  } catch (const Result& thrown) {
    EXPECT_EQ(thrown.Text(), before);
  }
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

TEST(ResultTest, LogIfError) {
  EnableTraceId(General_60, true);
  EnableTraceId(General_80, false);
  TraceCapture capture;
  Result r = Result::Fail(ErrBusy, "busy");
  r.LogIfError(General_60, "%s:%i", "Driver.cc", 12);
  r.LogIfError(General_80, "disabled");
  Result().LogIfError(General_60, "success");
  r.LogIfError(General_60, "%s", std::string(400, 'L').c_str());
  EXPECT_THAT(
      capture.Lines(),
      ElementsAre("{8 \"WARNING\"} Location=Driver.cc:12; result=" + r.Text(),
                  "{8 \"WARNING\"} Location=" + std::string(255, 'L') + "; result=" + r.Text()));
  EnableTraceId(General_60, false);
}

// The flat form: the code, then slot number and text pairs, each NUL-ended, and a final NUL.
TEST(ResultTest, SerialiseRoundTrips) {
  Result r = Result::Fail(ErrXmlFormat, "bad element");
  r.SetSlotText(2, "second");
  r.SetSlotText(4, "fourth");
  char buffer[256];
  size_t used = r.Serialize(buffer, sizeof(buffer));
  static const char kFlat[] =
      "\0"
      "0\0bad element\0"
      "2\0second\0"
      "4\0fourth\0";
  EXPECT_EQ(std::string(buffer, used), Code(r) + std::string(kFlat, sizeof kFlat));
  Result back = Result::Fail(ErrBusy, "old");
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_EQ(back.Code(), r.Code());
  EXPECT_EQ(back.Text(4), r.Text(4));
  EXPECT_EQ(back.SlotText(1) + "|" + back.SlotText(2) + "|" + back.SlotText(4), "|second|fourth");

  used = Result().Serialize(buffer, sizeof(buffer));
  EXPECT_EQ(std::string(buffer, used), std::string("0\0\0", 3));
  ASSERT_TRUE(back.Deserialize(buffer, used));
  EXPECT_THAT(back, IsOk());

  // The smallest buffer keeps only the code.
  Result connector = Result::Connector(ErrTimeout, "a text that does not fit");
  char small[16];
  used = connector.Serialize(small, sizeof(small));
  EXPECT_EQ(std::string(small, used), Code(connector) + std::string("\0\0", 2));
  ASSERT_TRUE(back.Deserialize(small, used));
  EXPECT_EQ(back.Code(), connector.Code());
  EXPECT_EQ(back.Text(), "ERROR");
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
  // Too short and without a NUL are reported in the result; a slot number without its text
  // and bytes after the end marker are refused.
  const std::pair<std::string, bool> cases[] = {{std::string("0", 2), true},
                                                {"123", true},
                                                {std::string("5\0"
                                                             "0\0",
                                                             4),
                                                 false},
                                                {std::string("5\0\0\0", 4), false}};
  for (const auto& [bad, bReported] : cases) {
    Result r;
    EXPECT_FALSE(r.Deserialize(bad.c_str(), bad.size())) << bad;
    if (!bReported) continue;
    EXPECT_THAT(r, HasCategory(ErrLogicArgs));
    EXPECT_EQ(r.ErrorText(), "Cant create Result object from Buffer");
  }
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
