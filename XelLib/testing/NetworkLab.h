// Test helper: machines with network stacks of their own (Linux network namespaces on a bridge).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

// Machine i is a network namespace with 10.99.0.(i+1)/24 on its "eth0", all on one bridge in a
// namespace of its own, so that labs of test programs that run at once never meet. What a
// thread in machine i starts (RunIn) stays there; the file system is shared. Stop kills what is
// left and removes the lab; the next Start removes labs whose test program is gone.
class NetworkLab {
 public:
  NetworkLab() = default;
  ~NetworkLab() { Stop(); }
  NetworkLab(const NetworkLab&) = delete;
  NetworkLab& operator=(const NetworkLab&) = delete;

  // Empty on success, else why the lab cannot be had (it needs root and iproute2).
  std::string Start(int machines) {
    if (::geteuid() != 0) return "needs root (CAP_NET_ADMIN) to make network namespaces";
    if (::access(kIp, X_OK) != 0) return std::string(kIp) + " missing: install iproute2";
    RemoveStaleLabs();
    M_Prefix = "xellab" + std::to_string(::getpid()) + "-" + std::to_string(NextLabNumber());
    const std::string hub = M_Prefix + "-hub";
    if (!Ip("netns add " + hub)) {
      return "cannot make a network namespace (ip netns add): no CAP_NET_ADMIN here?";
    }
    M_Namespaces.push_back(hub);
    if (!Ip("-n " + hub + " link add br0 type bridge") || !Ip("-n " + hub + " link set br0 up")) {
      return "cannot make a bridge in a network namespace";
    }
    for (int i = 0; i < machines; ++i) {
      const std::string ns = M_Prefix + "-m" + std::to_string(i);
      const std::string port = "p" + std::to_string(i);
      if (!Ip("netns add " + ns)) return "ip netns add " + ns + " failed";
      M_Namespaces.push_back(ns);
      if (!Ip("link add eth0 netns " + ns + " type veth peer name " + port + " netns " + hub) ||
          !Ip("-n " + hub + " link set " + port + " master br0") ||
          !Ip("-n " + hub + " link set " + port + " up") ||
          !Ip("-n " + ns + " addr add " + Address(i) + "/24 dev eth0") ||
          !Ip("-n " + ns + " link set eth0 up") || !Ip("-n " + ns + " link set lo up")) {
        return "cannot connect " + ns + " to the lab's bridge";
      }
    }
    return "";
  }

  // Kills what runs in the machines and removes the lab; false when a namespace is left.
  bool Stop() {
    for (const std::string& ns : M_Namespaces) KillAllIn(ns);
    bool removed = true;
    for (auto it = M_Namespaces.rbegin(); it != M_Namespaces.rend(); ++it) {
      Ip("netns del " + *it);
      removed = removed && ::access(("/var/run/netns/" + *it).c_str(), F_OK) != 0;
    }
    M_Namespaces.clear();
    return removed;
  }

  static std::string Address(int i) { return "10.99.0." + std::to_string(i + 1); }
  std::string Namespace(int i) const { return M_Prefix + "-m" + std::to_string(i); }

  // Runs fn on a new thread inside machine i and waits for it; false when it could not enter.
  bool RunIn(int i, const std::function<void()>& fn) const {
    bool entered = false;
    std::thread thread([&] {
      const int fd = ::open(("/var/run/netns/" + Namespace(i)).c_str(), O_RDONLY | O_CLOEXEC);
      // A network namespace is a property of the thread: the test's other threads stay put.
      entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
      if (fd >= 0) ::close(fd);
      if (entered) fn();
    });
    thread.join();
    return entered;
  }

 private:
  static constexpr const char* kIp = "/usr/sbin/ip";

  static bool Ip(const std::string& args) {
    return std::system((std::string(kIp) + " " + args + " >/dev/null 2>&1").c_str()) == 0;
  }

  static int NextLabNumber() {
    static int s_Number = 0;
    return s_Number++;
  }

  static std::vector<pid_t> Pids(const std::string& ns) {
    std::vector<pid_t> pids;
    FILE* pipe = ::popen((std::string(kIp) + " netns pids " + ns + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return pids;
    long pid = 0;
    while (std::fscanf(pipe, "%ld", &pid) == 1) pids.push_back(static_cast<pid_t>(pid));
    ::pclose(pipe);
    return pids;
  }

  // SIGTERM, then SIGKILL after 2 s.
  static void KillAllIn(const std::string& ns) {
    for (pid_t pid : Pids(ns)) ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!Pids(ns).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (pid_t pid : Pids(ns)) ::kill(pid, SIGKILL);
  }

  // Labs whose test program is gone: "xellab<pid>-...".
  static void RemoveStaleLabs() {
    DIR* dir = ::opendir("/var/run/netns");
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind("xellab", 0) != 0) continue;
      const std::string pid = name.substr(6, name.find('-') - 6);
      if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (::access(("/proc/" + pid).c_str(), F_OK) != 0) stale.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& ns : stale) KillAllIn(ns);
    for (const std::string& ns : stale) Ip("netns del " + ns);
  }

  std::string M_Prefix;
  std::vector<std::string> M_Namespaces;  // the hub first, then the machines
};

}  // namespace velmora::testing
