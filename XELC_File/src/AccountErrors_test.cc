// Tests of what injected account and share codes become, and of the thread a logon runs on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "ClaimTestSupport.h"
#include "CreateFileFunction.h"
#include "FileFunctionsTestSupport.h"
#include "ImportDriver.h"
#include "LogonConnector.h"
#include "NetConnectionsManager.h"
#include "osal/AccountCalls.h"
#include "osal/Thread.h"
#include "xel/Configuration.h"

namespace velmora::xelc {
namespace {

using osal::Status;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScratchFolder;
using xel::XmlParser;

// Account calls that answer with the codes queued per operation (none: success) and log what
// they were asked; nothing reaches the operating system.
class InjectedCalls : public osal::AccountCalls {
 public:
  Status LogonUser(std::string_view user, std::string_view password, std::string_view,
                   osal::LogonToken*) override {
    return Answer("LogonUser " + std::string(user) + " " + std::string(password));
  }
  Status ImpersonateLoggedOnUser(const osal::LogonToken&) override {
    return Answer("ImpersonateLoggedOnUser");
  }
  Status RevertToSelf() override { return Answer("RevertToSelf"); }
  Status ReadSecurity(std::string_view path, osal::SecurityInfo*) override {
    return Answer("ReadSecurity " + std::string(path));
  }
  Status GetEffectiveRights(const osal::SecurityInfo&, std::string_view trustee,
                            uint32_t* pMask) override {
    *pMask = M_Mask;
    return Answer("GetEffectiveRights " + std::string(trustee));
  }
  uint32_t AddShareConnection(std::string_view remote, std::string_view user,
                              std::string_view password) override {
    return Answer("AddShareConnection " + std::string(remote) + " " + std::string(user) + " " +
                  std::string(password))
        .code();
  }
  uint32_t CancelShareConnection(std::string_view remote, bool bForce) override {
    return Answer("CancelShareConnection " + std::string(remote) + (bForce ? " force" : "")).code();
  }

  void Reset() {
    M_Codes.clear();
    M_Mask = 0;
    M_Log.clear();
  }
  std::map<std::string, std::deque<int>> M_Codes;  // by operation, as logged
  uint32_t M_Mask = 0;                             // the rights GetEffectiveRights finds
  std::vector<std::string> M_Log;

 private:
  Status Answer(std::string call) {
    std::deque<int>& codes = M_Codes[call.substr(0, call.find(' '))];
    const int code = codes.empty() ? 0 : codes.front();
    if (!codes.empty()) codes.pop_front();
    M_Log.push_back(std::move(call));
    return code == 0 ? Status::Ok() : Status(osal::ErrorKind::kOther, code);
  }
};

// The lines of category that run traces as information ([0]) and as errors ([1]): a record has
// no id, so run goes once per level (and sets up what it needs itself).
using Traces = std::array<std::vector<std::string>, 2>;
template <typename F>
Traces TraceLevels(const std::string& category, F run) {
  Traces traces;
  for (bool bErrors : {true, false}) {
    testing::TraceRecorder trace({util::General_Error, util::General_60, util::General_80});
    util::EnableTraceId(util::General_Error, bErrors);
    util::EnableTraceId(util::General_60, !bErrors);
    util::EnableTraceId(util::General_80, !bErrors);
    run();
    traces[bErrors] = trace.Lines(category);
  }
  return traces;
}

void ExpectTracedOnce(const Traces& traces, const std::string& line, bool bError) {
  EXPECT_THAT(traces[bError], ::testing::Contains(line).Times(1)) << line;
  EXPECT_THAT(traces[!bError], ::testing::Not(::testing::Contains(line)));
}

// One poll of watched as account with "pw": "OK: " + greeting or "ERROR: " + error text.
std::string PollAnswer(const std::string& watched, const std::string& general,
                       const std::string& account, NetConnectionsManager* pManager) {
  std::string text = velmora::testing::EnvelopeText(
      "<poll><general>" + general + "</general><specific><folder><WatchedPath>" + watched +
      "</WatchedPath><FileSearchMask>*</FileSearchMask></folder></specific></poll>");
  text.insert(text.find("</s:Header>"), "<basic-credentials><userid>" + account +
                                            "</userid><password>pw</password></basic-credentials>");
  util::Ref<XmlParser> request = velmora::testing::XmlDoc(text);
  auto config = xel::Configuration::FromDocument(velmora::testing::XmlDoc("<Folder/>"));
  XmlParser answer;
  {
    ImportDriver driver(pManager);
    driver.Init(config.get());
    // Every other poll has its header read first, as the dispatch of a server function
    // does; the driver then takes the credentials from there.
    static int s_Polls = 0;
    if (s_Polls++ % 2 == 0) {
      util::Ref<XmlParser> credentials;
      EXPECT_TRUE(
          request->ReadHeader(nullptr, nullptr, &credentials, nullptr, nullptr).IsSuccess());
      EXPECT_TRUE(credentials);
      driver.SetRequestHeader(credentials);
    }
    driver.Poll(request.get(), &answer);
  }
  // The paths below start at the body element.
  EXPECT_TRUE(answer.ReadHeader(nullptr, nullptr, nullptr, nullptr, nullptr).IsSuccess());
  const std::string status = velmora::testing::At(answer, "status/Status");
  return status + ": " +
         velmora::testing::At(answer, status == "OK" ? "status/Greeting" : "status/ErrorString");
}

const std::string kSearch = "<MaxRequested>1</MaxRequested>";
const std::string kCheck = "<MaxRequested>0</MaxRequested>";
const std::string kFullCheck = kCheck + "<StatusCheckIntensity>1</StatusCheckIntensity>";

class AccountErrorsTest : public ::testing::Test {
 protected:
  InjectedCalls M_Calls;
  osal::ScopedAccountCalls M_Installed{&M_Calls};
};

// Each row: a poll of a share (the manager's lines) or of a local folder (the connector's).
TEST_F(AccountErrorsTest, AccountAndShareCodesGiveTheTraceLinesAndPollAnswersOfTheTables) {
  ScratchFolder dir;
  ASSERT_TRUE(testing::WriteFile(dir / "a.pdf"));
  const std::string share = "\\\\127.0.0.1\\data\\in", local = dir.path();
  const std::string add = "Net connection to share " + share + " with user u1@d1";
  const std::string cancel = "Net connection to share " + share;
  // A usable connection lets the poll go on to the folder, which no server offers here.
  const std::string unlisted = "ERROR: Watched folder " + share + " failed to list contents";
  const std::string addFailed = "ERROR: " + add + " could not be added, error=1326";
  const std::string ignored = ". Ignoring this error.";
  const std::string logon =
      "Net connection to local folder " + local + " with user@domain u1@d1 failed, ";
  const std::string check = "Permission check on folder " + local + " for user@domain u1@d1";
  const std::string found = "OK: Watched folder " + local + " found. Contains files to import.";
  const std::string kAdd = "AddShareConnection", kCancel = "CancelShareConnection";
  const struct {
    std::string watched, general;  // kFullCheck reconnects: a recorded share is cancelled first
    std::map<std::string, std::deque<int>> codes;
    uint32_t mask;       // the rights found
    std::string line;    // the deciding call's text
    bool bError;         // traced as an error
    std::string answer;  // empty: "ERROR: " + line
    bool bRecorded;      // the share is recorded afterwards
  } cases[] = {
      // clang-format off
      {share, kCheck, {{kAdd, {0}}}, 0, add + " successfully added", false, unlisted, true},
      {share, kCheck, {{kAdd, {85}}}, 0, add + " already exists" + ignored, false, unlisted, false},
      {share, kCheck, {{kAdd, {1219}}}, 0,
       add + " already exists with different credentials" + ignored, true, unlisted, false},
      {share, kSearch, {{kAdd, {1222}}}, 0, add + " could not be added, error=1222", true, "",
       false},
      {share, kFullCheck, {{kCancel, {0}}, {kAdd, {1326}}}, 0, cancel + " successfully cancelled",
       false, addFailed, false},
      {share, kFullCheck, {{kCancel, {2250}}, {kAdd, {1326}}}, 0,
       cancel + " could not be cancelled (not connected)" + ignored, false, addFailed, false},
      {share, kFullCheck, {{kCancel, {1312}}, {kAdd, {1326}}}, 0,
       cancel + " could not be cancelled (no such logon session)" + ignored, false, addFailed,
       false},
      {share, kFullCheck, {{kCancel, {2404}}}, 0,
       cancel + " could not be cancelled (device in use)", true, "", true},
      {share, kFullCheck, {{kCancel, {2401}}}, 0,
       cancel + " could not be cancelled (open files)", true, "", true},
      {share, kFullCheck, {{kCancel, {59}}}, 0, cancel + " could not be cancelled, error=59", true,
       "", true},
      {local, kSearch, {{"LogonUser", {1326}}}, 0, logon + "LogonUser() error=1326", true, "",
       false},
      {local, kSearch, {{"ImpersonateLoggedOnUser", {6}}}, 0,
       logon + "ImpersonateLoggedOnUser() error=6", true, "", false},
      {local, kFullCheck, {{"ReadSecurity", {5}}}, 0,
       "GetNamedSecurityInfoW: on folder " + local + " failed, error=5", true, "", false},
      {local, kFullCheck, {{"GetEffectiveRights", {1332}}}, 0,
       check + " failed, GetEffectiveRightsFromAcl() error=1332", true, "", false},
      {local, kFullCheck, {}, 0xE0000,
       check + ": not ok, effective-mask=917504, required-mask=983040", false, "", false},
      {local, kFullCheck, {}, 0xF0000,
       check + ": ok, effective-mask=983040, required-mask=983040", false, found, false},
      // clang-format on
  };
  for (const auto& c : cases) {
    const bool bShare = c.watched == share;
    std::string answer;
    size_t recorded = 9;
    Traces traces = TraceLevels(bShare ? "NetConnectionsManager" : "File_LogonConnector", [&] {
      M_Calls.Reset();
      NetConnectionsManager manager;
      std::string text;
      if (bShare && c.general == kFullCheck)
        manager.AddConnection(share, "u1@d1", "pw", false, &text);
      M_Calls.M_Codes = c.codes;
      M_Calls.M_Mask = c.mask;
      answer = PollAnswer(c.watched, c.general, "u1@d1", &manager);
      recorded = manager.ConnectedShareCount();
    });
    EXPECT_EQ(answer, c.answer.empty() ? "ERROR: " + c.line : c.answer);
    ExpectTracedOnce(traces, c.line, c.bError);
    EXPECT_EQ(recorded, c.bRecorded ? 1u : 0u) << c.line;
    // A failed cancel ends the call before any add; no cancel is forced.
    if (bShare) {
      EXPECT_EQ(M_Calls.M_Log.back(),
                c.codes.count(kAdd) ? kAdd + " " + share + " u1@d1 pw" : kCancel + " " + share);
    }
  }
  EXPECT_THAT(testing::ListNames(dir.path()), ElementsAre("a.pdf"));
}

TEST_F(AccountErrorsTest, RevertCodesGiveTheTraceLinesAndStatesAndKeepTheStatusText) {
  const std::string revert = "Reverting impersonation of user@domain u1@d1";
  for (int code : {0, 5}) {
    int32_t state = -1;
    std::string text;
    Traces traces = TraceLevels("File_LogonConnector", [&] {
      M_Calls.Reset();
      LogonConnector connector(nullptr);
      connector.SetFolder("D:\\in", false);
      connector.SetCredentials("d1\\u1", "pw");
      ASSERT_EQ(connector.Connect(), LogonConnector::kStateUsable);
      M_Calls.M_Codes["RevertToSelf"] = {code};  // the destructor's second attempt succeeds
      state = connector.Disconnect();
      text = connector.GetStatusText();
    });
    ExpectTracedOnce(
        traces, revert + (code == 0 ? " successfull" : " failed, error=" + std::to_string(code)),
        code != 0);
    EXPECT_EQ(state, code == 0 ? 0 : 1);
    EXPECT_EQ(text, "Net connection to local folder D:\\in with user@domain u1@d1 successfull");
  }
}

// The logon name, and the trustee while not impersonating; impersonating, the thread's own.
TEST_F(AccountErrorsTest, AccountFormsReachTheLayerAsLogonAndTrusteeNames) {
  const struct {
    const char *account, *logon, *trustee;
  } cases[] = {{"u1@d1", "u1@d1", "d1\\u1"},    {"d1\\u1", "u1@d1", "d1\\u1"},
               {"a@b\\c", "a@b\\c", "b\\c\\a"}, {"u1", "u1", "u1"},
               {".\\u1", "u1", ".\\u1"},        {"", nullptr, "CURRENT_USER"}};
  for (const auto& c : cases) {
    M_Calls.Reset();
    LogonConnector connector(nullptr);
    connector.SetFolder("D:\\in", false);
    if (c.logon != nullptr) connector.SetCredentials(c.account, "pw");
    connector.CheckFolderPermission();
    connector.Connect();
    connector.CheckFolderPermission();
    std::vector<std::string> expected = {"ReadSecurity D:\\in",
                                         std::string("GetEffectiveRights ") + c.trustee};
    if (c.logon != nullptr) {
      expected.insert(expected.end(),
                      {std::string("LogonUser ") + c.logon + " pw", "ImpersonateLoggedOnUser"});
    }
    expected.insert(expected.end(), {"ReadSecurity D:\\in", "GetEffectiveRights CURRENT_USER"});
    EXPECT_EQ(M_Calls.M_Log, expected) << c.account;
  }
}

// "Out" writing as user with "pw" below directory ("/" or "\\" ended), file "name.xml".
util::Result CreateAs(const std::string& directory, const std::string& user,
                      const std::string& name, NetConnectionsManager* pManager) {
  auto config =
      testing::ConfigFromXml("<Out><Directory>" + directory + "</Directory><Credentials><User>" +
                             user + "</User><Password>pw</Password></Credentials></Out>");
  auto request = testing::MakeRequest("CreateFile", {{"FileName", name}});
  return testing::Call([&] { return ExecuteCreateFile(*config, pManager, *request); });
}

TEST_F(AccountErrorsTest, CreateFileFailsWithTheLogonText) {
  ScratchFolder dir;
  const std::string share = "\\\\127.0.0.1\\data";
  const std::string cases[][3] = {
      {share + "\\out\\", "AddShareConnection",
       "(Net connection to share " + share + " with user u1@d1 could not be added, error=1326)"},
      {dir.path() + "/", "LogonUser",
       "(Net connection to local folder " + dir.path() +
           "/a.xml with user@domain u1@d1 failed, LogonUser() error=1326)"}};
  for (const auto& [directory, call, error] : cases) {
    M_Calls.Reset();
    M_Calls.M_Codes[call] = {1326};
    NetConnectionsManager manager;
    EXPECT_EQ(CreateAs(directory, "u1@d1", "a", &manager).ErrorText(),
              "Failed to login user u1@d1 " + error);
  }
  EXPECT_THAT(testing::ListNames(dir.path()), IsEmpty());
}

// The real calls, but the logon gives the process's own account (no known password is at hand
// everywhere); records each call's code and thread, and who impersonates right after it began.
class ThreadRecordingCalls : public osal::AccountCalls {
 public:
  Status LogonUser(std::string_view, std::string_view, std::string_view,
                   osal::LogonToken* pToken) override {
    return Note("LogonUser", osal::LogonProcessAccount(pToken));
  }
  Status ImpersonateLoggedOnUser(const osal::LogonToken& token) override {
    Status status = Note("ImpersonateLoggedOnUser", AccountCalls::ImpersonateLoggedOnUser(token));
    EXPECT_TRUE(!status.ok() ||
                (osal::IsImpersonating() && osal::ListImpersonatingThreads(&M_During).ok()));
    return status;
  }
  Status RevertToSelf() override { return Note("RevertToSelf", AccountCalls::RevertToSelf()); }

  std::vector<std::string> M_Calls;  // "name code"
  std::vector<uint32_t> M_Threads, M_During;

 private:
  Status Note(const char* name, Status status) {
    M_Calls.push_back(std::string(name) + " " + std::to_string(status.code()));
    M_Threads.push_back(osal::CurrentThreadId());
    return status;
  }
};

TEST(AccountRequestThreadTest, LogonImpersonationAndRevertRunOnTheRequestThreadOnly) {
  ScratchFolder dir;
  ASSERT_TRUE(testing::WriteFile(dir / "a.pdf"));
  std::vector<uint32_t> before;
  ASSERT_TRUE(osal::ListImpersonatingThreads(&before).ok() && before.empty());
  std::string refused;  // why impersonating failed, if it did
  // Each request served on a thread of its own, as the runtime serves requests.
  for (const std::string request : {"poll", "CreateFile"}) {
    SCOPED_TRACE(request);
    ThreadRecordingCalls calls;
    osal::ScopedAccountCalls installed(&calls);
    uint32_t requestThread = 0;
    std::string outcome;
    std::vector<uint32_t> after;  // seen by the request thread once its request is done
    std::thread([&] {
      requestThread = osal::CurrentThreadId();
      if (request == "poll") {
        NetConnectionsManager manager;
        outcome = PollAnswer(dir.path(), kSearch, "someone@somewhere", &manager);
      } else {
        util::Result r = CreateAs(dir.path() + "/", "someone", "b", nullptr);
        outcome = r.IsError() ? r.ErrorText() : "written";
      }
      EXPECT_TRUE(osal::ListImpersonatingThreads(&after).ok());
    }).join();
    EXPECT_NE(requestThread, osal::CurrentThreadId());
    EXPECT_THAT(after, IsEmpty());
    EXPECT_THAT(calls.M_Threads, Each(requestThread));
    ASSERT_GE(calls.M_Calls.size(), 2u) << outcome;
    if (calls.M_Calls[1] != "ImpersonateLoggedOnUser 0") {
      refused = calls.M_Calls[1] + ": the process's own account cannot be impersonated here";
      continue;
    }
    EXPECT_THAT(calls.M_Calls,
                ElementsAre("LogonUser 0", "ImpersonateLoggedOnUser 0", "RevertToSelf 0"));
    EXPECT_THAT(calls.M_During, Each(requestThread));  // no other thread had an identity
    EXPECT_EQ(outcome, request == "poll" ? "OK: " : "written");
  }
  if (!refused.empty()) GTEST_SKIP() << refused;
  EXPECT_THAT(testing::ListNames(dir.path()), ::testing::Contains("b.xml"));
}

}  // namespace
}  // namespace velmora::xelc
