// Test and benchmark helper: a private Samba server with one share and one account, on the
// loopback address or on a machine of a NetworkLab.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace velmora::testing {

// smbd as a child with every state file in a temporary folder, serving kShare to the Unix
// account kUser (created once and kept: smbd maps share users to Unix ones). Start() listens on
// a free loopback port, Start(address) on port 445 of a NetworkLab machine (call it inside
// NetworkLab::RunIn); it returns why the server cannot be had, or "".
class SambaServer {
 public:
  static constexpr const char* kUser = "xelsmbtest";
  static constexpr const char* kPassword = "Xel-Secret-1";
  static constexpr const char* kShare = "xeltest";

  SambaServer() = default;
  ~SambaServer() { Stop(); }
  SambaServer(const SambaServer&) = delete;
  SambaServer& operator=(const SambaServer&) = delete;

  std::string Start(const std::string& address = "") {
    M_Address = address.empty() ? "127.0.0.1" : address;
    if (::geteuid() != 0) return "needs root (creates a Unix account for the share)";
    for (const char* tool : {"/usr/sbin/smbd", "/usr/bin/smbpasswd", "/usr/sbin/useradd"}) {
      if (::access(tool, X_OK) != 0) return std::string(tool) + " missing: scripts/deps.sh";
    }
    char tmpl[] = "/tmp/xel-smb-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return "mkdtemp failed";
    M_Dir = tmpl;
    ::chmod(M_Dir.c_str(), 0755);  // smbd serves the share as the account, not as root
    std::filesystem::create_directories(SharePath());
    ::chmod(SharePath().c_str(), 0777);
    M_Port = address.empty() ? Probe("127.0.0.1", 0) : 445;
    if (M_Port == 0) return "no free loopback port";
    const std::string conf = M_Dir + "/smb.conf";
    std::ofstream out(conf);
    out << "[global]\nsmb ports = " << M_Port
        << "\ninterfaces = " << (address.empty() ? "lo" : address + "/24")
        << "\nbind interfaces only = yes\nserver role = standalone server\nworkgroup = XELTEST\n"
        << "log file = " << M_Dir << "/log.%m\npassdb backend = tdbsam:" << M_Dir
        << "/passdb.tdb\nload printers = no\nprinting = bsd\nprintcap name = /dev/null\n"
        << "disable spoolss = yes\n";
    for (const char* dir : {"private dir", "lock directory", "state directory", "cache directory",
                            "pid directory", "ncalrpc dir"}) {
      const std::string sub = M_Dir + "/" + std::string(dir).substr(0, std::string(dir).find(' '));
      std::filesystem::create_directories(sub);
      out << dir << " = " << sub << "\n";
    }
    out << "[" << kShare << "]\npath = " << SharePath() << "\nread only = no\n";
    out.close();
    // Test programs may run at once: a useradd that loses the race still finds the user.
    const std::string id = std::string("id ") + kUser + " >/dev/null 2>&1";
    const std::string add = std::string("useradd -M -s /usr/sbin/nologin ") + kUser;
    if (std::system((id + " || " + add + " >/dev/null 2>&1 || " + id).c_str()) != 0) {
      return "useradd failed";
    }
    FILE* pipe = ::popen(("smbpasswd -c " + conf + " -a -s " + kUser + " >/dev/null").c_str(), "w");
    if (pipe == nullptr) return "smbpasswd could not be started";
    fprintf(pipe, "%s\n%s\n", kPassword, kPassword);
    if (::pclose(pipe) != 0) return "smbpasswd failed";

    M_Pid = ::fork();
    if (M_Pid < 0) return "fork failed";
    if (M_Pid == 0) {
      // A group of its own: smbd signals its whole process group when it shuts down.
      ::setpgid(0, 0);
      (void)!freopen((M_Dir + "/smbd.out").c_str(), "w", stdout);
      ::dup2(STDOUT_FILENO, STDERR_FILENO);
      ::execl("/usr/sbin/smbd", "smbd", "--foreground", "--no-process-group", "-s", conf.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Probe(M_Address, M_Port) != 0) return "";
      if (::waitpid(M_Pid, nullptr, WNOHANG) == M_Pid) {
        M_Pid = -1;
        return "smbd exited at start (see " + M_Dir + "/smbd.out)";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "smbd did not listen within 15 s";
  }

  // Ends smbd with every helper it started.
  void Stop() {
    if (M_Pid > 0) {
      ::kill(-M_Pid, SIGTERM);
      ::waitpid(M_Pid, nullptr, 0);
      M_Pid = -1;
    }
    if (!M_Dir.empty()) {
      // samba-dcerpcd and its rpcd_* workers run outside smbd's process group, with its file
      // ("[b]" keeps the shell that runs pkill from matching).
      const std::string conf = "'" + M_Dir + "/sm[b].conf'";
      (void)!std::system(("pkill -KILL -f " + conf + "; for i in $(seq 500); do pgrep -f " + conf +
                          " >/dev/null || break; sleep 0.01; done")
                             .c_str());
      std::error_code ec;
      std::filesystem::remove_all(M_Dir, ec);
      M_Dir.clear();
    }
  }

  uint16_t port() const { return M_Port; }
  std::string Unc() const { return "\\\\" + M_Address + "\\" + kShare; }
  std::string SharePath() const { return M_Dir + "/share"; }
  static std::string UncRoot() { return std::string("\\\\127.0.0.1\\") + kShare; }

 private:
  // Port 0: a free port (bound and given back); else port if something listens there; else 0.
  static uint16_t Probe(const std::string& address, uint16_t port) {
    sockaddr_in addr{
        .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    sockaddr* pAddr = reinterpret_cast<sockaddr*>(&addr);
    socklen_t len = sizeof addr;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool ok =
        fd >= 0 && (port == 0 ? ::bind(fd, pAddr, len) == 0 && ::getsockname(fd, pAddr, &len) == 0
                              : ::connect(fd, pAddr, len) == 0);
    if (fd >= 0) ::close(fd);
    return ok ? ntohs(addr.sin_port) : 0;
  }

  std::string M_Dir;
  std::string M_Address = "127.0.0.1";
  uint16_t M_Port = 0;
  pid_t M_Pid = -1;
};

}  // namespace velmora::testing
