#include "libnet.h"

#include <cerrno>

#include "os/os_human.h"
#include "os/os_log.h"
#include "tb_init.h"

#define KR_LOG_SRC "src\\lib\\libnet\\libnet"

namespace {

net_read_hook g_tls_read = nullptr;
net_write_hook g_tls_write = nullptr;

}  // namespace

tb_socket_ref_t sock_connect(const tb_ipaddr_t* addr, int buf_size, int timeout_ms) {
  tb_socket_ref_t sock = tb_socket_init(TB_SOCKET_TYPE_TCP, TB_IPADDR_FAMILY_IPV4);
  if (!sock) {
    KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "tb_socket_init error: ");
    return nullptr;
  }
  if (buf_size > 0 && !tb_socket_ctrl(sock, TB_SOCKET_CTRL_SET_RECV_BUFF_SIZE, buf_size))
    KR_LOG(OS_LOG_WARN, "TB_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", buf_size);
  if (buf_size > 0 && !tb_socket_ctrl(sock, TB_SOCKET_CTRL_SET_SEND_BUFF_SIZE, buf_size))
    KR_LOG(OS_LOG_WARN, "TB_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", buf_size);
  if (!tb_socket_ctrl(sock, TB_SOCKET_CTRL_SET_TCP_NODELAY, 1))
    KR_LOG(OS_LOG_WARN, "TB_SOCKET_CTRL_SET_TCP_NODELAY error\n");

  int64_t start = tb_clock_ms();
  for (;;) {
    long r = tb_socket_connect(sock, addr);
    if (r == 1) return sock;
    if (r < 0) {
      KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "connect error: ");
      break;
    }
    // In progress: wait for the rest of the time-out, so that the whole
    // connect stays within it however often the wait wakes up.
    int64_t left = int64_t(timeout_ms) - (tb_clock_ms() - start);
    long w = left > 0 ? tb_socket_wait(sock, TB_SOCKET_EVENT_CONN, long(left)) : 0;
    char text[128];
    if (w == 0) {
      const char* t = tb_ipaddr_text(addr, text, sizeof(text));
      KR_LOG(OS_LOG_ERR, "connect [%s] timeout\n", t ? t : "");
      errno = ETIMEDOUT;  // the caller's reason
      break;
    }
    if (w < 0) {
      const char* t = tb_ipaddr_text(addr, text, sizeof(text));
      KR_LOG(OS_LOG_ERR | OS_LOG_SYSERR, "connect [%s] error: ", t ? t : "");
      break;
    }
  }
  int saved = errno;
  tb_socket_exit(sock);
  errno = saved;
  return nullptr;
}

long sock_read(net_conn* conn, void* buf, size_t len) {
  if (len == 0) return 0;
  uint8_t* p = static_cast<uint8_t*>(buf);
  int64_t start = tb_clock_ms();
  size_t done = 0;
  int passes = 0;
  bool ready = false;   // the last wait said there is something to read
  bool closed = false;  // yet the receive after it found nothing: the peer closed
  while (done < len) {
    if (passes >= NET_READ_MAX_PASSES) {
      KR_LOG(OS_LOG_DEBUG, "Read too many times\n");
      if (closed) errno = ECONNRESET;  // the peer ended the connection
      return -1;
    }
    passes++;
    size_t want = len - done;
    if (want > NET_RECV_MAX) want = NET_RECV_MAX;
    long r = tb_socket_recv(conn->sock, p + done, want);
    if (r > 0) {
      done += size_t(r);
      ready = closed = false;
      continue;
    }
    if (r < 0) {
      int e = errno;
      char text[256];
      KR_LOG(OS_LOG_DEBUG, "tb_socket_recv error [%d] [%s] \n", e, os_error_text(e, text, sizeof(text)));
      return -1;
    }
    closed = ready;
    // Nothing now: wait for the rest of the call's budget, not a fresh one.
    int64_t left = int64_t(conn->timeout) - (tb_clock_ms() - start);
    long w = tb_socket_wait(conn->sock, TB_SOCKET_EVENT_RECV, left > 0 ? long(left) : 0);
    if (w < 0) {
      int e = errno;
      char text[256];
      KR_LOG(OS_LOG_DEBUG, "tb_socket_wait error [%d] [%s]\n", e, os_error_text(e, text, sizeof(text)));
      errno = e;
      return 0;
    }
    if (tb_clock_ms() - start >= conn->timeout) {
      errno = ETIMEDOUT;
      return long(done);
    }
    if (w > 0) {
      ready = true;
      continue;
    }
    KR_LOG(OS_LOG_DEBUG, "wait timeout %d len=%d\n", int(w), int(len));
    errno = ETIMEDOUT;
    return long(done);
  }
  return long(done);
}

long sock_write(net_conn* conn, const void* buf, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  size_t done = 0;
  while (done < len) {
    long r = tb_socket_send(conn->sock, p + done, len - done);
    if (r < 0) return -1;
    if (r > 0) {
      done += size_t(r);
      continue;
    }
    // The send buffer is full: wait until the peer takes bytes again rather
    // than spinning; a peer that takes nothing for the read time-out is
    // treated as gone, so a stalled daemon cannot hang the writer.
    long w = tb_socket_wait(conn->sock, TB_SOCKET_EVENT_SEND, conn->timeout > 0 ? conn->timeout : 0);
    if (w <= 0) {
      if (w == 0) errno = ETIMEDOUT;
      return -1;
    }
  }
  return long(len);
}

void net_set_tls_hooks(net_read_hook read, net_write_hook write) {
  g_tls_read = read;
  g_tls_write = write;
}

long net_read(net_conn* conn, void* buf, size_t len) {
  if (conn->ssl) return g_tls_read ? g_tls_read(conn, buf, len) : -1;
  return sock_read(conn, buf, len);
}

long net_write(net_conn* conn, const void* buf, size_t len) {
  if (conn->ssl) return g_tls_write ? g_tls_write(conn, buf, len) : -1;
  return sock_write(conn, buf, len);
}
