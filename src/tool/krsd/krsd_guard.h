// What keeps one client from taking the daemon away from the others: the
// memory all connections together hold for request bodies and answers, the
// pace of logins after wrong ones, and waits on a socket that end at a
// deadline.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>

#include <sys/socket.h>

#include "krsd_opts.h"

using krsd_clock = std::chrono::steady_clock;

// A peer's address as the daemon compares it (IPv4 in its mapped form); all
// zeros for a socket of another family.
krsd_addr krsd_addr_of(const sockaddr_storage& ss);

// Waits until fd is ready for events (POLLIN, POLLOUT) or until passes.
// True when ready (an error or hang-up counts: the next call tells it).
[[nodiscard]] bool krsd_wait_fd(int fd, short events, krsd_clock::time_point until);

// Bytes shared by every connection, taken before a large buffer is made
// and given back when it goes. Those who wait are served in turn, and
// nobody takes past them.
class krsd_budget {
 public:
  void set_limit(size_t bytes);
  // Takes n bytes: at once when they are free and nobody waits, else in
  // turn until `until` (a time already past: no wait). False when they did
  // not come free in time; at once when n is more than the limit.
  [[nodiscard]] bool take(size_t n, krsd_clock::time_point until);
  // Takes n bytes whatever the limit: what an estimate fell short by.
  void force(size_t n);
  void give(size_t n);
  // Somebody waits for bytes: holders give back what they can spare.
  bool contended() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  size_t limit_ = 64 << 20;
  size_t used_ = 0;
  std::list<int> line_;  // one place for each waiter, first come first
};

// Wrong logins slow down the guesses that follow from the same address:
// the answer to the n-th wrong login in a row goes no sooner than
// 250 ms * 2^(n-1) (at most 4 s) after the answer to the one before it, so
// that connections sending guesses side by side get their answers one
// after another, and each connection's next guess waits for its answer
// (and holds its slot meanwhile). A right login is answered at once and
// ends the slow-down of its address; other addresses are not held up.
class krsd_login_gate {
 public:
  // A wrong login from peer: when its answer may go.
  krsd_clock::time_point refused(const krsd_addr& peer);
  void accepted(const krsd_addr& peer);

  static constexpr std::chrono::milliseconds kFirstDelay{250};
  static constexpr std::chrono::milliseconds kMaxDelay{4000};

 private:
  struct Entry {
    int wrong = 0;                // wrong logins in a row
    krsd_clock::time_point next;  // the answer to the last one goes then
  };

  std::mutex m_;
  std::map<std::array<uint8_t, 16>, Entry> peers_;
};
