#include "seq_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "blobmsg.h"
#include "krp_msg.h"
#include "zcomp.h"

namespace krsd_test {

std::vector<std::string> Faults::krsd_args() const {
  std::vector<std::string> a;
  for (const Range& r : bad) {
    a.push_back("--bad-range");
    a.push_back(std::to_string(r.off) + ":" + std::to_string(r.len));
  }
  if (vanish_at >= 0) a.insert(a.end(), {"--vanish-at", std::to_string(vanish_at)});
  if (drop_after >= 0) a.insert(a.end(), {"--drop-after", std::to_string(drop_after) + ",once"});
  if (stall_after >= 0)
    a.insert(a.end(), {"--stall-after",
                       std::to_string(stall_after) + ":" + std::to_string(stall_ms) + ",once"});
  return a;
}

namespace {

bool recv_all(int fd, void* p, size_t n) {
  uint8_t* b = static_cast<uint8_t*>(p);
  while (n > 0) {
    ssize_t r = recv(fd, b, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r;
    n -= size_t(r);
  }
  return true;
}

// One connection: the session state and the answer being built.
class Session {
 public:
  Session(int fd, int file, const Faults& f, const Lies& lies, std::atomic<bool>* drop_used,
          std::atomic<bool>* stall_used)
      : fd_(fd), file_(file), faults_(f), lies_(lies), drop_used_(drop_used), stall_used_(stall_used) {}
  ~Session() {
    zcomp_close(codec_);
    blobmsg_buf_free(&out_);
  }

  // Answers the request; false ends the connection.
  bool answer(int cmd, const uint8_t* body, size_t len, SeenRequest* seen);

 private:
  // Builds the answer M: the errno err with its text, then the values v.
  template <class M = krp::answer_head, class... V>
  bool begin(int err, const V&... v) {
    const char* text = !err ? "" : lies_.errno_text.empty() ? strerror(err) : lies_.errno_text.c_str();
    return krp::encode<M>(&out_, err, text, v...) == 0;
  }
  bool send_answer();
  bool read(const uint8_t* body, size_t len, SeenRequest* seen);
  int fault(int64_t off, int64_t n) const;
  int64_t size() const {
    struct stat st;
    return fstat(file_, &st) == 0 ? st.st_size : 0;
  }

  int fd_, file_;
  const Faults& faults_;
  const Lies& lies_;
  std::atomic<bool>*drop_used_, *stall_used_;
  zcomp* codec_ = nullptr;
  int64_t pos_ = 0;
  int64_t sent_ = 0;
  blobmsg_buf out_{};
};

int Session::fault(int64_t off, int64_t n) const {
  if (n == 0) return 0;
  if (faults_.vanish_at >= 0 && off + n > faults_.vanish_at) return ENXIO;
  for (const Faults::Range& r : faults_.bad)
    if (off < r.off + r.len && r.off < off + n) return EIO;
  return 0;
}

bool Session::send_answer() {
  size_t n = msg_len(&out_);
  std::vector<uint8_t> frame(KRSD_FRAME_HEAD_LEN + n - 4);
  sd_frame_head_encode(frame.data(), KRSD_FRAME_VERSION, KRSD_FRAME_RESPONSE, out_.bytes);
  memcpy(frame.data() + KRSD_FRAME_HEAD_LEN, out_.bytes + 4, n - 4);
  size_t done = 0;
  while (done < frame.size()) {
    size_t piece = frame.size() - done;
    if (faults_.drop_after >= sent_ && !drop_used_->load() &&
        sent_ + int64_t(piece) > faults_.drop_after) {
      piece = size_t(faults_.drop_after - sent_);
      if (piece == 0) {
        if (!drop_used_->exchange(true)) {
          shutdown(fd_, SHUT_RDWR);
          return false;
        }
        piece = frame.size() - done;
      }
    }
    if (faults_.stall_after >= sent_ && !stall_used_->load() &&
        sent_ + int64_t(piece) > faults_.stall_after) {
      piece = size_t(faults_.stall_after - sent_);
      if (piece == 0) {
        if (!stall_used_->exchange(true))
          std::this_thread::sleep_for(std::chrono::milliseconds(faults_.stall_ms));
        piece = frame.size() - done;
      }
    }
    ssize_t w = send(fd_, frame.data() + done, piece, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += size_t(w);
    sent_ += w;
  }
  return true;
}

bool Session::read(const uint8_t* body, size_t len, SeenRequest* seen) {
  using Q = krp::read::request;
  const blob_attr* tb[Q::count];
  int err = krp::parse<Q>(tb, body, len) == 0 ? 0 : EINVAL;
  int64_t want = err ? 0 : int32_t(blobmsg_get_u32(tb[Q::len]));
  seen->a = want;
  if (!err && want < 0) err = EINVAL;
  int64_t n = std::max<int64_t>(0, std::min<int64_t>(want, size() - pos_));
  if (!err) err = fault(pos_, n);
  std::vector<uint8_t> plain(size_t(err ? 0 : std::max<int64_t>(0, n + lies_.read_extra - lies_.len_short)));
  const size_t from_file = std::min(plain.size(), size_t(n));
  if (!err && from_file > 0 && pread(file_, plain.data(), from_file, pos_) != ssize_t(from_file)) err = EIO;
  std::vector<uint8_t> packed;
  if (!err && codec_) {
    packed.resize(zcomp_bound(plain.size()));
    int p = zcomp_compress(codec_, plain.data(), int(plain.size()), packed.data(), int(packed.size()));
    if (p < 0) return false;
    packed.resize(size_t(p));
  } else if (!err) {
    packed = plain;
  }
  if (!err) pos_ += n;  // a failed read stays where it was
  return begin<krp::read::answer>(err, err ? 0 : n, 0, krp::bytes{packed.data(), packed.size()}) &&
         send_answer();
}

bool Session::answer(int cmd, const uint8_t* body, size_t len, SeenRequest* seen) {
  if (cmd == KRSD_CMD_FINFO) {
    using Q = krp::finfo::request;
    const blob_attr* tb[Q::count];
    if (krp::parse<Q>(tb, body, len) == 0) seen->a = int64_t(blobmsg_get_u64(tb[Q::fd]));
  }
  if (cmd == lies_.fail_cmd && cmd != KRSD_CMD_EXIT) {
    if (cmd == KRSD_CMD_READ)
      return begin<krp::read::answer>(lies_.fail_errno, 0, 0, krp::bytes{nullptr, 0}) && send_answer();
    if (cmd == KRSD_CMD_FINFO)
      return begin<krp::finfo::answer>(lies_.fail_errno, 0, 0, 0, 0, "") && send_answer();
    // Any other command: what the answers of all of them carry.
    return begin(lies_.fail_errno) &&
           krp::put<krp::init::answer, krp::init::answer::os_type>(&out_, KRSD_OS_TYPE_POSIX) == 0 &&
           krp::put<krp::fd_answer, krp::fd_answer::fd>(&out_, 0) == 0 &&
           krp::put<krp::seek::answer, krp::seek::answer::offset>(&out_, 0) == 0 && send_answer();
  }
  switch (cmd) {
    case KRSD_CMD_EXIT:
      return false;
    case KRSD_CMD_INIT:
      return begin<krp::init::answer>(0, KRSD_OS_TYPE_POSIX) && send_answer();
    case KRSD_CMD_IOCTL: {
      using Q = krp::ioctl::request;
      const blob_attr* tb[Q::count];
      int err = EINVAL;
      if (krp::parse<Q>(tb, body, len) == 0 && blobmsg_data_len(tb[Q::data]) > 0) {
        const char* data = static_cast<const char*>(blobmsg_data(tb[Q::data]));
        std::string name(data, strnlen(data, blobmsg_data_len(tb[Q::data])));
        zcomp* z = name == "none" ? nullptr : zcomp_open(name.c_str());
        if (name == "none" || z) {
          zcomp_close(codec_);
          codec_ = z;
          err = 0;
        }
      }
      return begin(err) && send_answer();
    }
    case KRSD_CMD_OPEN:
      pos_ = 0;
      return begin<krp::open::answer>(0, 1) && send_answer();
    case KRSD_CMD_CLOSE:
      return begin(0) && send_answer();
    case KRSD_CMD_READ:
      return read(body, len, seen);
    case KRSD_CMD_SEEK: {
      using Q = krp::seek::request;
      const blob_attr* tb[Q::count];
      int err = krp::parse<Q>(tb, body, len) == 0 ? 0 : EINVAL;
      if (!err) {
        int64_t off = int64_t(blobmsg_get_u64(tb[Q::offset]));
        int64_t mode = int64_t(blobmsg_get_u64(tb[Q::mode]));
        seen->a = off;
        seen->b = mode;
        int64_t base = mode == 0 ? 0 : mode == 1 ? pos_ : size();
        if (mode < 0 || mode > 2 || base + off < 0)
          err = EINVAL;
        else
          pos_ = base + off + (base + off != 0 ? lies_.seek_skew : 0);
      }
      return begin<krp::seek::answer>(err, pos_) && send_answer();
    }
    case KRSD_CMD_FINFO: {
      const int64_t n = lies_.size >= 0 ? lies_.size : size();
      return begin<krp::finfo::answer>(0, KRSD_FTYPE_REGULAR, n, pos_, 512, "seq") && send_answer();
    }
    default:
      return begin(ENOSYS) && send_answer();
  }
}

}  // namespace

SeqDaemon::SeqDaemon(std::string file, Faults faults, Lies lies)
    : file_(std::move(file)), faults_(std::move(faults)), lies_(std::move(lies)) {
  lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  if (lfd_ < 0 || bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd_, 8) != 0 ||
      getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &alen) != 0)
    return;
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

SeqDaemon::~SeqDaemon() {
  quit_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> conns;
  {
    std::lock_guard<std::mutex> g(mu_);
    conns.swap(conns_);
  }
  for (auto& t : conns) t.join();
  if (lfd_ >= 0) close(lfd_);
}

bool SeqDaemon::wait_closed(int ms) const {
  for (int waited = 0; open_conns_.load() > 0; waited += 5) {
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<SeenRequest> SeqDaemon::seen() const {
  std::lock_guard<std::mutex> g(mu_);
  return seen_;
}

void SeqDaemon::accept_loop() {
  while (!quit_) {
    pollfd p{lfd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> g(mu_);
    open_conns_++;
    conns_.emplace_back([this, fd] {
      serve(fd);
      open_conns_--;
    });
  }
}

void SeqDaemon::serve(int fd) {
  int file = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  Session s(fd, file, faults_, lies_, &drop_used_, &stall_used_);
  std::vector<uint8_t> body;
  while (!quit_ && file >= 0) {
    // A wait that looks at quit_ now and then, so that the test can end.
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r == 0) continue;
    uint8_t head[KRSD_FRAME_HEAD_LEN];
    uint8_t cmd = 0;
    uint32_t word = 0, pl = 0;
    if (r < 0 || !recv_all(fd, head, sizeof head) ||
        sd_frame_head_decode(head, &cmd, &word, &pl) != 0 || head[2] != KRSD_FRAME_VERSION)
      break;
    body.resize(pl - 4);
    if (!recv_all(fd, body.data(), body.size())) break;
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) queued = -1;
    SeenRequest seen{cmd, 0, 0, queued};
    bool go_on = s.answer(cmd, body.data(), (word & BLOB_ATTR_LEN_MASK) - 4, &seen);
    {
      std::lock_guard<std::mutex> g(mu_);
      seen_.push_back(seen);
    }
    if (!go_on) break;
  }
  if (file >= 0) close(file);
  close(fd);
}

}  // namespace krsd_test
