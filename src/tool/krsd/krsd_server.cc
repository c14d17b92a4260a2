#include "krsd_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "cert_fingerprint.h"
#include "os/os_log.h"

#define KR_LOG_SRC "src\\tool\\krsd\\krsd_server"

namespace {

std::string sys_text(const char* what) { return std::string(what) + ": " + krsd_errno_text(errno); }

// Counts while the device sleeps too: the idle exit means time on the
// examiner's clock, not the time the device was awake.
int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The address as inet_ntop writes it; an IPv4-mapped one as IPv4.
std::string addr_text(const krsd_addr& a) {
  char buf[INET6_ADDRSTRLEN] = "?";
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(a.bytes.data(), kMapped, 12) == 0)
    inet_ntop(AF_INET, a.bytes.data() + 12, buf, sizeof(buf));
  else
    inet_ntop(AF_INET6, a.bytes.data(), buf, sizeof(buf));
  return buf;
}

std::string duration_text(int s) {
  if (s % 3600 == 0) return std::to_string(s / 3600) + " h";
  if (s % 60 == 0) return std::to_string(s / 60) + " min";
  return std::to_string(s) + " s";
}

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
    *err = "root " + opts_.root + ": " + krsd_errno_text(e);
    return -1;
  }
  state_.opts = &opts_;
  state_.fs = &fs_;
  for (const std::string& text : opts_.allow) {
    krsd_addr a;
    if (!krsd_parse_addr(text, &a)) {
      *err = "bad address to allow '" + text + "'";
      return -1;
    }
    allow_.push_back(a);
  }
  state_.budget.set_limit(static_cast<size_t>(opts_.mem_limit));
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
  KR_LOG(OS_LOG_INFO, "%s\n", startup_line().c_str());
  last_end_ms_ = now_ms();
  return 0;
}

std::string krsd_server::startup_line() const {
  std::string s = SD_START_TAG;
  s += "port " + std::to_string(port_);
  s += tls_port_ >= 0 ? ", TLS port " + std::to_string(tls_port_) : std::string(", TLS off");
  s += opts_.read_only ? "; read-only" : "; writes allowed";
  if (allow_.empty()) {
    s += "; serving every peer";
  } else {
    // Bounded, so that the line stays a line whatever the command line held.
    constexpr size_t kShown = 4;
    s += "; serving only ";
    for (size_t i = 0; i < allow_.size() && i < kShown; i++) s += (i ? ", " : "") + addr_text(allow_[i]);
    if (allow_.size() > kShown) s += " and " + std::to_string(allow_.size() - kShown) + " more";
    if (opts_.allow_from_session) s += " (the SSH session's address)";
  }
  if (opts_.exit_idle_s > 0)
    s += "; ends after " + duration_text(opts_.exit_idle_s) + " without a connection";
  else
    s += "; stays until stopped";
  if (tls_port_ >= 0) s += "; certificate SHA-256 " + tls_.fingerprint();
  return s;
}

bool krsd_server::allowed(const sockaddr_storage& peer) const {
  if (allow_.empty()) return true;
  const krsd_addr a = krsd_addr_of(peer);
  for (const krsd_addr& b : allow_)
    if (a == b) return true;
  return false;
}

void krsd_server::start_connection(int fd, bool tls, const std::string& peer) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (opts_.sock_buf > 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &opts_.sock_buf, sizeof(opts_.sock_buf));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &opts_.sock_buf, sizeof(opts_.sock_buf));
  }
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
      last_end_ms_ = now_ms();  // before the count, which the accept loop reads first
      active_--;
    }).detach();
  } catch (...) {
    KR_LOG(OS_LOG_ERR, "%s refused: no thread\n", peer.c_str());
    close(fd);
    active_--;
  }
}

int krsd_server::run() {
  const int64_t idle_ms = int64_t(opts_.exit_idle_s) * 1000;
  for (;;) {
    // While connections are served the daemon stays; once none is, it ends
    // when the last one ended the idle time ago. A refused peer is no
    // connection: it cannot keep a daemon alive.
    int wait_ms = -1;
    if (idle_ms > 0) {
      int64_t left = idle_ms;
      if (active_.load() == 0) {
        left = last_end_ms_.load() + idle_ms - now_ms();
        if (left <= 0) {
          KR_LOG(OS_LOG_INFO, "krsd: no connection for %s, ending\n",
                 duration_text(opts_.exit_idle_s).c_str());
          return 0;
        }
      }
      // poll's own clock stops while the device sleeps: look again often.
      wait_ms = static_cast<int>(std::min<int64_t>(left, 60 * 1000));
    }
    pollfd pf[2] = {{plain_fd_, POLLIN, 0}, {tls_fd_, POLLIN, 0}};
    int n = tls_fd_ >= 0 ? 2 : 1;
    int r = poll(pf, static_cast<nfds_t>(n), wait_ms);
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
      if (!allowed(ss)) {
        // Closed before a byte is read: no login, no TLS handshake.
        KR_LOG(OS_LOG_WARN, "%s refused: not an address this daemon serves\n", peer_text(ss).c_str());
        close(fd);
        continue;
      }
      start_connection(fd, i == 1, peer_text(ss));
    }
  }
}
