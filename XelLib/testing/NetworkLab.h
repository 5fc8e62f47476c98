// Test helper: machines with network stacks of their own (Linux network namespaces on a bridge).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SambaServerProcess.h"

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

  // SIGTERM, then SIGKILL to what is left after 2 s.
  static void KillAllIn(const std::string& ns) {
    const std::string pids = std::string(kIp) + " netns pids " + ns + " 2>/dev/null";
    (void)!std::system(("for s in TERM KILL; do " + pids + " | xargs -r kill -s $s; for i in " +
                        "$(seq 100); do [ -z \"$(" + pids +
                        ")\" ] && break; sleep 0.02; done; done")
                           .c_str());
  }

  // Labs whose test program is gone: "xellab<pid>-...".
  static void RemoveStaleLabs() {
    DIR* dir = ::opendir("/var/run/netns");
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
      const std::string name = entry->d_name;
      const std::string pid =
          name.rfind("xellab", 0) == 0 ? name.substr(6, name.find('-') - 6) : "";
      if (pid.empty() || pid.find_first_not_of("0123456789") != pid.npos ||
          ::access(("/proc/" + pid).c_str(), F_OK) == 0) {
        continue;
      }
      KillAllIn(name);
      Ip("netns del " + name);
    }
    if (dir) ::closedir(dir);
  }

  std::string M_Prefix;
  std::vector<std::string> M_Namespaces;  // the hub first, then the machines
};

// Starts a lab of `machines` machines and a Samba server in the first one: empty, or why not.
inline std::string StartLabWithServer(NetworkLab& lab, SambaServer& server, int machines) {
  std::string why = lab.Start(machines);
  if (!why.empty()) return "no network lab: " + why;
  lab.RunIn(0, [&] { why = server.Start(NetworkLab::Address(0)); });
  return why.empty() ? why : "Samba server not available: " + why;
}

}  // namespace velmora::testing
