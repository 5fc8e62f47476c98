// Test helper: a fixture with a private Samba server on the loopback address.
#pragma once

#include <gtest/gtest.h>

#include "SambaServerProcess.h"
#include "osal/NetShare.h"

// libsmbclient keeps some talloc memory past smbc_free_context: test programs that connect
// shares put this macro at file scope so that the sanitizer build's leak checker passes them.
#if defined(__SANITIZE_ADDRESS__)
#define XEL_SMBCLIENT_LEAK_SUPPRESSION() \
  extern "C" const char* __lsan_default_suppressions() { return "leak:libtalloc.so\n"; }
#else
#define XEL_SMBCLIENT_LEAK_SUPPRESSION()
#endif

namespace velmora::testing {

// Later share connections of this process use the server's port; tests skip without a server.
class SambaServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = M_Server.Start();
    if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
    osal::SetShareClientPort(M_Server.port());
  }
  void TearDown() override {
    (void)osal::CancelShareConnection(SambaServer::UncRoot(), /*force=*/true);
    M_Server.Stop();
  }
  SambaServer M_Server;
};

}  // namespace velmora::testing
