// Test helper: a fixture with a private Samba server on the loopback address
// (SambaServerProcess.h).
#pragma once

#include <gtest/gtest.h>

#include "SambaServerProcess.h"
#include "osal/NetShare.h"

// libsmbclient keeps about a hundred bytes of talloc memory per client context past
// smbc_free_context. Test programs that connect shares put this macro once at file scope so
// that the leak checker of the sanitizer build does not fail them for the library's leak.
#if defined(__SANITIZE_ADDRESS__)
#define XEL_SMBCLIENT_LEAK_SUPPRESSION() \
  extern "C" const char* __lsan_default_suppressions() { return "leak:libtalloc.so\n"; }
#else
#define XEL_SMBCLIENT_LEAK_SUPPRESSION()
#endif

namespace velmora::testing {

// A fixture with a running server: later share connections of this process use its port,
// and the share is dropped again after the test. Tests skip when the server cannot be had.
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
