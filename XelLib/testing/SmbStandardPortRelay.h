// Test helper: makes a private Samba server reachable on the standard SMB port at an address
// of its own.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::testing {

// libsmbclient makes some connections with the standard port whatever port its context was
// given (reading a security descriptor opens "IPC$" on 445, then 139). This relay listens on
// port 445 of a random address in 127.0.0.0/8 (all routed to the loopback device, so test
// programs that run at once do not meet) and forwards every connection to 127.0.0.1:<port>.
// Binding port 445 needs root, as the Samba tests do anyway.
class SmbStandardPortRelay {
 public:
  SmbStandardPortRelay() = default;
  ~SmbStandardPortRelay() { Stop(); }
  SmbStandardPortRelay(const SmbStandardPortRelay&) = delete;
  SmbStandardPortRelay& operator=(const SmbStandardPortRelay&) = delete;

  // Starts relaying to 127.0.0.1:targetPort. Empty on success, else why not.
  std::string Start(uint16_t targetPort) {
    M_Target = targetPort;
    std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 20 && M_Listen < 0; ++attempt) {
      // 127.1.0.0 - 127.254.255.254: never 127.0.0.1, where the server itself listens.
      const uint32_t host = (127u << 24) | ((1 + random() % 254) << 16) | ((random() % 256) << 8) |
                            (1 + random() % 254);
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) return "socket failed";
      int one = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in addr = Address(host, 445);
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
    if (::pipe2(M_Wake, O_CLOEXEC) != 0) return "pipe failed";
    M_Thread = std::thread([this] { Run(); });
    return "";
  }

  void Stop() {
    if (M_Thread.joinable()) {
      (void)!::write(M_Wake[1], "", 1);
      M_Thread.join();
    }
    for (int* fd : {&M_Listen, &M_Wake[0], &M_Wake[1]}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  // "\\127.a.b.c\share".
  std::string UncRoot(const std::string& share) const { return "\\\\" + M_Address + "\\" + share; }

 private:
  static sockaddr_in Address(uint32_t host, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(host);
    return addr;
  }

  int ConnectTarget() const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Address(INADDR_LOOPBACK, M_Target);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      fd = -1;
    }
    return fd;
  }

  // One thread relays every connection: SMB is request and answer, so blocking writes of
  // one side never wait for the other side's reads.
  void Run() {
    std::vector<std::pair<int, int>> pairs;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      std::vector<pollfd> fds{{M_Wake[0], POLLIN, 0}, {M_Listen, POLLIN, 0}};
      for (const auto& [a, b] : pairs) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) break;
      std::vector<std::pair<int, int>> alive;
      for (size_t i = 0; i < pairs.size(); ++i) {
        bool ok = true;
        for (int side = 0; side < 2 && ok; ++side) {
          if (fds[2 + 2 * i + side].revents == 0) continue;
          const int from = side == 0 ? pairs[i].first : pairs[i].second;
          const int to = side == 0 ? pairs[i].second : pairs[i].first;
          ssize_t n = ::read(from, buffer.data(), buffer.size());
          ok = n > 0;
          for (const char* p = buffer.data(); ok && n > 0;) {
            const ssize_t done = ::write(to, p, static_cast<size_t>(n));
            ok = done > 0;
            p += done;
            n -= done;
          }
        }
        if (ok) {
          alive.push_back(pairs[i]);
        } else {
          ::close(pairs[i].first);
          ::close(pairs[i].second);
        }
      }
      if (fds[1].revents & POLLIN) {  // a new connection joins the next poll
        const int client = ::accept4(M_Listen, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = client >= 0 ? ConnectTarget() : -1;
        if (server >= 0) {
          alive.emplace_back(client, server);
        } else if (client >= 0) {
          ::close(client);
        }
      }
      pairs = std::move(alive);
    }
    for (const auto& [a, b] : pairs) {
      ::close(a);
      ::close(b);
    }
  }

  uint16_t M_Target = 0;
  int M_Listen = -1;
  int M_Wake[2] = {-1, -1};
  std::string M_Address;
  std::thread M_Thread;
};

}  // namespace velmora::testing
