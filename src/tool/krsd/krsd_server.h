// The daemon's listeners and accept loop: a thread per connection, bounded.
//
// Errors of the start-up (krsd_opts_parse, krsd_opts_settle, the TLS
// context, krsd_server::init): 0, or -1 with the reason in *err, one line
// without its newline that the caller prints or logs; errno words in it are
// krsd_errno_text's. What makes an object returns it, or null with the
// reason the same way. Once the daemon serves, a failure is logged where it
// happens and the call says only 0 or -1.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "krsd_conn.h"
#include "krsd_file.h"
#include "krsd_opts.h"
#include "krsd_tls.h"

class krsd_server {
 public:
  krsd_server() = default;
  ~krsd_server();
  krsd_server(const krsd_server&) = delete;
  krsd_server& operator=(const krsd_server&) = delete;

  // Opens the root, makes the TLS context and binds the listeners (with
  // SO_REUSEADDR; when bind_wait_ms > 0 a port still held is tried again
  // until that time has passed, so that a start right after the old
  // instance was killed gets the port). Writes the port file. 0, or -1 with
  // the reason in *err.
  [[nodiscard]] int init(const krsd_opts& opts, int bind_wait_ms, std::string* err);

  // Accepts and serves connections; returns 0 once no connection was served
  // for the idle exit's time (--exit-idle), -1 when the listeners fail.
  // Connection threads are detached and use the server, so it must live
  // until the process ends.
  int run();

  int port() const { return port_; }
  int tls_port() const { return tls_port_; }  // -1 when TLS is off
  // The TLS certificate's SHA-256 (hex); empty when TLS is off.
  std::string tls_fingerprint() const { return tls_port_ >= 0 ? tls_.fingerprint() : std::string(); }
  // One line (no newline) of what this daemon lets whom do, from the tag
  // SD_START_TAG on: ports, read-only or not, the peers it serves, how long
  // it stays without a connection and the certificate's fingerprint. The
  // deployment logs it.
  std::string startup_line() const;

 private:
  int listen_on(int port, int bind_wait_ms, int* bound, std::string* err);
  void start_connection(int fd, bool tls, const std::string& peer);
  bool allowed(const sockaddr_storage& peer) const;

  krsd_opts opts_;
  krsd_fs fs_;
  krsd_tls_server tls_;
  krsd_server_state state_;
  int plain_fd_ = -1, tls_fd_ = -1;
  int port_ = -1, tls_port_ = -1;
  std::vector<krsd_addr> allow_;  // empty = every peer
  std::atomic<int> active_{0};  // live connections
  // When the last served connection ended (CLOCK_BOOTTIME, ms); the
  // daemon's start before the first.
  std::atomic<int64_t> last_end_ms_{0};
};
