// Non-blocking sockets; waiting is explicit with tb_socket_wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tb_ipaddr.h"

// The system socket number plus 1, so that 0 is no socket.
typedef struct tb_socket_s* tb_socket_ref_t;

enum {
  TB_SOCKET_TYPE_TCP = 0x101,
  TB_SOCKET_TYPE_UDP = 0x202,
  TB_SOCKET_TYPE_ICMP = 0x303,
};
enum {
  TB_SOCKET_EVENT_RECV = 1,
  TB_SOCKET_EVENT_SEND = 2,
  TB_SOCKET_EVENT_CONN = 2,
};
enum {
  TB_SOCKET_CTRL_SET_BLOCK = 0,
  TB_SOCKET_CTRL_GET_BLOCK = 1,
  TB_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,
  TB_SOCKET_CTRL_GET_RECV_BUFF_SIZE = 3,
  TB_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,
  TB_SOCKET_CTRL_GET_SEND_BUFF_SIZE = 5,
  TB_SOCKET_CTRL_SET_TCP_NODELAY = 6,
  TB_SOCKET_CTRL_GET_TCP_NODELAY = 7,
};

// family 2 (TB_IPADDR_FAMILY_IPV6) selects IPv6, anything else IPv4.
tb_socket_ref_t tb_socket_init(size_t type, size_t family);
// SET codes take an int, GET codes an int*.
bool tb_socket_ctrl(tb_socket_ref_t sock, size_t code, ...);
// 1 connected, 0 in progress (wait for TB_SOCKET_EVENT_CONN, then call
// again: an established connection answers 1), -1 failed.
long tb_socket_connect(tb_socket_ref_t sock, const tb_ipaddr_t* addr);
bool tb_socket_bind(tb_socket_ref_t sock, const tb_ipaddr_t* addr);
bool tb_socket_listen(tb_socket_ref_t sock, size_t backlog);
// Non-blocking with TCP_NODELAY; peer may be null.
tb_socket_ref_t tb_socket_accept(tb_socket_ref_t sock, tb_ipaddr_t* peer);
// > 0 bytes moved, 0 when nothing can move now (or the peer closed), -1 error.
// Sending to a closed peer fails with -1 (EPIPE), never with SIGPIPE.
long tb_socket_recv(tb_socket_ref_t sock, uint8_t* data, size_t size);
long tb_socket_send(tb_socket_ref_t sock, const uint8_t* data, size_t size);
// Ready events (> 0), 0 on time-out, -1 on error; timeout < 0 waits forever,
// 0 polls. A pending socket error (a refused connect, a reset) gives -1 with
// errno set to it. Signals do not shorten the wait.
long tb_socket_wait(tb_socket_ref_t sock, size_t events, long timeout_ms);
// The address the socket is bound to (for tests that bind port 0).
bool tb_socket_local(tb_socket_ref_t sock, tb_ipaddr_t* addr);
bool tb_socket_exit(tb_socket_ref_t sock);
// The system socket number, -1 for none.
int tb_socket_fd(tb_socket_ref_t sock);
