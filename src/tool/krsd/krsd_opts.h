// Command line of the device daemon krsd: the options it serves with and the
// faults it can inject for tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "krp_wire.h"

// One path served from another file: a request for `path` opens `file`.
struct krsd_map_entry {
  std::string path;
  std::string file;
};

// A byte range [off, off + len) of every served file.
struct krsd_range {
  int64_t off = 0;
  int64_t len = 0;
};

// A peer address as the accept loop compares it: an IPv4 address in its
// IPv4-mapped IPv6 form, so that both spellings of a dual-stack listener's
// peers compare equal.
struct krsd_addr {
  std::array<uint8_t, 16> bytes{};
  bool operator==(const krsd_addr&) const = default;
};

// An IPv4 or IPv6 address text (IPv6 also in brackets; a "%zone" is
// ignored). False when the text is no such address.
[[nodiscard]] bool krsd_parse_addr(const std::string& text, krsd_addr* out);

struct krsd_opts {
  bool daemonize = false;           // -d
  std::string listen;               // --listen, empty = every address
  int port = KRSD_PORT;             // --port, 0 = any free port
  int tls_port = KRSD_SSL_PORT;     // --tls-port: "0" turns TLS off (-1 here), "any" = 0 here
  std::string cert, key;            // --cert, --key (PEM or DER)
  std::string root;                 // --root, empty = the whole file system
  std::vector<krsd_map_entry> maps; // --map PATH=FILE
  std::string user, password;       // --user, --password
  bool require_login = false;       // set when --user or --password was given
  bool read_only = true;            // --read-only (the default), --read-write turns it off
  std::vector<std::string> allow;   // --allow ADDR: the only peers served; empty = any
  bool allow_from_session = false;  // allow holds the SSH session's address (krsd_opts_settle)
  int exit_idle_s = -1;             // --exit-idle S, 0 = never; -1 until krsd_opts_settle
  std::string port_file;            // --port-file
  int max_conn = 16;                // --max-conn
  int idle_timeout_s = 300;         // --idle-timeout
  int sock_buf = 0;                 // --sock-buf, 0 = kernel auto-tuning
  bool verbose = false;             // -v
  std::string log_file;             // --log FILE (the daemon's own log)

  // Fault injection.
  std::vector<krsd_range> bad;      // --bad-range OFF:LEN, reads touching one fail with EIO
  int64_t vanish_at = -1;           // --vanish-at OFF, reads reaching OFF fail with ENXIO
  int64_t drop_after = -1;          // --drop-after N[,once]
  bool drop_once = false;
  int64_t stall_after = -1;         // --stall-after N:MS[,once]
  int stall_ms = 0;
  bool stall_once = false;
};

// Parses the options: first the words of `env_args` (the KRSD_ARGS text,
// split at blanks; may be null), then argv[1..argc-1]. Returns 0 and fills
// `opts`; 1 when --help was asked (the help text is in `err`); -1 on a bad
// option with the reason in `err`.
[[nodiscard]] int krsd_opts_parse(int argc, const char* const* argv, const char* env_args,
                                  krsd_opts* opts, std::string* err);

// Settles what depends on how the daemon was started. Without --allow and
// --listen, a daemon started from an SSH session (ssh_connection and
// ssh_client are SSH_CONNECTION and SSH_CLIENT, either may be null) serves
// only the address that session came from; without --exit-idle, one started
// with -d ends after 30 minutes without a connection, any other never.
// 0, or -1 with the reason in `err` when the session's address cannot be
// read (serving everyone instead would be the unsafe guess).
[[nodiscard]] int krsd_opts_settle(krsd_opts* opts, const char* ssh_connection,
                                   const char* ssh_client, std::string* err);

// The text printed by `krsd --help`.
const char* krsd_opts_help();

// Size text: decimal digits, optionally followed by k, m or g (powers of 1024)
// or a 0x hex number. Returns -1 when the text is not such a size.
int64_t krsd_parse_size(const std::string& text);
