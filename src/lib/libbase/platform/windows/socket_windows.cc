// Non-blocking sockets on Windows: Winsock 2.2, every call through the
// ws2_32 table resolved by name at run time. Winsock errors are handed to
// the callers as errno values.
#include <cerrno>
#include <climits>

#include "platform/tb_sys.h"
#include "platform/windows/cancel_windows.h"
#include "platform/windows/tb_win.h"
#include "tb_init.h"
#include "tb_socket.h"

namespace {

SOCKET sock_of(tb_socket_ref_t sock) { return reinterpret_cast<uintptr_t>(sock) - 1; }

tb_socket_ref_t ref_of(SOCKET s) { return reinterpret_cast<tb_socket_ref_t>(static_cast<uintptr_t>(s) + 1); }

const tb_ws2_32_t& ws() { return *tb_ws2_32(); }

// The Winsock error of the last call as errno; the Winsock code itself.
int last_error() {
  int code = ws().WSAGetLastError ? ws().WSAGetLastError() : WSANOTINITIALISED;
  errno = tb_win_errno(static_cast<unsigned long>(code));
  return code;
}

bool would_block(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }

bool set_int_opt(SOCKET s, int level, int name, int value) {
  return ws().setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool get_int_opt(SOCKET s, int level, int name, int* out) {
  if (!out) return false;
  int value = 0;
  int len = sizeof value;
  if (ws().getsockopt(s, level, name, reinterpret_cast<char*>(&value), &len) != 0) {
    *out = 0;
    return false;
  }
  *out = value;
  return true;
}

bool set_nonblocking(SOCKET s) {
  u_long on = 1;
  return ws().ioctlsocket(s, FIONBIO, &on) == 0;
}

bool is_set(SOCKET s, const fd_set& set) {
  for (u_int i = 0; i < set.fd_count; ++i)
    if (set.fd_array[i] == s) return true;
  return false;
}

}  // namespace

bool tb_sys_socket_init() {
  const tb_ws2_32_t& t = ws();
  // Everything but the optional look-ups and protocol listing is required.
  const void* required[] = {
      reinterpret_cast<void*>(t.WSAStartup),  reinterpret_cast<void*>(t.WSACleanup),
      reinterpret_cast<void*>(t.WSASocketA),  reinterpret_cast<void*>(t.WSAIoctl),
      reinterpret_cast<void*>(t.WSAGetLastError), reinterpret_cast<void*>(t.WSASend),
      reinterpret_cast<void*>(t.WSARecv),     reinterpret_cast<void*>(t.WSASendTo),
      reinterpret_cast<void*>(t.WSARecvFrom), reinterpret_cast<void*>(t.bind),
      reinterpret_cast<void*>(t.send),        reinterpret_cast<void*>(t.recv),
      reinterpret_cast<void*>(t.sendto),      reinterpret_cast<void*>(t.recvfrom),
      reinterpret_cast<void*>(t.accept),      reinterpret_cast<void*>(t.listen),
      reinterpret_cast<void*>(t.select),      reinterpret_cast<void*>(t.connect),
      reinterpret_cast<void*>(t.shutdown),    reinterpret_cast<void*>(t.getsockname),
      reinterpret_cast<void*>(t.getsockopt),  reinterpret_cast<void*>(t.setsockopt),
      reinterpret_cast<void*>(t.ioctlsocket), reinterpret_cast<void*>(t.closesocket),
      reinterpret_cast<void*>(t.gethostname), reinterpret_cast<void*>(t.__WSAFDIsSet),
  };
  for (const void* entry : required)
    if (!entry) return false;
  WSADATA data;
  if (t.WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    t.WSACleanup();
    return false;
  }
  return true;
}

void tb_sys_socket_exit() {
  if (ws().WSACleanup) ws().WSACleanup();
}

tb_socket_ref_t tb_socket_init(size_t type, size_t family) {
  if (!ws().WSASocketA) {
    errno = ENOSYS;
    return nullptr;
  }
  const bool v6 = family == TB_IPADDR_FAMILY_IPV6;
  int kind, protocol;
  if (!tb_sys_socket_kind(type, v6, &kind, &protocol)) return nullptr;
  // Not inherited by the commands the program runs.
  SOCKET s = ws().WSASocketA(v6 ? AF_INET6 : AF_INET, kind, protocol, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    last_error();
    return nullptr;
  }
  // A socket that cannot be switched to non-blocking is never handed out.
  if (!set_nonblocking(s)) {
    last_error();
    ws().closesocket(s);
    return nullptr;
  }
  return ref_of(s);
}

long tb_socket_connect(tb_socket_ref_t sock, const tb_ipaddr_t* addr) {
  if (!sock || !addr || !addr->have_ip) return -1;
  sockaddr_storage ss;
  size_t len = tb_sockaddr_from_ipaddr(&ss, addr);
  if (len == 0) return -1;
  if (ws().connect(sock_of(sock), reinterpret_cast<sockaddr*>(&ss), static_cast<int>(len)) == 0)
    return 1;
  int code = last_error();
  if (would_block(code) || code == WSAEALREADY || code == WSAEINVAL) return 0;
  if (code == WSAEISCONN) return 1;
  return -1;
}

bool tb_socket_bind(tb_socket_ref_t sock, const tb_ipaddr_t* addr) {
  if (!sock || !addr) return false;
  sockaddr_storage ss;
  size_t len = tb_sockaddr_from_ipaddr(&ss, addr);
  if (len == 0) return false;
  if (ws().bind(sock_of(sock), reinterpret_cast<sockaddr*>(&ss), static_cast<int>(len)) == 0)
    return true;
  last_error();
  return false;
}

bool tb_socket_listen(tb_socket_ref_t sock, size_t backlog) {
  if (!sock) return false;
  int n = backlog > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(backlog);
  if (ws().listen(sock_of(sock), n) >= 0) return true;
  last_error();
  return false;
}

tb_socket_ref_t tb_socket_accept(tb_socket_ref_t sock, tb_ipaddr_t* peer) {
  if (!sock) return nullptr;
  sockaddr_storage ss{};
  int len = sizeof ss;
  SOCKET s = ws().accept(sock_of(sock), reinterpret_cast<sockaddr*>(&ss), &len);
  if (s == INVALID_SOCKET) {
    last_error();
    return nullptr;
  }
  if (!set_nonblocking(s)) {
    last_error();
    ws().closesocket(s);
    return nullptr;
  }
  set_int_opt(s, IPPROTO_TCP, TCP_NODELAY, 1);
  if (peer) tb_sockaddr_to_ipaddr(&ss, peer);
  return ref_of(s);
}

long tb_socket_recv(tb_socket_ref_t sock, uint8_t* data, size_t size) {
  bool closed;
  return tb_sys_socket_recv(sock, data, size, &closed);
}

long tb_socket_send(tb_socket_ref_t sock, const uint8_t* data, size_t size) {
  if (!sock || !data) return -1;
  if (size == 0) return 0;
  int n = ws().send(sock_of(sock), reinterpret_cast<const char*>(data),
                    size > INT_MAX ? INT_MAX : static_cast<int>(size), 0);
  if (n >= 0) return n;
  return would_block(last_error()) ? 0 : -1;
}

long tb_socket_wait(tb_socket_ref_t sock, size_t events, long timeout_ms) {
  if (!sock) return -1;
  const SOCKET s = sock_of(sock);
  fd_set rd, wr;
  FD_ZERO(&rd);
  FD_ZERO(&wr);
  if (events & TB_SOCKET_EVENT_RECV) FD_SET(s, &rd);
  if (events & TB_SOCKET_EVENT_SEND) FD_SET(s, &wr);
  // A refused connection shows in the exception set, not as writable.
  fd_set ex;
  FD_ZERO(&ex);
  FD_SET(s, &ex);
  // select cannot be woken by a stop request: it waits in slices of 100 ms
  // and looks at the request between them (ECANCELED once raised).
  const int64_t deadline = timeout_ms >= 0 ? tb_clock_ms() + timeout_ms : 0;
  int r;
  for (;;) {
    if (tb_cancel_watched_raised()) {
      errno = ECANCELED;
      return -1;
    }
    long slice = 100;
    if (timeout_ms >= 0) {
      int64_t left = deadline - tb_clock_ms();
      slice = left <= 0 ? 0 : left < 100 ? static_cast<long>(left) : 100;
    }
    fd_set r_set = rd, w_set = wr, e_set = ex;
    timeval tv{0, slice * 1000};
    r = ws().select(0, &r_set, &w_set, &e_set, &tv);
    if (r != 0 || (timeout_ms >= 0 && slice < 100)) {
      rd = r_set, wr = w_set, ex = e_set;
      break;
    }
  }
  if (r < 0) {
    last_error();
    return -1;
  }
  if (r == 0) return 0;
  // What came before a reset is received first, where the system kept it.
  const bool data_waits = (events & TB_SOCKET_EVENT_RECV) && is_set(s, rd);
  int pending = 0;
  if (!data_waits && get_int_opt(s, SOL_SOCKET, SO_ERROR, &pending) && pending != 0) {
    errno = tb_win_errno(static_cast<unsigned long>(pending));
    return -1;
  }
  long ready = 0;
  if (is_set(s, rd)) ready |= TB_SOCKET_EVENT_RECV;
  if (is_set(s, wr)) ready |= TB_SOCKET_EVENT_SEND;
  return ready;
}

bool tb_socket_local(tb_socket_ref_t sock, tb_ipaddr_t* addr) {
  if (!sock || !addr) return false;
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (ws().getsockname(sock_of(sock), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  return tb_sockaddr_to_ipaddr(&ss, addr) != 0;
}

bool tb_socket_exit(tb_socket_ref_t sock) {
  if (!sock) return false;
  return ws().closesocket(sock_of(sock)) == 0;
}

int tb_socket_fd(tb_socket_ref_t sock) { return sock ? static_cast<int>(sock_of(sock)) : -1; }

long tb_sys_socket_recv(tb_socket_ref_t sock, void* buf, size_t size, bool* closed) {
  *closed = false;
  if (!sock || !buf) return -1;
  if (size == 0) return 0;
  int n = ws().recv(sock_of(sock), static_cast<char*>(buf), size > INT_MAX ? INT_MAX : static_cast<int>(size), 0);
  if (n > 0) return n;
  if (n == 0) {
    *closed = true;
    return 0;
  }
  return would_block(last_error()) ? 0 : -1;
}

int tb_sys_socket_error(tb_socket_ref_t sock) {
  if (!sock) {
    errno = EBADF;
    return -1;
  }
  int err = 0;
  if (!get_int_opt(sock_of(sock), SOL_SOCKET, SO_ERROR, &err)) {
    last_error();
    return -1;
  }
  return err ? tb_win_errno(static_cast<unsigned long>(err)) : 0;
}

bool tb_sys_socket_opt(tb_socket_ref_t sock, int level, int name, bool set, int* value) {
  if (!sock || !value) return false;
  const SOCKET s = sock_of(sock);
  return set ? set_int_opt(s, level, name, *value) : get_int_opt(s, level, name, value);
}

bool tb_sys_socket_block(tb_socket_ref_t sock, bool block) {
  u_long nonblock = block ? 0 : 1;
  return sock && ws().ioctlsocket(sock_of(sock), FIONBIO, &nonblock) == 0;
}
