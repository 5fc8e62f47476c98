// A throw-away local user account and PAM service for logon tests, and a per-thread identity probe.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

// Runs a shell command quietly; true when it exited with 0. Retried: the account tools refuse
// while another test process holds their lock on the account files.
inline bool RunQuietly(const std::string& command, int attempts = 20) {
  for (int i = 0; i < attempts; ++i) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// A local user with a password, removed with its home on destruction. Creating needs root;
// Reason() says why an account is missing.
class TestAccount {
 public:
  explicit TestAccount(const std::string& password) {
    static std::atomic<int> s_Counter{0};
    M_Name = "xlt" + std::to_string(getpid()) + "_" + std::to_string(s_Counter++);
    if (geteuid() != 0) {
      M_Reason = "creating a test account needs root";
      return;
    }
    if (access("/usr/sbin/useradd", X_OK) != 0 || access("/usr/sbin/chpasswd", X_OK) != 0) {
      M_Reason = "useradd/chpasswd are not installed";
    } else if (!(M_bCreated = RunQuietly("/usr/sbin/useradd -m -s /bin/sh " + M_Name))) {
      M_Reason = "useradd " + M_Name + " failed";
    } else {
      RemoveStaleAccounts();
      if (!RunQuietly("echo '" + M_Name + ":" + password + "' | /usr/sbin/chpasswd")) {
        M_Reason = "chpasswd for " + M_Name + " failed";
      }
    }
  }
  ~TestAccount() {
    if (M_bCreated) RunQuietly("/usr/sbin/userdel -r -f " + M_Name);
  }
  TestAccount(const TestAccount&) = delete;
  TestAccount& operator=(const TestAccount&) = delete;

  bool ok() const { return M_bCreated && M_Reason.empty(); }
  const std::string& Reason() const { return M_Reason; }
  const std::string& Name() const { return M_Name; }

 private:
  // Removes the accounts and PAM services of test processes that no longer exist.
  static void RemoveStaleAccounts() {
    std::ifstream passwd("/etc/passwd");
    std::string line;
    std::vector<std::string> stale;
    while (std::getline(passwd, line)) {
      const size_t underscore = line.find('_');
      if (line.rfind("xlt", 0) != 0 || underscore == std::string::npos) continue;
      const std::string pid = line.substr(3, underscore - 3);
      if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (access(("/proc/" + pid).c_str(), F_OK) != 0)
        stale.push_back(line.substr(0, line.find(':')));
    }
    for (const std::string& name : stale) {
      RunQuietly("/usr/sbin/userdel -r -f " + name, 2);
      std::remove(("/etc/pam.d/xeltest-" + name.substr(3, name.find('_') - 3)).c_str());
    }
  }

  std::string M_Name;
  std::string M_Reason;
  bool M_bCreated = false;
};

// A PAM service of pam_unix only, without the delay after a failure (wrong-password tests stay
// fast). Removed on destruction.
class TestPamService {
 public:
  TestPamService() : M_Name("xeltest-" + std::to_string(getpid())) {
    bool bModule = false;
    for (const char* dir :
         {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib", "/usr/lib"}) {
      bModule = bModule || access((std::string(dir) + "/security/pam_unix.so").c_str(), R_OK) == 0;
    }
    if (!bModule) {
      M_Reason = "the PAM module pam_unix.so is not installed";
    } else if (!(std::ofstream(Path()) << "auth required pam_unix.so nodelay\n"
                                          "account required pam_unix.so\n")) {
      M_Reason = "cannot write " + Path();
    }
  }
  ~TestPamService() {
    if (ok()) std::remove(Path().c_str());
  }
  TestPamService(const TestPamService&) = delete;
  TestPamService& operator=(const TestPamService&) = delete;

  bool ok() const { return M_Reason.empty(); }
  const std::string& Reason() const { return M_Reason; }
  const std::string& Name() const { return M_Name; }

 private:
  std::string Path() const { return "/etc/pam.d/" + M_Name; }

  std::string M_Name;
  std::string M_Reason;
};

// True when every thread of pid (0: this process) runs with uid as its real, effective, saved
// and file-system user id.
inline bool AllThreadsRunAs(uid_t uid, pid_t pid = 0) {
  const std::string tasks =
      (pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid)) + "/task/";
  const std::string id = std::to_string(uid);
  DIR* pDir = opendir(tasks.c_str());
  bool bAll = pDir != nullptr;
  while (dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
    if (pEntry->d_name[0] == '.') continue;
    std::ifstream status(tasks + pEntry->d_name + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("Uid:", 0) != 0) continue;
    if (line.rfind("Uid:", 0) == 0)
      bAll = bAll && line == "Uid:\t" + id + "\t" + id + "\t" + id + "\t" + id;
  }
  if (pDir) closedir(pDir);
  return bAll;
}

// The owner of a file, or -1 when it cannot be read.
inline long FileOwner(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_uid) : -1;
}

// A second thread that keeps looking at its own effective user id while a test switches the
// identity of its own thread.
class OtherThreadIdentity {
 public:
  OtherThreadIdentity() : M_Uid(geteuid()), M_Thread([this] { Run(); }) {}
  ~OtherThreadIdentity() { Stop(); }
  OtherThreadIdentity(const OtherThreadIdentity&) = delete;
  OtherThreadIdentity& operator=(const OtherThreadIdentity&) = delete;

  // Returns once the thread has looked a few more times.
  void LookAgain() {
    const int before = M_Rounds;
    while (M_Rounds < before + 10) std::this_thread::yield();
  }
  // Stops the thread; true when it ever saw another effective user id than at the start.
  bool Stop() {
    M_bStop = true;
    if (M_Thread.joinable()) M_Thread.join();
    return M_bChanged;
  }

 private:
  void Run() {
    while (!M_bStop) {
      if (geteuid() != M_Uid) M_bChanged = true;
      ++M_Rounds;
      std::this_thread::yield();
    }
  }

  const uid_t M_Uid;
  std::atomic<bool> M_bStop{false};
  std::atomic<bool> M_bChanged{false};
  std::atomic<int> M_Rounds{0};
  std::thread M_Thread;
};

}  // namespace velmora::testing
