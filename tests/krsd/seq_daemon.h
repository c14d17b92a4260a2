// A minimal file-service daemon for tests, inside the test process: it
// serves one file to every connection and answers strictly one request after
// another, each answer sent whole before the next request is read, with
// nothing prepared ahead. A failed read leaves the position where it was, as
// a plain device read does. It injects the same faults as krsd's options,
// so one table of fault cases can run against both. Given Lies, it is a
// hostile daemon: answers of the real protocol that no honest daemon gives.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krsd_test {

struct Faults {
  struct Range {
    int64_t off, len;
  };
  std::vector<Range> bad;        // reads touching one fail with EIO (5)
  int64_t vanish_at = -1;        // reads reaching it fail with ENXIO (6)
  int64_t drop_after = -1;       // once: the connection is cut after N answer bytes
  int64_t stall_after = -1;      // once: the answers stop for stall_ms after N bytes
  int stall_ms = 0;

  // The same faults as krsd options (--bad-range, --vanish-at, ...).
  std::vector<std::string> krsd_args() const;
};

// What a hostile daemon answers instead of the truth; nothing by default.
struct Lies {
  int64_t seek_skew = 0;    // a seek to a non-zero offset lands this much further, and says so
  int fail_cmd = 0;         // every request of this command fails ...
  int fail_errno = 0;       // ... with this errno
  std::string errno_text{};  // the text of every failed answer, instead of the system's
  int64_t read_extra = 0;   // a read answer carries this many bytes more than asked
  int64_t len_short = 0;    // ... or this many fewer than its "len" and the position moved
  int64_t size = -1;        // the size the file information tells; -1: the file's
};

// One request as the daemon saw it: command and its numbers ("len" of a
// read, "offset" and "mode" of a seek, "fd" of a file information), and the
// bytes of later requests that had already come in behind it.
struct SeenRequest {
  int cmd;
  int64_t a, b;
  int64_t queued = 0;
};

class SeqDaemon {
 public:
  SeqDaemon(std::string file, Faults faults, Lies lies = {});
  ~SeqDaemon();
  SeqDaemon(const SeqDaemon&) = delete;
  SeqDaemon& operator=(const SeqDaemon&) = delete;

  int port() const { return port_; }
  // Every request of every connection so far, in arrival order.
  std::vector<SeenRequest> seen() const;
  // Waits at most ms for every connection so far to have ended (the client
  // closed it or said exit); false when one is still open.
  bool wait_closed(int ms) const;

 private:
  void accept_loop();
  void serve(int fd);

  std::string file_;
  Faults faults_;
  Lies lies_;
  int lfd_ = -1;
  int port_ = -1;
  std::atomic<bool> quit_{false};
  std::atomic<int> open_conns_{0};
  std::atomic<bool> drop_used_{false}, stall_used_{false};
  std::thread acceptor_;
  mutable std::mutex mu_;
  std::vector<std::thread> conns_;   // guarded by mu_
  std::vector<SeenRequest> seen_;    // guarded by mu_
};

}  // namespace krsd_test
