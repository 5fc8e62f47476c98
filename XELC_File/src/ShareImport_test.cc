// Folder import from a network share: polls claim, answer and delete files over SMB.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "ClaimTestSupport.h"
#include "ImportDriver.h"
#include "NetConnectionsManager.h"
#include "SambaServer.h"
#include "osal/NetShare.h"
#include "xel/Configuration.h"
#include "xel/XmlParser.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::xelc {
namespace {

using util::Ref;
using velmora::testing::SambaServer;
using xel::XmlParser;

using ShareImportTest = velmora::testing::SambaServerTest;

// Four pollers share one connections manager, as the requests of one component do; each
// file is offered exactly once and is gone after its confirmation.
TEST_F(ShareImportTest, ConcurrentPollsClaimEachFileOnceOverTheShare) {
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
      "<poll><general><MaxRequested>1</MaxRequested></general><specific>"
      "<folder><WatchedPath>" +
      watched +
      "</WatchedPath><FileSearchMask>*.dat</FileSearchMask></folder>"
      "</specific></poll>";
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
