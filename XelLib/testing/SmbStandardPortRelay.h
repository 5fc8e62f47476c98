// Test helper: makes a private Samba server reachable on the standard SMB port at an address
// of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

// libsmbclient opens some connections on port 445 whatever port its context was given (reading
// a security descriptor opens "IPC$"). This relay listens on port 445 (needs root) of a random
// address in 127.0.0.0/8, so that test programs that run at once do not meet, and forwards
// every connection to 127.0.0.1:<port>.
class SmbStandardPortRelay {
 public:
  SmbStandardPortRelay() = default;
  ~SmbStandardPortRelay() { Stop(); }
  SmbStandardPortRelay(const SmbStandardPortRelay&) = delete;
  SmbStandardPortRelay& operator=(const SmbStandardPortRelay&) = delete;

  // Empty on success, else why not.
  std::string Start(uint16_t targetPort) {
    std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 20 && M_Listen < 0; ++attempt) {
      // 127.1.0.0 - 127.254.255.254: never 127.0.0.1, where the server itself listens.
      const uint32_t host = (127u << 24) | ((1 + random() % 254) << 16) | ((random() % 256) << 8) |
                            (1 + random() % 254);
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) return "socket failed";
      int one = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in addr{
          .sin_family = AF_INET, .sin_port = htons(445), .sin_addr = {htonl(host)}, .sin_zero = {}};
      if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          ::listen(fd, 16) == 0) {
        M_Listen = fd;
        char text[INET_ADDRSTRLEN];
        M_Address = ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
      } else {
        ::close(fd);
      }
    }
    if (M_Listen < 0) return "cannot listen on port 445 of a loopback address";
    M_Thread = std::thread([this, targetPort] { Accept(targetPort); });
    return "";
  }

  void Stop() {
    if (M_Listen >= 0) ::shutdown(M_Listen, SHUT_RDWR);  // ends the accept
    if (M_Thread.joinable()) M_Thread.join();
    for (int fd : M_Sockets) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& pump : M_Pumps) pump.join();
    for (int fd : M_Sockets) ::close(fd);
    if (M_Listen >= 0) ::close(M_Listen);
    M_Listen = -1;
    M_Sockets.clear();
    M_Pumps.clear();
  }

  std::string UncRoot(const std::string& share) const { return "\\\\" + M_Address + "\\" + share; }

 private:
  // Each connection gets a thread per direction, until Stop.
  void Accept(uint16_t targetPort) {
    for (int client; (client = ::accept4(M_Listen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{.sin_family = AF_INET,
                       .sin_port = htons(targetPort),
                       .sin_addr = {htonl(INADDR_LOOPBACK)},
                       .sin_zero = {}};
      M_Sockets.insert(M_Sockets.end(), {client, server});
      if (server >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        M_Pumps.emplace_back(Pump, client, server);
        M_Pumps.emplace_back(Pump, server, client);
      } else {
        ::shutdown(client, SHUT_RDWR);
      }
    }
  }

  static void Pump(int from, int to) {
    std::vector<char> buffer(64 * 1024);
    ssize_t n = 0;
    while ((n = ::read(from, buffer.data(), buffer.size())) > 0 &&
           ::send(to, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL) == n) {
    }
    ::shutdown(to, SHUT_WR);
  }

  int M_Listen = -1;
  std::string M_Address;
  std::thread M_Thread;
  std::vector<int> M_Sockets;  // of the accept thread until Stop has joined it
  std::vector<std::thread> M_Pumps;
};

}  // namespace velmora::testing
