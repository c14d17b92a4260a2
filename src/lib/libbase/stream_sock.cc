// Socket streams (sock://host:port): a plain TCP connection. Reads never
// block (0 when nothing has arrived; stream_wait waits); writes wait for
// room up to the stream's time-out.
#include <cerrno>
#include <new>

#include "os/os_log.h"
#include "platform/tb_sys.h"
#include "stream_types.h"
#include "tb_ipaddr.h"
#include "tb_socket.h"

#define KR_LOG_SRC "src\\lib\\libbase\\stream"

namespace {

struct sock_stream final : stream_s {
  sock_stream() : stream_s(STREAM_TYPE_SOCK) {}
  ~sock_stream() override { release(); }

  tb_socket_ref_t sock = nullptr;
  bool eof = false;  // the peer has closed its side

  bool release() {
    bool ok = true;
    if (sock) ok = tb_socket_exit(sock);
    sock = nullptr;
    return ok;
  }

  bool fail(int err) {
    release();
    errno = err;
    return false;
  }

  bool open() override {
    eof = false;
    const char* host = tb_url_host(&url);
    uint16_t port = tb_url_port(&url);
    if (tb_url_ssl(&url)) {
      KR_LOGF(OS_LOG_ERR, "sock_stream_open", "[%s:%u] secure socket streams are not supported\n",
              host ? host : "", port);
      errno = EPROTONOSUPPORT;
      return false;
    }
    if (!host || !port) {
      errno = EINVAL;
      return false;
    }
    tb_ipaddr_t addr = url.addr;
    if (!addr.have_ip && !tb_addrinfo_addr(host, &addr)) {
      KR_LOGF(OS_LOG_ERR, "sock_stream_open", "[%s] cannot be resolved\n", host);
      errno = EHOSTUNREACH;
      return false;
    }
    tb_ipaddr_port_set(&addr, port);
    sock = tb_socket_init(TB_SOCKET_TYPE_TCP, addr.family);
    if (!sock) return false;
    long r = tb_socket_connect(sock, &addr);
    if (r < 0) return fail(errno ? errno : ECONNREFUSED);
    if (r == 0) {
      long w = tb_socket_wait(sock, TB_SOCKET_EVENT_CONN, timeout);
      if (w <= 0) return fail(w == 0 ? ETIMEDOUT : errno);
      int err = tb_sys_socket_error(sock);
      if (err) return fail(err < 0 ? errno : err);
    }
    return true;
  }

  bool close() override { return release(); }

  long read(void* buf, size_t n) override {
    if (!sock) return -1;
    if (eof) return 0;
    bool closed = false;
    long r = tb_sys_socket_recv(sock, buf, n, &closed);
    if (closed) eof = true;
    return r;
  }

  long write(const void* buf, size_t n) override {
    if (!sock) return -1;
    const auto* p = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
      long r = tb_socket_send(sock, p + done, n - done);
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      if (r < 0) return done ? static_cast<long>(done) : -1;
      long w = tb_socket_wait(sock, TB_SOCKET_EVENT_SEND, timeout);
      if (w <= 0) {
        if (w == 0) errno = ETIMEDOUT;
        return done ? static_cast<long>(done) : -1;
      }
    }
    return static_cast<long>(done);
  }

  int ctrl(size_t code, stream_arg arg) override {
    if (code == STREAM_CTRL_GET_SIZE && arg.ptr) {
      *static_cast<int64_t*>(arg.ptr) = 0;  // a connection has no size
      return 1;
    }
    return 0;
  }

  long wait(size_t events, long timeout_ms) override {
    if (!sock) return -1;
    if (eof && (events & STREAM_WAIT_READ)) return 0;
    return tb_socket_wait(sock, events & (STREAM_WAIT_READ | STREAM_WAIT_WRITE), timeout_ms);
  }
};

// HTTP is not offered by this build: the open fails with a line saying so.
struct http_stream final : stream_s {
  http_stream() : stream_s(STREAM_TYPE_HTTP) {}
  bool open() override {
    const char* text = tb_url_text(&url);
    KR_LOGF(OS_LOG_ERR, "http_stream_open", "[%s] http streams are not supported\n",
            text ? text : "");
    errno = EPROTONOSUPPORT;
    return false;
  }
  bool close() override { return true; }
  long read(void*, size_t) override { return -1; }
  long write(const void*, size_t) override { return -1; }
  long wait(size_t, long) override { return -1; }
};

}  // namespace

stream_s* stream_new_sock() { return new (std::nothrow) sock_stream(); }
stream_s* stream_new_http() { return new (std::nothrow) http_stream(); }
