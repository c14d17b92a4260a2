#include "krsd_guard.h"

#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

krsd_addr krsd_addr_of(const sockaddr_storage& ss) {
  krsd_addr a;
  if (ss.ss_family == AF_INET) {
    a.bytes[10] = a.bytes[11] = 0xff;
    memcpy(a.bytes.data() + 12, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, 4);
  } else if (ss.ss_family == AF_INET6) {
    memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, 16);
  }
  return a;
}

bool krsd_wait_fd(int fd, short events, krsd_clock::time_point until) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - krsd_clock::now()).count();
    if (left < 0) left = 0;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (r > 0) return true;
    if (r == 0) {
      if (left == 0) return false;
      continue;  // woke a little early
    }
    if (errno != EINTR) return true;  // the next transfer reports it
  }
}

// ---- krsd_budget ---------------------------------------------------------------

void krsd_budget::set_limit(size_t bytes) {
  std::lock_guard<std::mutex> l(m_);
  limit_ = bytes;
}

bool krsd_budget::take(size_t n, krsd_clock::time_point until) {
  std::unique_lock<std::mutex> l(m_);
  if (n > limit_) return false;
  if (line_.empty() && used_ + n <= limit_) {
    used_ += n;
    return true;
  }
  if (until <= krsd_clock::now()) return false;
  auto me = line_.insert(line_.end(), 0);
  bool got = cv_.wait_until(l, until, [&] { return line_.begin() == me && used_ + n <= limit_; });
  line_.erase(me);
  if (got) used_ += n;
  cv_.notify_all();  // the next in line may fit now, or be first
  return got;
}

void krsd_budget::force(size_t n) {
  std::lock_guard<std::mutex> l(m_);
  used_ += n;
}

void krsd_budget::give(size_t n) {
  std::lock_guard<std::mutex> l(m_);
  used_ -= std::min(n, used_);
  if (!line_.empty()) cv_.notify_all();
}

bool krsd_budget::contended() const {
  std::lock_guard<std::mutex> l(m_);
  return !line_.empty();
}

// ---- krsd_login_gate -----------------------------------------------------------

namespace {

// Wrong logins long ago are forgiven; the table stays small whatever the
// peers do.
constexpr auto kForget = std::chrono::minutes(15);
constexpr size_t kMaxPeers = 256;

}  // namespace

krsd_clock::time_point krsd_login_gate::refused(const krsd_addr& peer) {
  std::lock_guard<std::mutex> l(m_);
  const auto now = krsd_clock::now();
  auto it = peers_.find(peer.bytes);
  if (it == peers_.end()) {
    if (peers_.size() >= kMaxPeers) {
      auto oldest = std::min_element(peers_.begin(), peers_.end(), [](const auto& a, const auto& b) {
        return a.second.next < b.second.next;
      });
      peers_.erase(oldest);
    }
    it = peers_.emplace(peer.bytes, Entry{}).first;
  }
  Entry& e = it->second;
  if (e.wrong > 0 && now - e.next > kForget) e = Entry{};
  e.wrong++;
  const auto delay = std::min<std::chrono::milliseconds>(
      kFirstDelay * (int64_t(1) << std::min(e.wrong - 1, 16)), kMaxDelay);
  e.next = std::max(now, e.next) + delay;
  return e.next;
}

void krsd_login_gate::accepted(const krsd_addr& peer) {
  std::lock_guard<std::mutex> l(m_);
  peers_.erase(peer.bytes);
}
