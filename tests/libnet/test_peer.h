// A scripted TCP peer on loopback for client tests: it accepts one
// connection and runs a script that sends chosen bytes and reads what the
// client sent, so that tests can inject faults a real daemon cannot produce
// on demand. Also captures the log lines.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "kit.h"
#include <vector>

#include "os/os_log.h"

namespace testpeer {

using Bytes = std::vector<uint8_t>;

// Reads exactly n bytes within ms milliseconds; fewer on time-out or close.
inline Bytes read_n(int fd, size_t n, int ms = 5000) {
  Bytes out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (out.size() < n) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    uint8_t buf[65536];
    size_t want = std::min(sizeof(buf), n - out.size());
    ssize_t r = recv(fd, buf, want, 0);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

inline bool write_all(int fd, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}
inline bool write_all(int fd, const Bytes& b) { return write_all(fd, b.data(), b.size()); }

class Peer {
 public:
  explicit Peer(int backlog = 4) {
    lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(lfd_, backlog);
    socklen_t len = sizeof(a);
    getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Peer() {
    join();
    if (lfd_ >= 0) close(lfd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  uint16_t port() const { return port_; }
  int listen_fd() const { return lfd_; }

  // Accepts one connection (within 10 s) and runs script on it; the
  // connection is closed when the script returns.
  void serve(std::function<void(int fd)> script) {
    thread_ = std::thread([this, script] {
      pollfd p{lfd_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return;
      int fd = accept(lfd_, nullptr, nullptr);
      if (fd < 0) return;
      script(fd);
      close(fd);
    });
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  int lfd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

using kit::LogCapture;

}  // namespace testpeer
