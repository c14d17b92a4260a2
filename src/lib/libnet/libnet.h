// Blocking socket helpers over the base layer's non-blocking sockets, and the
// switch between plain and TLS transport for the remote file service client.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tb_ipaddr.h"
#include "tb_socket.h"

// The transport head of a client connection. The client context begins with
// these fields, so a pointer to it is a pointer to its net_conn.
struct net_conn {
  void* ssl;             // TLS session, null for a plain connection
  tb_socket_ref_t sock;  // the connected TCP socket
  int timeout;           // ms: the time budget of one read call
};

enum {
  NET_RECV_MAX = 0x20000,    // one receive asks for at most this many bytes
  NET_READ_MAX_PASSES = 10000,
};

typedef long (*net_read_hook)(net_conn* conn, void* buf, size_t len);
typedef long (*net_write_hook)(net_conn* conn, const void* buf, size_t len);

// A connected IPv4 TCP socket with receive and send buffers of buf_size
// bytes (0 or less: sized by the system) and Nagle off, or null after one
// log line (creation, connect or connect time-out failure). timeout_ms
// bounds the whole connect.
tb_socket_ref_t sock_connect(const tb_ipaddr_t* addr, int buf_size, int timeout_ms);

// Reads len bytes within conn->timeout ms for the whole call. Returns len,
// fewer when the budget ran out (the caller's time-out signal; errno
// ETIMEDOUT), 0 when a wait failed (errno says why) or len is 0, -1 on a
// receive error or after 10000 receive passes (a peer that closed the
// connection ends there, with errno ECONNRESET).
long sock_read(net_conn* conn, void* buf, size_t len);
// Writes len bytes; len, or -1 on error or when the peer accepted nothing
// for conn->timeout ms.
long sock_write(net_conn* conn, const void* buf, size_t len);

// Stores the TLS hooks (once, at library start-up, before any connection).
void net_set_tls_hooks(net_read_hook read, net_write_hook write);
// The TLS hook when conn->ssl is set, else the socket helper; same results.
// Without a registered hook a TLS connection fails with -1.
long net_read(net_conn* conn, void* buf, size_t len);
long net_write(net_conn* conn, const void* buf, size_t len);
