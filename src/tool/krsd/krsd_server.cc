#include "krsd_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cert_fingerprint.h"
#include "os/os_log.h"

#define KR_LOG_SRC "src\\tool\\krsd\\krsd_server"

namespace {

std::string sys_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

// The address to bind: the --listen text, or every address (IPv6 with IPv4
// mapped, else IPv4 alone).
bool make_addr(const std::string& text, int port, bool v6_any, sockaddr_storage* ss,
               socklen_t* len) {
  memset(ss, 0, sizeof(*ss));
  auto* a4 = reinterpret_cast<sockaddr_in*>(ss);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(ss);
  if (text.empty()) {
    if (v6_any) {
      a6->sin6_family = AF_INET6;
      a6->sin6_addr = in6addr_any;
      a6->sin6_port = htons(static_cast<uint16_t>(port));
      *len = sizeof(*a6);
    } else {
      a4->sin_family = AF_INET;
      a4->sin_addr.s_addr = htonl(INADDR_ANY);
      a4->sin_port = htons(static_cast<uint16_t>(port));
      *len = sizeof(*a4);
    }
    return true;
  }
  if (inet_pton(AF_INET, text.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    *len = sizeof(*a4);
    return true;
  }
  std::string t = text;
  if (t.size() > 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
  if (inet_pton(AF_INET6, t.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    *len = sizeof(*a6);
    return true;
  }
  return false;
}

std::string peer_text(const sockaddr_storage& ss) {
  char buf[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, buf, sizeof(buf));
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof(buf));
    port = ntohs(a->sin6_port);
  }
  return std::string(buf) + ":" + std::to_string(port);
}

int write_port_file(const std::string& path, int port, int tls_port, const std::string& sha256) {
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "we");
  if (f == nullptr) return -1;
  fprintf(f, "port %d\ntls-port %d\npid %d\n", port, tls_port, (int)getpid());
  if (!sha256.empty()) fprintf(f, "tls-sha256 %s\n", sha256.c_str());
  if (fclose(f) != 0) return -1;
  return rename(tmp.c_str(), path.c_str());  // readers never see half a file
}

}  // namespace

krsd_server::~krsd_server() {
  if (plain_fd_ >= 0) close(plain_fd_);
  if (tls_fd_ >= 0) close(tls_fd_);
}

int krsd_server::listen_on(int port, int bind_wait_ms, int* bound, std::string* err) {
  for (int attempt = 0; attempt < 2; attempt++) {
    bool v6 = attempt == 0;
    if (!opts_.listen.empty() && attempt == 1) break;
    sockaddr_storage ss;
    socklen_t len;
    if (!make_addr(opts_.listen, port, v6, &ss, &len)) {
      *err = "bad listen address '" + opts_.listen + "'";
      return -1;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (opts_.listen.empty() && v6) continue;  // no IPv6 here: IPv4 alone
      *err = sys_text("socket");
      return -1;
    }
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (ss.ss_family == AF_INET6 && opts_.listen.empty())
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bind_wait_ms);
    int rc;
    while ((rc = bind(fd, reinterpret_cast<sockaddr*>(&ss), len)) != 0 && errno == EADDRINUSE &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (rc != 0) {
      int e = errno;
      close(fd);
      if (opts_.listen.empty() && v6 && e == EAFNOSUPPORT) continue;
      errno = e;
      *err = sys_text(("bind port " + std::to_string(port)).c_str());
      return -1;
    }
    if (listen(fd, 64) != 0) {
      *err = sys_text("listen");
      close(fd);
      return -1;
    }
    sockaddr_storage got;
    socklen_t glen = sizeof(got);
    getsockname(fd, reinterpret_cast<sockaddr*>(&got), &glen);
    *bound = ntohs(got.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&got)->sin_port
                                            : reinterpret_cast<sockaddr_in6*>(&got)->sin6_port);
    return fd;
  }
  *err = "no address to listen on";
  return -1;
}

int krsd_server::init(const krsd_opts& opts, int bind_wait_ms, std::string* err) {
  opts_ = opts;
  int e = fs_.init(opts_);
  if (e != 0) {
    *err = "root " + opts_.root + ": " + strerror(e);
    return -1;
  }
  state_.opts = &opts_;
  state_.fs = &fs_;
  if (opts_.tls_port >= 0) {
    if (tls_.init(opts_, err) != 0) return -1;
    state_.tls = &tls_;
  }
  plain_fd_ = listen_on(opts_.port, bind_wait_ms, &port_, err);
  if (plain_fd_ < 0) return -1;
  if (opts_.tls_port >= 0) {
    tls_fd_ = listen_on(opts_.tls_port, bind_wait_ms, &tls_port_, err);
    if (tls_fd_ < 0) return -1;
  }
  if (!opts_.port_file.empty() &&
      write_port_file(opts_.port_file, port_, tls_port_, tls_fingerprint()) != 0) {
    *err = sys_text(("port file " + opts_.port_file).c_str());
    return -1;
  }
  KR_LOG(OS_LOG_INFO, "krsd serving on port %d, TLS port %d\n", port_, tls_port_);
  if (tls_port_ >= 0)
    KR_LOG(OS_LOG_INFO, "%s%s\n", SD_CERT_SHA256_TAG, tls_.fingerprint().c_str());
  return 0;
}

void krsd_server::start_connection(int fd, bool tls, const std::string& peer) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (opts_.sock_buf > 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &opts_.sock_buf, sizeof(opts_.sock_buf));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &opts_.sock_buf, sizeof(opts_.sock_buf));
  }
  // A silent client, or one that stops reading, lets its thread go after
  // the idle time-out instead of holding a connection slot for ever.
  timeval tv{opts_.idle_timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  if (active_.load() >= opts_.max_conn) {
    KR_LOG(OS_LOG_WARN, "%s refused: %d connections already\n", peer.c_str(), opts_.max_conn);
    close(fd);
    return;
  }
  active_++;
  try {
    std::thread([this, fd, tls, peer] {
      KR_LOG(OS_LOG_DEBUG, "%s connected%s\n", peer.c_str(), tls ? " (TLS)" : "");
      krsd_conn_serve(&state_, fd, tls, peer);
      if (tls) krsd_tls_thread_done();
      KR_LOG(OS_LOG_DEBUG, "%s closed\n", peer.c_str());
      active_--;
    }).detach();
  } catch (...) {
    KR_LOG(OS_LOG_ERR, "%s refused: no thread\n", peer.c_str());
    close(fd);
    active_--;
  }
}

int krsd_server::run() {
  for (;;) {
    pollfd pf[2] = {{plain_fd_, POLLIN, 0}, {tls_fd_, POLLIN, 0}};
    int n = tls_fd_ >= 0 ? 2 : 1;
    int r = poll(pf, static_cast<nfds_t>(n), -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "poll: ");
      return -1;
    }
    for (int i = 0; i < n; i++) {
      if (!(pf[i].revents & POLLIN)) continue;
      sockaddr_storage ss;
      socklen_t len = sizeof(ss);
      int fd = accept4(pf[i].fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let connections end
        continue;
      }
      start_connection(fd, i == 1, peer_text(ss));
    }
  }
}
