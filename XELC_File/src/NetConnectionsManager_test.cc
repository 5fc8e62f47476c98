// Tests of NetConnectionsManager (result codes, texts, traces, the recorded set) and of folder
// import from a network share: polls claim, answer and delete files over SMB.
#include "NetConnectionsManager.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "ClaimTestSupport.h"
#include "FileFunctionsTestSupport.h"
#include "ImportDriver.h"
#include "SambaServer.h"
#include "osal/File.h"
#include "osal/NetShare.h"
#include "xel/Configuration.h"
#include "xel/XmlParser.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::xelc {
namespace {

using util::Ref;
using velmora::testing::SambaServer;
using xel::XmlParser;

using NetConnectionsManagerServerTest = velmora::testing::SambaServerTest;

TEST_F(NetConnectionsManagerServerTest, AddsRecordsAndCancels) {
  testing::TraceRecorder trace({util::General_Error, util::General_80});
  NetConnectionsManager manager;
  const std::string root = SambaServer::UncRoot(), user = SambaServer::kUser,
                    pw = SambaServer::kPassword, sub = root + "\\in";
  const std::string prefix = "Net connection to share " + root;
  std::string text;
  // The call's code and output text; the text is traced once (traced lines are counted).
  auto expect = [&](int32_t code, int32_t want, const std::string& line, int traced = 1) {
    EXPECT_EQ(code, want) << line;
    EXPECT_EQ(text, line);
    EXPECT_EQ(trace.Count(line), traced) << line;
  };
  expect(manager.AddConnection(root, user, "wrong", false, &text), 1,
         prefix + " with user " + user + " could not be added, error=1326");
  // Two adds of the same share: recorded once; the second finds it present.
  expect(manager.AddConnection(root, user, pw, false, &text), 2,
         prefix + " with user " + user + " successfully added");
  expect(manager.AddConnection(root, user, pw, false, &text), 2,
         prefix + " with user " + user + " already exists. Ignoring this error.");
  EXPECT_EQ(manager.ConnectedShares(), std::set<std::string>{root});
  // Other credentials: usable, traced as an error, not recorded. Errors only from here on.
  // A record does not carry its id: a line's level shows by tracing information no more.
  util::EnableTraceId(util::General_80, false);
  trace.Clear();
  expect(manager.AddConnection(root, user, pw, false, &text), 2,
         prefix + " with user " + user + " already exists. Ignoring this error.", 0);
  ASSERT_TRUE(osal::CreateFolder(sub).ok());
  expect(manager.AddConnection(sub, "other", "pw", false, &text), 2,
         "Net connection to share " + sub +
             " with user other already exists with different credentials. Ignoring this error.");
  {
    // Reconnect while a file is open: the cancel fails and no add is tried.
    osal::File file;
    ASSERT_TRUE(file.Open(sub + "\\a.txt", osal::OpenOptions{osal::kAccessWrite, osal::kShareRead,
                                                             osal::Disposition::kCreateNew})
                    .ok());
    expect(manager.AddConnection(root, user, pw, true, &text), 1,
           prefix + " could not be cancelled (open files)");
    EXPECT_EQ(manager.ConnectedShareCount(), 1u);
  }
  util::EnableTraceId(util::General_80, true);
  expect(manager.AddConnection(root, user, pw, true, &text), 2,
         prefix + " with user " + user + " successfully added");
  EXPECT_EQ(trace.Count(prefix + " successfully cancelled"), 1);
  EXPECT_EQ(manager.ConnectedShares(), std::set<std::string>{root});
  expect(manager.CancelConnection(root, &text), 2, prefix + " successfully cancelled", 2);
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);
  EXPECT_FALSE(osal::IsShareConnected(root));
}

// Four pollers share one connections manager, as the requests of one component do; each
// file is offered exactly once and is gone after its confirmation.
TEST_F(NetConnectionsManagerServerTest, ConcurrentPollsClaimEachFileOnceOverTheShare) {
  constexpr int kFiles = 12;
  const std::string local = M_Server.SharePath() + "/in", watched = SambaServer::UncRoot() + "\\in";
  std::filesystem::create_directories(local);
  std::filesystem::permissions(local, std::filesystem::perms::all);
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(testing::WriteFile(local + "/f" + std::to_string(i) + ".dat", "content", 100 - i));
  }
  NetConnectionsManager manager;
  std::string text;
  ASSERT_EQ(
      manager.AddConnection(watched, SambaServer::kUser, SambaServer::kPassword, false, &text), 2)
      << text;
  Ref<xel::Configuration> config = xel::Configuration::FromDocument(
      velmora::testing::XmlDoc("<Folder><StructuredTypes>.xml</StructuredTypes></Folder>"));
  using velmora::testing::Request;
  const std::string poll =
      "<poll><general><MaxRequested>1</MaxRequested></general><specific>" +
      ("<folder><WatchedPath>" + watched) +
      "</WatchedPath><FileSearchMask>*.dat</FileSearchMask></folder></specific></poll>";
  const std::string confirm = "<confirm><general><Status>OK</Status></general></confirm>";
  std::mutex mutex;
  std::map<std::string, int> offered;  // file name of the answer's part: how often
  std::vector<std::thread> pollers;
  for (int p = 0; p < 4; ++p) {
    pollers.emplace_back([&] {
      for (int round = 0; round < 2 * kFiles; ++round) {
        ImportDriver driver(&manager);
        XmlParser answer, confirmAnswer;
        if (!driver.Init(config.get())) return;
        driver.Poll(Request(poll).get(), &answer);
        if (driver.GetPollState() != ImportDriver::kStateClaimed) return;
        velmora::testing::Kind(answer);
        std::unique_lock<std::mutex> lock(mutex);
        ++offered[velmora::testing::At(
            answer,
            "message/body/message/content/part[1]/mime-header/content-disposition/@filename")];
        lock.unlock();
        driver.Confirm(Request(confirm).get(), &confirmAnswer);
      }
    });
  }
  for (std::thread& t : pollers) t.join();
  ASSERT_EQ(offered.size(), static_cast<size_t>(kFiles));
  for (const auto& [name, count] : offered) EXPECT_EQ(count, 1) << name;
  EXPECT_TRUE(testing::ListNames(local).empty());
  manager.CancelAllConnections();
  EXPECT_FALSE(osal::IsShareConnected(watched));
}

}  // namespace
}  // namespace velmora::xelc
