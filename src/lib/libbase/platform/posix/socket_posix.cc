// Non-blocking sockets on POSIX: BSD sockets called directly.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/posix/cancel_posix.h"
#include "platform/tb_sys.h"
#include "tb_init.h"
#include "tb_socket.h"

namespace {

int fd_of(tb_socket_ref_t sock) {
  return static_cast<int>(reinterpret_cast<uintptr_t>(sock) - 1);
}

tb_socket_ref_t ref_of(int fd) {
  return reinterpret_cast<tb_socket_ref_t>(static_cast<uintptr_t>(fd) + 1);
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

bool set_int_opt(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool get_int_opt(int fd, int level, int name, int* out) {
  if (!out) return false;
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(fd, level, name, &value, &len) != 0) {
    *out = 0;
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

// Nothing to start: the socket calls are part of the C library. A closed
// peer never raises SIGPIPE because every send passes MSG_NOSIGNAL.
bool tb_sys_socket_init() { return true; }
void tb_sys_socket_exit() {}

tb_socket_ref_t tb_socket_init(size_t type, size_t family) {
  const bool v6 = family == TB_IPADDR_FAMILY_IPV6;
  int kind, protocol;
  if (!tb_sys_socket_kind(type, v6, &kind, &protocol)) return nullptr;
  // Created non-blocking in one step: a socket that cannot be switched is
  // never handed out.
  int fd = socket(v6 ? AF_INET6 : AF_INET, kind | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) return nullptr;
  return ref_of(fd);
}

long tb_socket_connect(tb_socket_ref_t sock, const tb_ipaddr_t* addr) {
  if (!sock || !addr || !addr->have_ip) return -1;
  sockaddr_storage ss;
  size_t len = tb_sockaddr_from_ipaddr(&ss, addr);
  if (len == 0) return -1;
  if (connect(fd_of(sock), reinterpret_cast<sockaddr*>(&ss), static_cast<socklen_t>(len)) == 0)
    return 1;
  // EALREADY: an earlier call of ours is still under way; EINTR: the kernel
  // goes on connecting in the background.
  if (errno == EINPROGRESS || errno == EALREADY || would_block(errno)) return 0;
  if (errno == EISCONN) return 1;
  return -1;
}

bool tb_socket_bind(tb_socket_ref_t sock, const tb_ipaddr_t* addr) {
  if (!sock || !addr) return false;
  sockaddr_storage ss;
  size_t len = tb_sockaddr_from_ipaddr(&ss, addr);
  if (len == 0) return false;
  const int fd = fd_of(sock);
  // A listening stream socket must be able to take its port again at once
  // after a restart, while old connections linger in TIME_WAIT.
  int type = 0;
  if (get_int_opt(fd, SOL_SOCKET, SO_TYPE, &type) && type == SOCK_STREAM)
    set_int_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  return bind(fd, reinterpret_cast<sockaddr*>(&ss), static_cast<socklen_t>(len)) == 0;
}

bool tb_socket_listen(tb_socket_ref_t sock, size_t backlog) {
  if (!sock) return false;
  int n = backlog > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(backlog);
  return listen(fd_of(sock), n) >= 0;
}

tb_socket_ref_t tb_socket_accept(tb_socket_ref_t sock, tb_ipaddr_t* peer) {
  if (!sock) return nullptr;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int fd = accept4(fd_of(sock), reinterpret_cast<sockaddr*>(&ss), &len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  set_int_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (peer) tb_sockaddr_to_ipaddr(&ss, peer);
  return ref_of(fd);
}

long tb_socket_recv(tb_socket_ref_t sock, uint8_t* data, size_t size) {
  if (!sock || !data) return -1;
  if (size == 0) return 0;
  ssize_t n = recv(fd_of(sock), data, size, 0);
  if (n >= 0) return static_cast<long>(n);  // 0: the peer has closed
  return would_block(errno) ? 0 : -1;
}

long tb_socket_send(tb_socket_ref_t sock, const uint8_t* data, size_t size) {
  if (!sock || !data) return -1;
  if (size == 0) return 0;
  ssize_t n = send(fd_of(sock), data, size, MSG_NOSIGNAL);
  if (n >= 0) return static_cast<long>(n);
  return would_block(errno) ? 0 : -1;
}

long tb_socket_wait(tb_socket_ref_t sock, size_t events, long timeout_ms) {
  if (!sock) return -1;
  const int fd = fd_of(sock);
  pollfd pfd{fd, 0, 0};
  if (events & TB_SOCKET_EVENT_RECV) pfd.events |= POLLIN;
  if (events & TB_SOCKET_EVENT_SEND) pfd.events |= POLLOUT;

  // A signal does not end the wait early: poll again for the time left. A
  // raised stop request of this thread does (ECANCELED).
  const int64_t deadline = timeout_ms >= 0 ? tb_clock_ms() + timeout_ms : 0;
  int r;
  for (;;) {
    int wait = -1;
    if (timeout_ms >= 0) {
      int64_t left = deadline - tb_clock_ms();
      wait = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    r = tb_cancel_poll(&pfd, 1, wait);
    if (r >= 0 || errno != EINTR) break;
  }
  if (r < 0) return -1;
  if (r == 0) return 0;
  if (pfd.revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  // Bytes that came before a reset are still there to be received: an
  // answer the peer sent before it closed is read, and the error follows.
  const bool data_waits = (events & TB_SOCKET_EVENT_RECV) && (pfd.revents & POLLIN);
  int pending = 0;
  if (!data_waits && get_int_opt(fd, SOL_SOCKET, SO_ERROR, &pending) && pending != 0) {
    errno = pending;  // so that the caller's error text names the cause
    return -1;
  }
  long ready = 0;
  if ((events & TB_SOCKET_EVENT_RECV) && (pfd.revents & (POLLIN | POLLHUP | POLLERR)))
    ready |= TB_SOCKET_EVENT_RECV;
  if ((events & TB_SOCKET_EVENT_SEND) && (pfd.revents & (POLLOUT | POLLHUP | POLLERR)))
    ready |= TB_SOCKET_EVENT_SEND;
  return ready;
}

bool tb_socket_local(tb_socket_ref_t sock, tb_ipaddr_t* addr) {
  if (!sock || !addr) return false;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd_of(sock), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  return tb_sockaddr_to_ipaddr(&ss, addr) != 0;
}

bool tb_socket_exit(tb_socket_ref_t sock) {
  if (!sock) return false;
  return close(fd_of(sock)) == 0;
}

int tb_socket_fd(tb_socket_ref_t sock) { return sock ? fd_of(sock) : -1; }

long tb_sys_socket_recv(tb_socket_ref_t sock, void* buf, size_t size, bool* closed) {
  *closed = false;
  if (!sock || !buf) return -1;
  if (size == 0) return 0;
  for (;;) {
    ssize_t r = recv(fd_of(sock), buf, size, MSG_DONTWAIT);
    if (r > 0) return static_cast<long>(r);
    if (r == 0) {
      *closed = true;
      return 0;
    }
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

int tb_sys_socket_error(tb_socket_ref_t sock) {
  if (!sock) {
    errno = EBADF;
    return -1;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_of(sock), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
  return err;
}

bool tb_sys_socket_opt(tb_socket_ref_t sock, int level, int name, bool set, int* value) {
  if (!sock || !value) return false;
  return set ? set_int_opt(fd_of(sock), level, name, *value) : get_int_opt(fd_of(sock), level, name, value);
}

bool tb_sys_socket_block(tb_socket_ref_t sock, bool block) {
  int nonblock = block ? 0 : 1;
  return sock && ioctl(fd_of(sock), FIONBIO, &nonblock) == 0;
}
