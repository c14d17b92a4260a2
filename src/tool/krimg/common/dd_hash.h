// MD5 and SHA-256 of an image in the order its bytes were written, and the
// digests of the image's prefixes that end at marks: every piece boundary and
// any offset a record names. A prefix digest is what `head -c END | md5sum`
// prints, so each record can be checked with common tools, and the first
// prefix that differs from its record names the first piece that changed.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>

enum : int64_t { DD_PIECE_SIZE = int64_t{64} << 20 };

struct dd_digests {
  std::array<uint8_t, 16> md5{};
  std::array<uint8_t, 32> sha256{};
  bool operator==(const dd_digests&) const = default;
};

// Lowercase hexadecimal digits of bytes.
std::string dd_hex(std::span<const uint8_t> bytes);
// Parses exactly 2 * out.size() hexadecimal digits (either case) into out.
[[nodiscard]] bool dd_unhex(std::string_view text, std::span<uint8_t> out);

// The running hashes of one job. Fed either synchronously (update) or, once
// start_threads succeeded, from a ring of block buffers that two threads,
// one per algorithm, hash beside the copy loop: MD5 alone runs at about the
// speed of the disk, so the two algorithms must not share a core. The
// threads and the copy loop hand the ring's buffers over in batches: a
// hand-over per block would cost a sleep and a wake-up per block and
// thread, more than the copy of a block on a machine where waking another
// thread is dear.
class dd_hashing {
 public:
  explicit dd_hashing(int64_t piece = DD_PIECE_SIZE);
  ~dd_hashing();
  dd_hashing(const dd_hashing&) = delete;
  dd_hashing& operator=(const dd_hashing&) = delete;

  // false when the hash library could not be set up (nothing else works then).
  bool ok() const { return ok_; }
  int64_t piece() const { return piece_; }

  // The ring: first is the caller's buffer of block_size bytes, the others
  // are allocated here. false (and still synchronous) when a buffer or a
  // thread could not be had.
  bool start_threads(uint8_t* first, int32_t block_size);
  bool threaded() const { return threaded_; }
  bool owns_current(const uint8_t* buf) const { return threaded_ && buf == bufs_[cur_]; }
  // Queues len bytes of the current ring buffer; returns the buffer to fill
  // next. When every buffer of the ring is queued, waits until a batch of
  // them is hashed.
  uint8_t* submit(int64_t len);
  // Hashes on the calling thread (after drain when threaded).
  void update(const uint8_t* p, int64_t len);
  // Waits until everything queued is hashed.
  void drain();
  // Ends the threads (after draining); the ring's first buffer is returned.
  uint8_t* stop_threads();

  // Also takes the prefix digests at end; only before the hashes pass it.
  void add_mark(int64_t end);
  // The digests of the prefix that ends at the mark end, once both
  // algorithms have passed it; with wait, waits for that. false when end is
  // no mark or not reached.
  bool mark(int64_t end, dd_digests* out, bool wait);
  // Bytes hashed by both algorithms.
  int64_t hashed() const;
  // The digests of everything hashed so far (after drain when threaded).
  dd_digests digests() const;

 private:
  struct lane;
  static constexpr int kMaxDepth = 64;

  void run(int which);
  int64_t next_mark(int64_t pos) const;  // caller holds marks_mu_
  void feed(lane& l, const uint8_t* p, int64_t len);
  void store_mark(int64_t end, int which, const uint8_t* digest);
  // The caller holds mu_.
  int64_t queued(int which) const { return submitted_ - done_[which]; }
  bool lane_may_go(int which) const;
  bool copy_may_go() const;

  const int64_t piece_;
  bool ok_ = false;
  std::unique_ptr<lane> lanes_[2];

  // The ring: depth_ buffers, handed over batch_ at a time.
  bool threaded_ = false;
  int depth_ = 0, batch_ = 1;
  uint8_t* bufs_[kMaxDepth] = {};
  std::unique_ptr<uint8_t[]> owned_[kMaxDepth];
  int64_t lens_[kMaxDepth] = {};
  int cur_ = 0;  // the buffer the copy loop fills; its thread only
  std::mutex mu_;
  std::condition_variable lanes_cv_;  // the hash threads wait here
  std::condition_variable copy_cv_;   // the copy loop waits here (submit, drain)
  int64_t submitted_ = 0;             // guarded by mu_
  int64_t done_[2] = {0, 0};          // guarded by mu_: blocks hashed per lane
  bool lane_waits_[2] = {false, false};  // guarded by mu_
  bool copy_waits_ = false;           // guarded by mu_: the hash threads then take what is queued
  bool draining_ = false;             // guarded by mu_: the copy loop waits for all of it
  bool quit_ = false;                 // guarded by mu_
  std::thread threads_[2];

  // Marks and the prefix digests taken there.
  struct taken {
    dd_digests d;
    int have = 0;  // bit per algorithm
  };
  mutable std::mutex marks_mu_;
  std::condition_variable marks_cv_;
  std::set<int64_t> extra_marks_;     // guarded by marks_mu_
  std::map<int64_t, taken> taken_;    // guarded by marks_mu_
};
