// Stop requests on POSIX: a flag for the quick check and an eventfd that a
// poll of the watching thread includes, so that raising it wakes the poll.
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "cancel_posix.h"
#include "tb_cancel.h"

struct tb_cancel_s {
  int fd = -1;
  std::atomic<bool> raised{false};
};

namespace {

thread_local tb_cancel_s* t_watched = nullptr;

constexpr nfds_t kMaxFds = 4;  // the callers' descriptors plus the stop request's

}  // namespace

tb_cancel_ref_t tb_cancel_init() {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  tb_cancel_s* c = new (std::nothrow) tb_cancel_s;
  if (!c) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  c->fd = fd;
  return c;
}

void tb_cancel_exit(tb_cancel_ref_t cancel) {
  if (!cancel) return;
  close(cancel->fd);
  delete cancel;
}

void tb_cancel_raise(tb_cancel_ref_t cancel) {
  if (!cancel) return;
  cancel->raised.store(true);
  const uint64_t one = 1;
  int saved = errno;  // a signal handler must leave errno as it found it
  // A full counter already wakes every poll; nothing else can fail here.
  [[maybe_unused]] ssize_t w = write(cancel->fd, &one, sizeof one);
  errno = saved;
}

void tb_cancel_clear(tb_cancel_ref_t cancel) {
  if (!cancel) return;
  cancel->raised.store(false);
  uint64_t count;
  [[maybe_unused]] ssize_t r = read(cancel->fd, &count, sizeof count);  // EAGAIN when not raised
}

bool tb_cancel_raised(tb_cancel_ref_t cancel) { return cancel && cancel->raised.load(); }

tb_cancel_ref_t tb_cancel_watch(tb_cancel_ref_t cancel) {
  tb_cancel_s* before = t_watched;
  t_watched = cancel;
  return before;
}

int tb_cancel_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  tb_cancel_s* c = t_watched;
  if (!c) return poll(fds, count, timeout_ms);
  if (count >= kMaxFds) {
    errno = EINVAL;
    return -1;
  }
  if (c->raised.load()) {
    errno = ECANCELED;
    return -1;
  }
  pollfd all[kMaxFds];
  for (nfds_t i = 0; i < count; ++i) all[i] = fds[i];
  all[count] = {c->fd, POLLIN, 0};
  int r = poll(all, count + 1, timeout_ms);
  if (c->raised.load()) {
    errno = ECANCELED;
    return -1;
  }
  if (r <= 0) return r;
  for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
  if (!all[count].revents) return r;
  if (r > 1) return r - 1;
  // Woken by a request that was lowered again meanwhile: to the caller this
  // is an interrupted poll, to be repeated for the time left.
  errno = EINTR;
  return -1;
}

int tb_cancel_wait_readable(int fd) {
  if (!t_watched) return 0;
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int r = tb_cancel_poll(&p, 1, -1);
    if (r >= 0) return 0;  // readable, at its end or in error: the read tells
    if (errno != EINTR) return -1;
  }
}
