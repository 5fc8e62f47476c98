// Tests of CommResult: setters, level rules and texts.
#include "util/CommResult.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::util {
namespace {

// A new record and one of an unknown category read as unknown.
TEST(CommResultTest, StartsEmptyAndUnknown) {
  CommResult c, odd;
  odd.SetErrorCategory(77);
  for (CommResult* p : {&c, &odd}) {
    EXPECT_EQ(p->Text(), "Cat=UNKNOWN, ConnLevel=0, EC=, Diag=");
    EXPECT_EQ(p->CompactText(), "UNKN;0;");
  }
  EXPECT_EQ(c.ErrorCategory(), CommUnknown);
}

TEST(CommResultTest, SetWithTextOrNumberCode) {
  CommResult c;
  c.Set(CommBadContent, 40, "XML", "element %s missing", "Body");
  EXPECT_EQ(c.Text(), "Cat=BAD-CONTENT, ConnLevel=40, EC=XML, Diag=element Body missing");
  EXPECT_EQ(c.CompactText(), "CONTENT;40;XML");

  // A code longer than 15 characters is cut; no format means no diagnostics.
  c.Set(CommProtocol, 10, "ABCDEFGHIJKLMNOPQRST", nullptr);
  EXPECT_STREQ(c.ErrorCode(), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(c.Diagnostics(), "");
  EXPECT_EQ(c.ConnectionLevel(), 10);  // the text form may lower the level

  // The number form never lowers the level; a number of 0 gives no code.
  c.SetCode(CommRemoteBusy, 5, 4711, "retry");
  EXPECT_EQ(c.ConnectionLevel(), 10);
  EXPECT_STREQ(c.ErrorCode(), "4711");
  c.SetCode(CommRemoteBusy, 60, 0, nullptr);
  EXPECT_EQ(c.ConnectionLevel(), 60);
  EXPECT_STREQ(c.ErrorCode(), "");

  std::string longer(600, 'd');
  c.Set(CommInternal, 0, nullptr, "%s", longer.c_str());
  EXPECT_EQ(c.Diagnostics().size(), 511u);
  EXPECT_LE(c.Text().size(), 999u);
}

TEST(CommResultTest, OkRaiseAndTakeOver) {
  CommResult c;
  c.Set(CommExpired, 30, "T", "late");
  c.SetOk();
  EXPECT_EQ(c.Text(), "Cat=OK, ConnLevel=100, EC=, Diag=");
  EXPECT_EQ(c.CompactText(), "OK;100;");

  CommResult r;
  r.RaiseLevel(20);
  r.RaiseLevel(10);
  EXPECT_EQ(r.ConnectionLevel(), 20);

  // The level taken over is capped, but never below what this record had reached.
  CommResult other;
  other.Set(CommNetworkBusy, 90, "N", "net");
  r.TakeOver(other, 50);
  EXPECT_EQ(r.ErrorCategory(), CommNetworkBusy);
  EXPECT_STREQ(r.ErrorCode(), "N");
  EXPECT_EQ(r.Diagnostics(), "net");
  EXPECT_EQ(r.ConnectionLevel(), 50);
  r.RaiseLevel(70);
  other.Set(CommNetworkBusy, 30, "N", nullptr);
  r.TakeOver(other, 50);
  EXPECT_EQ(r.ConnectionLevel(), 70);
}

TEST(CommResultTest, CategoryNames) {
  EXPECT_STREQ(CommResult::CategoryLongName(CommNetworkUnavailable), "NETWORK_UNAVAILABLE");
  EXPECT_STREQ(CommResult::CategoryLongName(CommBadRemotePerf), "BAD-REMOTE-PERF");
  EXPECT_STREQ(CommResult::CategoryLongName(24), "UNKNOWN");
  EXPECT_STREQ(CommResult::CategoryShortName(CommCanceledRemote), "CANC-R");
  EXPECT_STREQ(CommResult::CategoryShortName(-1), "UNKN");
  int32_t value = -1;
  EXPECT_TRUE(CommResult::CategoryFromLongName("SERVER-POWER-FAILURE", &value));
  EXPECT_EQ(value, CommServerPowerFailure);
  EXPECT_FALSE(CommResult::CategoryFromLongName("ok", &value));
}

}  // namespace
}  // namespace velmora::util
