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
  // The real layer's codes; a reconnect of a share that is not connected goes on to the add.
  std::string text;
  EXPECT_EQ(manager.CancelConnection("\\\\127.0.0.1\\none", &text), 2);
  EXPECT_EQ(trace.Count("Net connection to share \\\\127.0.0.1\\none could not be cancelled "
                        "(not connected). Ignoring this error."),
            1);
  EXPECT_EQ(manager.AddConnection("\\\\srv", "u@d", "p", true, &text), 1);
  EXPECT_EQ(text, "Net connection to share \\\\srv with user u@d could not be added, error=67");
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);
}

using NetConnectionsManagerServerTest = velmora::testing::SambaServerTest;

TEST_F(NetConnectionsManagerServerTest, AddsRecordsAndCancels) {
  TraceCapture trace;
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
  trace.ErrorsOnly();
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

}  // namespace
}  // namespace velmora::xelc
