#include "krsd_conn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "blobmsg.h"
#include "krp_msg.h"
#include "os/os_log.h"
#include "zcomp.h"

#define KR_LOG_SRC "src\\tool\\krsd\\krsd_conn"

namespace {

constexpr int kMaxOpenFiles = 16;
// What a connection's buffers may take beyond the shared budget
// (--mem-limit): small requests and the answers of blocks of the usual
// sizes never wait for memory.
constexpr size_t kFreeShare = 512 << 10;
// The first part of a request body, taken before the rest is given room:
// a body only claimed takes no more than this.
constexpr size_t kBodyStep = 256 << 10;
// A wait for memory that does not wait.
constexpr auto kNoWait = krsd_clock::time_point::min();
// A connection that holds some of the budget gives it back after this long
// without a request.
constexpr auto kHoldIdle = std::chrono::seconds(1);
// The longest a read waits for memory before errno 12 answers it: less than
// a client waits for an answer.
constexpr auto kMemWait = std::chrono::seconds(10);
// An answer's attributes around its data, and the builder's rounding.
constexpr size_t kAnswerHead = 128;
constexpr size_t kBuilderStep = 256;
constexpr uint8_t kFramePrefix[4] = {KRSD_FRAME_MAGIC0, KRSD_FRAME_MAGIC1, KRSD_FRAME_VERSION,
                                     KRSD_FRAME_RESPONSE};

// A string attribute is taken only whole: no NUL inside the text.
bool whole_string(const blob_attr* a, std::string* out) {
  const char* s = static_cast<const char*>(blobmsg_data(a));
  size_t n = blobmsg_data_len(a);
  if (n == 0 || strnlen(s, n) != n - 1) return false;
  out->assign(s, n - 1);
  return true;
}

// Compares without an early exit, so that the time taken tells nothing.
bool same_secret(const std::string& a, const std::string& b) {
  size_t n = std::max(a.size(), b.size());
  unsigned diff = a.size() != b.size() ? 1u : 0u;
  for (size_t i = 0; i < n; i++) {
    unsigned x = i < a.size() ? uint8_t(a[i]) : 0u, y = i < b.size() ? uint8_t(b[i]) : 0u;
    diff |= x ^ y;
  }
  return diff == 0;
}

class Conn {
 public:
  Conn(krsd_server_state* st, int fd, const std::string& peer) : st_(st), fd_(fd), peer_(peer) {}
  ~Conn() {
    files_.clear();
    zcomp_close(codec_);
    blobmsg_buf_free(&resp_);
    blobmsg_buf_free(&ahead_buf_);
    st_->budget.give(held_);
    krsd_tls_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  void run(bool tls);

 private:
  // Transport over the non-blocking socket, each wait bounded by `until`.
  enum class Rx {
    ok,      // all bytes
    closed,  // the peer closed before the first byte
    lost,    // an error, or the peer closed in between
    late,    // `until` passed
  };
  Rx recv_exact(void* buf, size_t n, krsd_clock::time_point until);
  long recv_once(void* buf, size_t n);
  bool readable_within(krsd_clock::time_point until);
  Rx recv_body(int cmd, const uint8_t* root, size_t padded, krsd_clock::time_point until,
               bool* refused);
  bool send_raw(const iovec* iov, int cnt, size_t total, krsd_clock::time_point until);
  bool send_iov(iovec* iov, int cnt);
  bool send_response();
  bool fault_point(int64_t* limit);

  // The shared memory budget: the bytes the buffers take beyond the free
  // share are covered by what this connection holds of it.
  size_t footprint() const {
    return req_.capacity() + data_.capacity() + resp_.capacity + ahead_buf_.capacity;
  }
  bool cover(size_t target, krsd_clock::time_point until);
  void settle();
  void drop_answers();
  void shed();
  bool grow_req(size_t n, krsd_clock::time_point until);
  bool afford_read(size_t n, blobmsg_buf* out, bool wait);
  krsd_clock::duration request_time() const {
    return std::chrono::seconds(st_->opts->request_timeout_s);
  }
  krsd_clock::duration mem_wait() const { return std::min<krsd_clock::duration>(kMemWait, request_time()); }

  // Requests; false closes the connection.
  bool dispatch(int cmd, const uint8_t* body, size_t len);
  bool refuse(int cmd, int err);
  void log_late(const char* what) const;
  bool on_login(const uint8_t* body, size_t len);
  bool on_open(const uint8_t* body, size_t len);
  bool on_close(const uint8_t* body, size_t len);
  bool on_read(const uint8_t* body, size_t len);
  bool on_write(const uint8_t* body, size_t len);
  bool on_sync_or_truncate(int cmd, const uint8_t* body, size_t len);
  bool on_seek(const uint8_t* body, size_t len);
  bool on_finfo(const uint8_t* body, size_t len);
  bool on_ioctl(const uint8_t* body, size_t len);

  // Builds the answer M in resp_: the errno err with its text, then the
  // values v. False only when the message cannot be built.
  template <class M, class... V>
  bool answer(int err, const V&... v) {
    return krp::encode<M>(&resp_, err, err ? krsd_errno_text(err) : std::string(), v...) == 0;
  }
  bool fail_read(int err);
  void log_refused_change(const char* what, const krsd_file* f, int err);
  [[nodiscard]] bool build_read(krsd_file* f, int64_t off, size_t n, blobmsg_buf* out, size_t* got,
                                int* err);
  void read_ahead(int64_t handle, krsd_file* f, int32_t want);
  void log_failed_read(const krsd_file* f, size_t n, int err);

  krsd_file* lookup(const blob_attr* fd_attr, int* err);

  krsd_server_state* st_;
  int fd_;
  ssl_st* ssl_ = nullptr;
  std::string peer_;
  krsd_addr addr_;             // the peer's address, for the pace of logins
  // Until the login (or, when none is required, the first request) the
  // connection lives on the login time.
  bool in_login_ = true;
  krsd_clock::time_point login_until_;
  size_t held_ = 0;            // bytes of the shared budget held for the buffers
  int64_t sent_ = 0;           // response bytes sent on this connection
  bool drop_armed_ = true;     // a drop can still happen on this connection
  bool stall_armed_ = true;
  bool logged_in_ = false;
  zcomp* codec_ = nullptr;     // null = "none", the state before the codec switch
  std::map<int64_t, std::unique_ptr<krsd_file>> files_;
  int64_t next_handle_ = 1;
  std::vector<uint8_t> req_;   // the request being served, root first
  std::vector<uint8_t> data_;  // plain file data of a packed read or write
  blobmsg_buf resp_{};
  // The outcome of a read made before its request came, and the request it
  // answers: the prepared answer (got bytes in ahead_buf_), or the errno of
  // a read that failed (err), which answers without touching the device.
  struct Ahead {
    bool valid = false;
    int64_t handle = 0, pos = 0;
    int32_t want = 0;
    uint64_t codec_gen = 0;
    size_t got = 0;
    int err = 0;
  } ahead_;
  blobmsg_buf ahead_buf_{};
  uint64_t codec_gen_ = 0;  // counts codec switches
};

// ---- transport ---------------------------------------------------------------

// One attempt that does not wait: bytes, 0 when the peer closed,
// KRSD_TLS_WANT_READ/WRITE when the socket must be ready first, -1.
long Conn::recv_once(void* buf, size_t n) {
  if (ssl_ != nullptr)
    return krsd_tls_read(ssl_, buf, static_cast<int>(std::min<size_t>(n, 1 << 30)));
  for (;;) {
    ssize_t r = ::recv(fd_, buf, n, MSG_DONTWAIT);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? KRSD_TLS_WANT_READ : -1;
  }
}

Conn::Rx Conn::recv_exact(void* buf, size_t n, krsd_clock::time_point until) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  size_t got = 0;
  while (got < n) {
    long r = recv_once(p + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      return got == 0 ? Rx::closed : Rx::lost;
    } else if (r == KRSD_TLS_WANT_READ || r == KRSD_TLS_WANT_WRITE) {
      if (!krsd_wait_fd(fd_, r == KRSD_TLS_WANT_READ ? POLLIN : POLLOUT, until)) return Rx::late;
    } else {
      return Rx::lost;
    }
  }
  return Rx::ok;
}

bool Conn::readable_within(krsd_clock::time_point until) {
  if (ssl_ != nullptr && krsd_tls_pending(ssl_)) return true;
  return krsd_wait_fd(fd_, POLLIN, until);
}

// Takes in a request's body after its root header, into req_: a body that
// is only claimed takes no more than its first part. Once that came (the
// client does send it), room for the whole body is taken from the shared
// budget in one go, in turn, while the connection holds nothing else. A
// body the budget cannot cover is read and dropped, and *refused set: the
// request gets errno 12. Before the required login only a login is kept at
// all (dispatch refuses the others without looking at their bodies).
Conn::Rx Conn::recv_body(int cmd, const uint8_t* root, size_t padded,
                         krsd_clock::time_point until, bool* refused) {
  *refused = false;
  bool keep = !st_->opts->require_login || logged_in_ || cmd == KRSD_CMD_INIT;
  const size_t first = keep ? std::min(padded, kBodyStep) : 4;
  if (req_.capacity() < first) {
    std::vector<uint8_t>().swap(req_);
    // The first part always has room: a prepared answer gives way to it,
    // and what is left lies within the free share.
    if (!cover(footprint() + first, kNoWait)) drop_answers();
    req_.reserve(first);
  }
  req_.resize(first);
  settle();
  memcpy(req_.data(), root, 4);
  Rx r = recv_exact(req_.data() + 4, first - 4, until);
  if (r != Rx::ok || first == padded) return r == Rx::closed ? Rx::lost : r;
  if (keep) {
    drop_answers();
    if (grow_req(padded, std::min(until, krsd_clock::now() + mem_wait()))) {
      r = recv_exact(req_.data() + first, padded - first, until);
      return r == Rx::closed ? Rx::lost : r;
    }
    KR_LOG(OS_LOG_WARN, "%s: no memory for a request of %zu bytes, refused\n", peer_.c_str(),
           padded);
    *refused = true;
  }
  uint8_t sink[16 << 10];
  for (size_t got = first; got < padded;) {
    size_t n = std::min(sizeof(sink), padded - got);
    r = recv_exact(sink, n, until);
    if (r != Rx::ok) return r == Rx::closed ? Rx::lost : r;
    got += n;
  }
  return Rx::ok;
}

bool Conn::send_raw(const iovec* iov_in, int cnt, size_t total, krsd_clock::time_point until) {
  if (total == 0) return true;
  iovec iov[4];
  int n = 0;
  size_t left = total;
  for (int i = 0; i < cnt && left > 0; i++) {
    size_t take = std::min(left, iov_in[i].iov_len);
    if (take == 0) continue;
    iov[n++] = {iov_in[i].iov_base, take};
    left -= take;
  }
  // A client that does not take its answer in lets the thread go at the
  // deadline, not one byte in a while for ever.
  auto wait = [&](short events) {
    if (krsd_wait_fd(fd_, events, until)) return true;
    KR_LOG(OS_LOG_WARN, "%s: answer not taken in within %d s, closing\n", peer_.c_str(),
           st_->opts->request_timeout_s);
    return false;
  };
  if (ssl_ != nullptr) {
    for (int i = 0; i < n; i++) {
      const uint8_t* p = static_cast<const uint8_t*>(iov[i].iov_base);
      size_t len = iov[i].iov_len;
      while (len > 0) {
        int chunk = static_cast<int>(std::min<size_t>(len, 1 << 20));
        long w = krsd_tls_write(ssl_, p, chunk);
        if (w == KRSD_TLS_WANT_READ || w == KRSD_TLS_WANT_WRITE) {
          if (!wait(w == KRSD_TLS_WANT_READ ? POLLIN : POLLOUT)) return false;
          continue;  // the same call again, as the library wants it
        }
        if (w <= 0) return false;
        p += w;
        len -= static_cast<size_t>(w);
      }
    }
    // The records wait in the library's write buffer until the answer is whole.
    for (;;) {
      long f = krsd_tls_flush(ssl_);
      if (f > 0) break;
      if (f != KRSD_TLS_WANT_WRITE || !wait(POLLOUT)) return false;
    }
  } else {
    int first = 0;
    while (first < n) {
      msghdr mh{};
      mh.msg_iov = iov + first;
      mh.msg_iovlen = static_cast<size_t>(n - first);
      ssize_t w = ::sendmsg(fd_, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w < 0) {
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait(POLLOUT)) continue;
        return false;
      }
      size_t adv = static_cast<size_t>(w);
      while (first < n && adv >= iov[first].iov_len) adv -= iov[first++].iov_len;
      if (first < n) {
        iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + adv;
        iov[first].iov_len -= adv;
      }
    }
  }
  sent_ += static_cast<int64_t>(total);
  return true;
}

// Tells how many bytes may go out before the next injected fault; -1 = no
// limit. A one-shot fault is claimed by the first connection that reaches it.
bool Conn::fault_point(int64_t* limit) {
  const krsd_opts& o = *st_->opts;
  *limit = -1;
  if (drop_armed_ && o.drop_after >= 0) *limit = o.drop_after;
  if (stall_armed_ && o.stall_after >= 0 && (*limit < 0 || o.stall_after < *limit))
    *limit = o.stall_after;
  return *limit >= 0;
}

bool Conn::send_iov(iovec* iov, int cnt) {
  size_t total = 0;
  for (int i = 0; i < cnt; i++) total += iov[i].iov_len;
  const krsd_opts& o = *st_->opts;
  auto until = krsd_clock::now() + request_time();
  for (;;) {
    int64_t limit;
    if (!fault_point(&limit) || sent_ + static_cast<int64_t>(total) <= limit)
      return send_raw(iov, cnt, total, until);
    // The fault lies inside this response: send up to it, then act.
    size_t before = static_cast<size_t>(limit - sent_);
    if (!send_raw(iov, cnt, before, until)) return false;
    size_t skip = before;
    for (int i = 0; i < cnt; i++) {
      size_t t = std::min(skip, iov[i].iov_len);
      iov[i].iov_base = static_cast<uint8_t*>(iov[i].iov_base) + t;
      iov[i].iov_len -= t;
      skip -= t;
    }
    total -= before;
    if (drop_armed_ && o.drop_after == limit) {
      drop_armed_ = false;
      if (!o.drop_once || !st_->drop_used.exchange(true)) {
        KR_LOG(OS_LOG_INFO, "fault: dropping %s after %lld bytes\n", peer_.c_str(),
               (long long)sent_);
        ::shutdown(fd_, SHUT_RDWR);
        return false;
      }
    }
    if (stall_armed_ && o.stall_after == limit) {
      stall_armed_ = false;
      if (!o.stall_once || !st_->stall_used.exchange(true)) {
        KR_LOG(OS_LOG_INFO, "fault: stalling %s for %d ms after %lld bytes\n", peer_.c_str(),
               o.stall_ms, (long long)sent_);
        std::this_thread::sleep_for(std::chrono::milliseconds(o.stall_ms));
        until += std::chrono::milliseconds(o.stall_ms);  // the daemon's pause, not the client's
      }
    }
  }
}

bool Conn::send_response() {
  iovec iov[2] = {{const_cast<uint8_t*>(kFramePrefix), sizeof(kFramePrefix)},
                  {resp_.bytes, msg_len(&resp_)}};
  return send_iov(iov, 2);
}

// ---- memory --------------------------------------------------------------------

// Makes the shared budget cover buffers of `target` bytes in all: takes
// what this connection does not hold yet, waiting in turn until `until` (a
// time past: not at all). False when the budget cannot give it.
bool Conn::cover(size_t target, krsd_clock::time_point until) {
  size_t want = target > kFreeShare ? target - kFreeShare : 0;
  if (want <= held_) return true;
  if (!st_->budget.take(want - held_, until)) return false;
  held_ = want;
  return true;
}

// Holds what the buffers take now: gives back what they no longer need,
// and takes what an estimate fell short by.
void Conn::settle() {
  size_t f = footprint();
  size_t want = f > kFreeShare ? f - kFreeShare : 0;
  if (want < held_)
    st_->budget.give(held_ - want);
  else if (want > held_)
    st_->budget.force(want - held_);
  held_ = want;
}

// Gives the answer buffers back, a prepared read too (a prepared failure
// stays: it holds no data).
void Conn::drop_answers() {
  std::vector<uint8_t>().swap(data_);
  blobmsg_buf_free(&resp_);
  blobmsg_buf_free(&ahead_buf_);
  if (ahead_.err == 0) ahead_.valid = false;
}

// Gives every buffer back. Between requests only, or once the request's
// attributes were taken out of req_.
void Conn::shed() {
  drop_answers();
  std::vector<uint8_t>().swap(req_);
  settle();
}

// Makes req_ n bytes long, keeping its bytes; waits in turn for memory
// until `until`. Only the new bytes are touched, which the body fills as it
// comes. False when the budget cannot cover it.
bool Conn::grow_req(size_t n, krsd_clock::time_point until) {
  if (req_.size() >= n) return true;
  if (req_.capacity() < n) {
    // The old bytes and the new are both held while the first are copied.
    if (!cover(footprint() + n, until)) return false;
    std::vector<uint8_t> bigger;
    bigger.reserve(n);
    bigger.assign(req_.begin(), req_.end());
    req_.swap(bigger);
  }
  req_.resize(n);
  settle();
  return true;
}

// Covers what a read answer of n bytes built into *out takes (and, with a
// codec, the plain data it is packed from). With wait, it gives back
// everything else this connection holds (so that nobody waits for one
// another) and waits its turn for a bounded time; else it takes only what
// is free at once.
bool Conn::afford_read(size_t n, blobmsg_buf* out, bool wait) {
  auto target = [&] {
    size_t need = (codec_ ? zcomp_bound(n) : n) + kAnswerHead;
    size_t t = footprint() - out->capacity +
               (out->capacity >= need ? out->capacity : need + kBuilderStep);
    if (codec_ && data_.capacity() < n) t += n - data_.capacity();
    return t;
  };
  if (cover(target(), kNoWait)) return true;
  if (!wait) return false;
  shed();
  return cover(target(), krsd_clock::now() + mem_wait());
}

// data_ as a scratch area of at least n bytes; its old bytes do not count.
void scratch(std::vector<uint8_t>* v, size_t n) {
  if (v->size() >= n) return;
  if (v->capacity() < n) std::vector<uint8_t>().swap(*v);  // no copy, no two at once
  v->resize(n);
}

// ---- requests ----------------------------------------------------------------

krsd_file* Conn::lookup(const blob_attr* fd_attr, int* err) {
  auto it = files_.find(blobmsg_get_u64(fd_attr));
  if (it == files_.end()) {
    *err = EBADF;
    return nullptr;
  }
  return it->second.get();
}

bool Conn::on_login(const uint8_t* body, size_t len) {
  using Q = krp::init::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  std::string user, pass;
  if (krp::parse<Q>(tb, body, len) != 0 || !whole_string(tb[Q::user], &user) ||
      !whole_string(tb[Q::passwd], &pass)) {
    err = EINVAL;
  } else if (st_->opts->require_login) {
    // Both are compared whatever the first gives, so that timing tells nothing.
    bool user_ok = same_secret(user, st_->opts->user);
    bool pass_ok = same_secret(pass, st_->opts->password);
    if (!user_ok || !pass_ok) err = EACCES;
  }
  if (err == EACCES) {
    KR_LOG(OS_LOG_WARN, "login of user [%s] from %s refused\n", user.c_str(), peer_.c_str());
    // The answer waits its turn, and the connection with it. Closing it
    // sooner would answer as well: past its login time it is closed then.
    const auto at = st_->logins.refused(addr_);
    if (in_login_ && at > login_until_) {
      std::this_thread::sleep_until(login_until_);
      log_late("login");
      return false;
    }
    std::this_thread::sleep_until(at);
  } else if (err == 0 && st_->opts->require_login) {
    st_->logins.accepted(addr_);
  }
  logged_in_ = err == 0;
  if (!answer<krp::init::answer>(err, KRSD_OS_TYPE_POSIX)) return false;
  return send_response();
}

bool Conn::on_open(const uint8_t* body, size_t len) {
  using Q = krp::open::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  int64_t handle = 0;
  std::string path;
  if (krp::parse<Q>(tb, body, len) != 0 || !whole_string(tb[Q::path], &path)) {
    err = EINVAL;
  } else if (files_.size() >= kMaxOpenFiles) {
    err = EMFILE;
  } else {
    std::unique_ptr<krsd_file> f;
    int64_t mode = blobmsg_get_u64(tb[Q::mode]);
    err = krsd_file::open(*st_->fs, path, mode, &f);
    if (err == 0) {
      handle = next_handle_++;
      files_[handle] = std::move(f);
    }
    KR_LOG(err ? OS_LOG_WARN : OS_LOG_DEBUG, "open [%s] mode=%lld from %s: %s\n", path.c_str(),
           (long long)mode, peer_.c_str(), err ? krsd_errno_text(err).c_str() : "ok");
  }
  if (!answer<krp::open::answer>(err, handle)) return false;
  return send_response();
}

bool Conn::on_close(const uint8_t* body, size_t len) {
  using Q = krp::close::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  if (krp::parse<Q>(tb, body, len) != 0) {
    err = EINVAL;
  } else if (files_.erase(blobmsg_get_u64(tb[Q::fd])) == 0) {
    err = EBADF;
  }
  if (!answer<krp::close::answer>(err)) return false;
  return send_response();
}

bool Conn::fail_read(int err) {
  if (!answer<krp::read::answer>(err, 0, 0, krp::bytes{nullptr, 0})) return false;
  return send_response();
}

// Builds a successful read answer for n bytes at off into *out: the answer
// is laid out before the data is read, so that the data lands in the
// message at once (straight from pread without a codec, else packed from
// the reused buffer); "len" is filled in afterwards. False when the message
// cannot be built; else true with *err 0, or the read's errno value (the
// message is then unusable).
bool Conn::build_read(krsd_file* f, int64_t off, size_t n, blobmsg_buf* out, size_t* got, int* err) {
  *got = 0;
  *err = 0;
  using A = krp::read::answer;
  if (blobmsg_begin(out) != 0 || krp::put<A>(out, 0, "") != 0) return false;
  size_t len_at = msg_len(out);
  void* payload = nullptr;
  size_t cap = codec_ ? zcomp_bound(n) : n;
  blob_attr* data = nullptr;
  if (krp::put<A, A::len>(out, 0, 0, krp::room{cap, &payload, &data}) != 0) return false;
  size_t packed;
  if (codec_ == nullptr) {
    *err = f->read_at(off, static_cast<uint8_t*>(payload), n, got);
    packed = *got;
  } else {
    scratch(&data_, n);
    *err = f->read_at(off, data_.data(), n, got);
    int r = *err ? 0
                 : zcomp_compress(codec_, data_.data(), static_cast<int>(*got), payload,
                                  static_cast<int>(cap));
    if (r < 0) {
      KR_LOG(OS_LOG_ERR, "packing %zu bytes failed\n", *got);
      return false;
    }
    packed = static_cast<size_t>(r);
  }
  if (*err != 0) return true;
  if (blobmsg_commit(out, data, packed) != 0) return false;
  blob_attr* len_attr = reinterpret_cast<blob_attr*>(out->bytes + len_at);
  blob_put_be32(const_cast<void*>(blobmsg_data(len_attr)), static_cast<uint32_t>(*got));
  return true;
}

// While the client takes in one block, the next one is most likely the
// following block of the same length: it is read and packed now, and sent
// at once when that request comes. Only a full block is kept, so a file
// that grew meanwhile is never answered short. A read that fails is kept
// too: its error answers the request, for a device that takes long to fail
// must not be made to fail the same read again.
void Conn::read_ahead(int64_t handle, krsd_file* f, int32_t want) {
  ahead_.valid = false;
  size_t full = std::min<size_t>(static_cast<size_t>(want), KRSD_MAX_DATA);
  size_t n = f->clamp_read(full);
  if (n == 0 || n < full) return;
  // Only from memory that is free at once, and none while others wait for it.
  if (st_->budget.contended() || !afford_read(n, &ahead_buf_, false)) return;
  size_t got = 0;
  int err = 0;
  if (!build_read(f, f->position(), n, &ahead_buf_, &got, &err) || (err == 0 && got != n)) return;
  if (err != 0) log_failed_read(f, n, err);
  ahead_ = {true, handle, f->position(), want, codec_gen_, got, err};
}

void Conn::log_failed_read(const krsd_file* f, size_t n, int err) {
  KR_LOG(OS_LOG_DEBUG, "read %zu bytes at %lld: %s\n", n, (long long)f->position(),
         krsd_errno_text(err).c_str());
}

// What a read-only daemon refused is logged: the one trace of a client
// that tried to change the evidence.
void Conn::log_refused_change(const char* what, const krsd_file* f, int err) {
  if (err != EROFS || f == nullptr) return;
  KR_LOG(OS_LOG_WARN, "%s [%s] from %s refused: %s\n", what, f->path().c_str(), peer_.c_str(),
         krsd_errno_text(err).c_str());
}

bool Conn::on_read(const uint8_t* body, size_t len) {
  using Q = krp::read::request;
  const blob_attr* tb[Q::count];
  bool ahead = ahead_.valid;
  ahead_.valid = false;
  if (krp::parse<Q>(tb, body, len) != 0) return fail_read(EINVAL);
  int err = 0;
  krsd_file* f = lookup(tb[Q::fd], &err);
  if (f == nullptr) return fail_read(err);
  int64_t handle = blobmsg_get_u64(tb[Q::fd]);
  int32_t want = blobmsg_get_u32(tb[Q::len]);
  if (want < 0) return fail_read(EINVAL);
  size_t got = 0;
  if (ahead && ahead_.handle == handle && ahead_.pos == f->position() && ahead_.want == want &&
      ahead_.codec_gen == codec_gen_) {
    err = ahead_.err;
    if (err == 0) {
      std::swap(resp_, ahead_buf_);
      got = ahead_.got;
    }
  } else {
    size_t n = f->clamp_read(std::min<size_t>(static_cast<size_t>(want), KRSD_MAX_DATA));
    // May give back req_, which the attributes above were taken from.
    if (!afford_read(n, &resp_, true)) {
      KR_LOG(OS_LOG_WARN, "%s: no memory for a read of %zu bytes, refused\n", peer_.c_str(), n);
      return fail_read(ENOMEM);
    }
    if (!build_read(f, f->position(), n, &resp_, &got, &err)) return false;
    if (err != 0) log_failed_read(f, n, err);
    ahead_ = {err != 0, handle, f->position(), want, codec_gen_, 0, err};
  }
  if (err != 0) {
    // The position stays; the same read, sent again at once (a client with
    // more requests in flight sends just that), gets the same answer
    // without another attempt on the device. Any other request forgets it.
    ahead_.valid = true;
    return fail_read(err);
  }
  f->advance(got);
  if (!send_response()) return false;
  if (got > 0) read_ahead(handle, f, want);
  return true;
}

bool Conn::on_write(const uint8_t* body, size_t len) {
  using Q = krp::write::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  size_t put = 0;
  krsd_file* f = nullptr;
  if (krp::parse<Q>(tb, body, len) != 0) {
    err = EINVAL;
  } else if ((f = lookup(tb[Q::fd], &err)) != nullptr) {
    int32_t plain = blobmsg_get_u32(tb[Q::len]);
    const void* packed = blobmsg_data(tb[Q::data]);
    size_t packed_len = blobmsg_data_len(tb[Q::data]);
    if (plain < 0 || static_cast<size_t>(plain) > KRSD_MAX_DATA) {
      err = EINVAL;
    } else if (codec_ == nullptr) {
      // Without a codec the data is the plain bytes, exactly "len" of them.
      if (packed_len != static_cast<size_t>(plain))
        err = EINVAL;
      else
        err = f->write(static_cast<const uint8_t*>(packed), packed_len, &put);
    } else if (data_.capacity() < static_cast<size_t>(plain) &&
               !cover(footprint() + static_cast<size_t>(plain) - data_.capacity(), kNoWait)) {
      err = ENOMEM;  // the body is held already: no waiting on others while holding it
      KR_LOG(OS_LOG_WARN, "%s: no memory for a write of %d bytes, refused\n", peer_.c_str(), plain);
    } else {
      scratch(&data_, static_cast<size_t>(plain));
      int r = zcomp_decompress(codec_, packed, static_cast<int>(packed_len), data_.data(), plain);
      if (r != plain)
        err = EINVAL;  // corrupt, or not "len" bytes once unpacked
      else
        err = f->write(data_.data(), static_cast<size_t>(plain), &put);
    }
    log_refused_change("write", f, err);
  }
  if (!answer<krp::write::answer>(err, static_cast<int32_t>(put))) return false;
  return send_response();
}

bool Conn::on_sync_or_truncate(int cmd, const uint8_t* body, size_t len) {
  using S = krp::sync::request;
  using T = krp::truncate::request;
  static_assert(int(S::fd) == int(T::fd));
  const blob_attr* tb[T::count];
  int err = 0;
  int64_t handle = 0;
  krsd_file* f = nullptr;
  bool ok = cmd == KRSD_CMD_SYNC ? blobmsg_parse(S::rules, S::count, tb, body, len) == 0
                                 : krp::parse<T>(tb, body, len) == 0;
  if (!ok) {
    err = EINVAL;
  } else if ((f = lookup(tb[T::fd], &err)) != nullptr) {
    handle = blobmsg_get_u64(tb[T::fd]);
    err = cmd == KRSD_CMD_SYNC ? f->sync() : f->truncate(blobmsg_get_u64(tb[T::len]));
    log_refused_change(cmd == KRSD_CMD_SYNC ? "sync" : "truncate", f, err);
  }
  // Both answer with the handle.
  static_assert(std::is_same_v<krp::sync::answer, krp::truncate::answer>);
  if (!answer<krp::sync::answer>(err, handle)) return false;
  return send_response();
}

bool Conn::on_seek(const uint8_t* body, size_t len) {
  using Q = krp::seek::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  int64_t pos = 0;
  krsd_file* f = nullptr;
  if (krp::parse<Q>(tb, body, len) != 0) {
    err = EINVAL;
  } else if ((f = lookup(tb[Q::fd], &err)) != nullptr) {
    err = f->seek(blobmsg_get_u64(tb[Q::offset]), blobmsg_get_u64(tb[Q::mode]), &pos);
  }
  if (!answer<krp::seek::answer>(err, pos)) return false;
  return send_response();
}

bool Conn::on_finfo(const uint8_t* body, size_t len) {
  using Q = krp::finfo::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  krsd_file_facts fi;
  krsd_file* f = nullptr;
  if (krp::parse<Q>(tb, body, len) != 0) {
    err = EINVAL;
  } else if ((f = lookup(tb[Q::fd], &err)) != nullptr) {
    err = f->info(&fi);
  }
  if (err != 0) fi = krsd_file_facts{0, 0, 0, 0, ""};
  if (!answer<krp::finfo::answer>(err, fi.type, fi.size, fi.offset, fi.sector_bytes, fi.info)) return false;
  return send_response();
}

bool Conn::on_ioctl(const uint8_t* body, size_t len) {
  using Q = krp::ioctl::request;
  const blob_attr* tb[Q::count];
  int err = 0;
  if (krp::parse<Q>(tb, body, len) != 0) {
    err = EINVAL;
  } else {
    int32_t cmd = blobmsg_get_u32(tb[Q::cmd]);
    int32_t n = blobmsg_get_u32(tb[Q::len]);
    const char* data = static_cast<const char*>(blobmsg_data(tb[Q::data]));
    size_t data_len = blobmsg_data_len(tb[Q::data]);
    if (cmd != KRSD_IOCTL_PACK) {
      err = ENOTTY;
    } else if (n <= 0 || static_cast<size_t>(n) > data_len ||
               strnlen(data, static_cast<size_t>(n)) >= static_cast<size_t>(n)) {
      err = EINVAL;  // the name must end with its NUL within "len" bytes
    } else if (strcmp(data, "none") == 0) {
      zcomp_close(codec_);
      codec_ = nullptr;
      codec_gen_++;
    } else if (zcomp* z = zcomp_open(data); z != nullptr) {
      zcomp_close(codec_);
      codec_ = z;
      codec_gen_++;
    } else {
      err = EINVAL;
      KR_LOG(OS_LOG_WARN, "unknown codec [%.32s] from %s\n", data, peer_.c_str());
    }
  }
  if (!answer<krp::ioctl::answer>(err)) return false;
  return send_response();
}

// Answers a request that is not served with err; the answer still carries
// every attribute of its command's answer (numbers 0, texts empty; the
// platform of a login).
bool Conn::refuse(int cmd, int err) {
  bool built;
  switch (cmd) {
    case KRSD_CMD_READ: return fail_read(err);
    case KRSD_CMD_INIT: built = answer<krp::init::answer>(err, KRSD_OS_TYPE_POSIX); break;
    case KRSD_CMD_OPEN:
    case KRSD_CMD_SYNC:
    case KRSD_CMD_TRUNCATE: built = answer<krp::fd_answer>(err, 0); break;
    case KRSD_CMD_WRITE: built = answer<krp::write::answer>(err, 0); break;
    case KRSD_CMD_SEEK: built = answer<krp::seek::answer>(err, 0); break;
    case KRSD_CMD_FINFO: built = answer<krp::finfo::answer>(err, 0, 0, 0, 0, ""); break;
    default: built = answer<krp::answer_head>(err); break;
  }
  return built && send_response();
}

// A connection closed at a deadline: within its login time, the login's.
void Conn::log_late(const char* what) const {
  const krsd_opts& o = *st_->opts;
  if (in_login_)
    KR_LOG(OS_LOG_WARN, "%s: no login within %d s, closing\n", peer_.c_str(), o.login_timeout_s);
  else
    KR_LOG(OS_LOG_WARN, "%s: %s not received whole within %d s, closing\n", peer_.c_str(), what,
           o.request_timeout_s);
}

bool Conn::dispatch(int cmd, const uint8_t* body, size_t len) {
  if (st_->opts->verbose)
    KR_LOG(OS_LOG_DEBUG, "%s: cmd=%d len=%zu\n", peer_.c_str(), cmd, len);
  if (cmd != KRSD_CMD_READ) ahead_.valid = false;  // anything else may change what a read gives
  if (cmd == KRSD_CMD_EXIT) return false;
  if (cmd == KRSD_CMD_INIT) return on_login(body, len);
  if (st_->opts->require_login && !logged_in_) {
    // Nothing but a login is served before a login succeeded.
    return refuse(cmd, EACCES);
  }
  switch (cmd) {
    case KRSD_CMD_OPEN: return on_open(body, len);
    case KRSD_CMD_CLOSE: return on_close(body, len);
    case KRSD_CMD_READ: return on_read(body, len);
    case KRSD_CMD_WRITE: return on_write(body, len);
    case KRSD_CMD_SYNC:
    case KRSD_CMD_TRUNCATE: return on_sync_or_truncate(cmd, body, len);
    case KRSD_CMD_SEEK: return on_seek(body, len);
    case KRSD_CMD_FINFO: return on_finfo(body, len);
    case KRSD_CMD_IOCTL: return on_ioctl(body, len);
    default:
      if (!answer<krp::answer_head>(ENOSYS)) return false;
      return send_response();
  }
}

void Conn::run(bool tls) {
  const krsd_opts& o = *st_->opts;
  login_until_ = krsd_clock::now() + std::chrono::seconds(o.login_timeout_s);
  int fl = fcntl(fd_, F_GETFL);
  if (fl < 0 || fcntl(fd_, F_SETFL, fl | O_NONBLOCK) != 0) return;
  sockaddr_storage ss{};
  socklen_t sl = sizeof(ss);
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &sl) == 0) addr_ = krsd_addr_of(ss);
  if (tls) {
    std::string err;
    ssl_ = st_->tls->accept(fd_, login_until_, &err);
    if (ssl_ == nullptr) {
      KR_LOG(OS_LOG_WARN, "%s: TLS %s\n", peer_.c_str(), err.c_str());
      return;
    }
    KR_LOG(OS_LOG_DEBUG, "%s: %s %s\n", peer_.c_str(), krsd_tls_version(ssl_),
           krsd_tls_cipher(ssl_));
  }
  auto bounded = [&](krsd_clock::time_point t) { return in_login_ ? std::min(t, login_until_) : t; };
  for (;;) {
    // Between requests: the idle time until the next one begins; what the
    // buffers hold of the shared budget goes back after a moment.
    const auto idle_until = bounded(krsd_clock::now() + std::chrono::seconds(o.idle_timeout_s));
    if (held_ > 0 && !readable_within(std::min(krsd_clock::now() + kHoldIdle, idle_until))) shed();
    if (!readable_within(idle_until)) {
      if (in_login_)
        log_late("login");
      else
        KR_LOG(OS_LOG_DEBUG, "%s: connection lost or idle\n", peer_.c_str());
      return;
    }
    // From its beginning on, the whole request has its own time.
    const auto until = bounded(krsd_clock::now() + request_time());
    uint8_t hdr[KRSD_FRAME_HEAD_LEN];
    Rx r = recv_exact(hdr, sizeof(hdr), until);
    if (r == Rx::late)
      log_late("request");
    else if (r == Rx::lost)
      KR_LOG(OS_LOG_DEBUG, "%s: connection lost or idle\n", peer_.c_str());
    if (r != Rx::ok) return;
    if (hdr[0] != KRSD_FRAME_MAGIC0 || hdr[1] != KRSD_FRAME_MAGIC1 || hdr[2] != KRSD_FRAME_VERSION) {
      KR_LOG(OS_LOG_WARN, "%s: bad frame header %02x %02x %02x, closing\n", peer_.c_str(),
             hdr[0], hdr[1], hdr[2]);
      return;
    }
    uint32_t word = blob_get_be32(hdr + 4);
    size_t root_len = word & BLOB_ATTR_LEN_MASK;
    size_t padded = (root_len + 3) & ~size_t(3);
    if ((word & BLOB_ATTR_EXTENDED) || ((word & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT) !=
                                           BLOBMSG_TYPE_TABLE ||
        root_len < 4 || padded > KRSD_MAX_REQUEST) {
      KR_LOG(OS_LOG_WARN, "%s: bad request root %08x, closing\n", peer_.c_str(), word);
      return;
    }
    bool refused = false;
    r = recv_body(hdr[3], hdr + 4, padded, until, &refused);
    if (r == Rx::late) log_late("request");
    if (r == Rx::lost) KR_LOG(OS_LOG_WARN, "%s: request body cut short, closing\n", peer_.c_str());
    if (r != Rx::ok) return;
    const bool served = refused && hdr[3] != KRSD_CMD_EXIT
                            ? refuse(hdr[3], ENOMEM)
                            : dispatch(hdr[3], req_.data() + 4, root_len - 4);
    if (!served) return;
    if (!o.require_login || logged_in_) in_login_ = false;
    // Others wait for memory: what this connection holds goes back now.
    if (held_ > 0 && st_->budget.contended())
      shed();
    else
      settle();
  }
}

}  // namespace

void krsd_conn_serve(krsd_server_state* st, int fd, bool tls, const std::string& peer) {
  try {
    Conn c(st, fd, peer);
    c.run(tls);
  } catch (const std::exception& e) {
    KR_LOG(OS_LOG_ERR, "%s: connection ended by an exception: %s\n", peer.c_str(), e.what());
  } catch (...) {
    KR_LOG(OS_LOG_ERR, "%s: connection ended by an exception\n", peer.c_str());
  }
}
