// Tests of NetConnectionsManager: result codes, texts, traces and the recorded set.
#include "NetConnectionsManager.h"

#include <gtest/gtest.h>

#include <string>

#include "FileFunctionsTestSupport.h"
#include "SambaServer.h"
#include "osal/File.h"
#include "osal/NetShare.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::xelc {
namespace {

using velmora::testing::SambaServer;

// A record does not carry its id: a line's level is checked by tracing information no more.
struct TraceCapture : testing::TraceRecorder {
  TraceCapture() : TraceRecorder({util::General_Error, util::General_80}) {}
  void ErrorsOnly() {
    util::EnableTraceId(util::General_80, false);
    Clear();
  }
};

TEST(NetConnectionsManagerTest, WithoutServer) {
  TraceCapture trace;
  NetConnectionsManager manager;
  // No output text: nothing is done.
  EXPECT_EQ(manager.AddConnection("\\\\127.0.0.1\\none", "u", "p", true, nullptr), 0);
  EXPECT_EQ(manager.CancelConnection("\\\\127.0.0.1\\none", nullptr), 0);

  // The levels of the lines are checked with injected codes; here the real layer's codes.
  std::string text;
  EXPECT_EQ(manager.CancelConnection("\\\\127.0.0.1\\none", &text), 2);
  EXPECT_EQ(text,
            "Net connection to share \\\\127.0.0.1\\none could not be cancelled (not connected). "
            "Ignoring this error.");
  EXPECT_EQ(trace.Count(text), 1);

  // Reconnect of a share that is not connected goes on to the add.
  EXPECT_EQ(manager.AddConnection("\\\\srv", "u@d", "p", true, &text), 1);
  EXPECT_EQ(text, "Net connection to share \\\\srv with user u@d could not be added, error=67");
  EXPECT_EQ(trace.Count(text), 1);
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);
}

using NetConnectionsManagerServerTest = velmora::testing::SambaServerTest;

TEST_F(NetConnectionsManagerServerTest, AddsRecordsAndCancels) {
  TraceCapture trace;
  NetConnectionsManager manager;
  const std::string root = SambaServer::UncRoot();
  const std::string user = SambaServer::kUser;
  const std::string prefix = "Net connection to share " + root;
  std::string text;

  EXPECT_EQ(manager.AddConnection(root, user, "wrong", false, &text), 1);
  EXPECT_EQ(text, prefix + " with user " + user + " could not be added, error=1326");
  EXPECT_EQ(trace.Count(text), 1);
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);

  // Two adds of the same share: recorded once; the second finds it present.
  EXPECT_EQ(manager.AddConnection(root, user, SambaServer::kPassword, false, &text), 2);
  EXPECT_EQ(text, prefix + " with user " + user + " successfully added");
  EXPECT_EQ(trace.Count(text), 1);
  EXPECT_EQ(manager.AddConnection(root, user, SambaServer::kPassword, false, &text), 2);
  EXPECT_EQ(text, prefix + " with user " + user + " already exists. Ignoring this error.");
  EXPECT_EQ(trace.Count(text), 1);
  EXPECT_EQ(manager.ConnectedShares(), std::set<std::string>{root});

  // Other credentials: usable, traced as an error, not recorded. Errors only from here on.
  trace.ErrorsOnly();
  EXPECT_EQ(manager.AddConnection(root, user, SambaServer::kPassword, false, &text), 2);
  EXPECT_EQ(trace.Count(text), 0);
  const std::string sub = root + "\\in";
  ASSERT_TRUE(osal::CreateFolder(sub).ok());
  EXPECT_EQ(manager.AddConnection(sub, "other", "pw", false, &text), 2);
  EXPECT_EQ(text, "Net connection to share " + sub +
                      " with user other already exists with different credentials. Ignoring "
                      "this error.");
  EXPECT_EQ(trace.Count(text), 1);
  EXPECT_EQ(manager.ConnectedShareCount(), 1u);

  // Reconnect while a file is open: the cancel fails and no add is tried.
  {
    osal::File file;
    ASSERT_TRUE(file.Open(sub + "\\a.txt", osal::OpenOptions{osal::kAccessWrite, osal::kShareRead,
                                                             osal::Disposition::kCreateNew})
                    .ok());
    EXPECT_EQ(manager.AddConnection(root, user, SambaServer::kPassword, true, &text), 1);
    EXPECT_EQ(text, prefix + " could not be cancelled (open files)");
    EXPECT_EQ(trace.Count(text), 1);
    EXPECT_EQ(manager.ConnectedShareCount(), 1u);
  }
  // Once closed, reconnecting cancels and adds again.
  util::EnableTraceId(util::General_80, true);
  EXPECT_EQ(manager.AddConnection(root, user, SambaServer::kPassword, true, &text), 2);
  EXPECT_EQ(text, prefix + " with user " + user + " successfully added");
  EXPECT_EQ(trace.Count(prefix + " successfully cancelled"), 1);
  EXPECT_EQ(manager.ConnectedShares(), std::set<std::string>{root});

  EXPECT_EQ(manager.CancelConnection(root, &text), 2);
  EXPECT_EQ(text, prefix + " successfully cancelled");
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);
  EXPECT_FALSE(osal::IsShareConnected(root));
}

TEST_F(NetConnectionsManagerServerTest, CancelAllTriesEveryShareAndEmptiesTheSet) {
  TraceCapture trace;
  NetConnectionsManager manager;
  const std::string root = SambaServer::UncRoot();
  std::string text;
  ASSERT_EQ(manager.AddConnection(root, SambaServer::kUser, SambaServer::kPassword, false, &text),
            2);
  // A second recorded name whose connection somebody else has dropped meanwhile.
  const std::string upper = "\\\\127.0.0.1\\XELTEST";
  ASSERT_EQ(osal::CancelShareConnection(root), osal::kNetOk);
  ASSERT_EQ(manager.AddConnection(upper, SambaServer::kUser, SambaServer::kPassword, false, &text),
            2);
  ASSERT_EQ(manager.ConnectedShareCount(), 2u);

  manager.CancelAllConnections();
  EXPECT_EQ(trace.Count("Cancelling all network connections"), 1);
  // Set order is byte-wise: "\\127.0.0.1\XELTEST" comes before "\\127.0.0.1\xeltest".
  EXPECT_EQ(trace.Count("Net connection to share " + upper + " successfully cancelled"), 1);
  EXPECT_EQ(trace.Count("Net connection to share " + root + " could not be cancelled, error=2250"),
            1);
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);
  EXPECT_FALSE(osal::IsShareConnected(root));
}

}  // namespace
}  // namespace velmora::xelc
