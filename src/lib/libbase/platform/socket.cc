// The socket kinds of tb_socket_init and the socket options of
// tb_socket_ctrl, on every system: the codes come from the system's headers
// (sys_net.h of the platform's folder), the calls from the platform file.
#include <cerrno>
#include <cstdarg>

#include "platform/tb_sys.h"
#include "sys_net.h"
#include "tb_socket.h"

namespace {

bool set_opt(tb_socket_ref_t sock, int level, int name, int value) {
  return tb_sys_socket_opt(sock, level, name, true, &value);
}

}  // namespace

bool tb_sys_socket_kind(size_t type, bool v6, int* kind, int* protocol) {
  switch (type >> 8) {
    case 1: *kind = SOCK_STREAM; break;
    case 2: *kind = SOCK_DGRAM; break;
    case 3: *kind = SOCK_RAW; break;
    default: errno = EINVAL; return false;
  }
  switch (type & 0xff) {
    case 1: *protocol = IPPROTO_TCP; break;
    case 2: *protocol = IPPROTO_UDP; break;
    case 3: *protocol = v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP}; break;
    default: errno = EINVAL; return false;
  }
  return true;
}

bool tb_socket_ctrl(tb_socket_ref_t sock, size_t code, ...) {
  if (!sock) return false;
  va_list ap;
  va_start(ap, code);
  bool ok = false;
  switch (code) {
    case TB_SOCKET_CTRL_SET_BLOCK:
      ok = tb_sys_socket_block(sock, va_arg(ap, int) != 0);
      break;
    case TB_SOCKET_CTRL_GET_BLOCK:
      break;  // not provided
    case TB_SOCKET_CTRL_SET_RECV_BUFF_SIZE:
      ok = set_opt(sock, SOL_SOCKET, SO_RCVBUF, va_arg(ap, int));
      break;
    case TB_SOCKET_CTRL_GET_RECV_BUFF_SIZE:
      ok = tb_sys_socket_opt(sock, SOL_SOCKET, SO_RCVBUF, false, va_arg(ap, int*));
      break;
    case TB_SOCKET_CTRL_SET_SEND_BUFF_SIZE:
      ok = set_opt(sock, SOL_SOCKET, SO_SNDBUF, va_arg(ap, int));
      break;
    case TB_SOCKET_CTRL_GET_SEND_BUFF_SIZE:
      ok = tb_sys_socket_opt(sock, SOL_SOCKET, SO_SNDBUF, false, va_arg(ap, int*));
      break;
    case TB_SOCKET_CTRL_SET_TCP_NODELAY:
      ok = set_opt(sock, IPPROTO_TCP, TCP_NODELAY, va_arg(ap, int) ? 1 : 0);
      break;
    case TB_SOCKET_CTRL_GET_TCP_NODELAY:
      ok = tb_sys_socket_opt(sock, IPPROTO_TCP, TCP_NODELAY, false, va_arg(ap, int*));
      break;
    default:
      break;
  }
  va_end(ap);
  return ok;
}

