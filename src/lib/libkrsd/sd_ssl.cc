#include "sd_ssl.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <vector>

#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_session.h"
#include "tb_init.h"
#include "tls_suites.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_ssl"

namespace {

// What the library reads ahead at most: four full records.
constexpr size_t kReadAhead = 4 * (16384 + 256);

// The library's network I/O: a BIO over the session's socket helpers, so
// that TLS keeps the socket's read time-out.
krsd_client* session_of_bio(BIO* bio) { return static_cast<krsd_client*>(BIO_get_data(bio)); }

// The library wants bytes, as many as it has room for (it reads ahead), and
// takes what there is: what the socket holds now, or else the first byte
// within the time budget and what came with it. A read whose budget ran out
// with nothing hands back "would block": the library keeps what it has, and
// the callers (handshake loop, SslReadAsyn) see that their own time is up
// instead of starting the same wait again. A closed or failed socket is an
// error without retry.
int bio_read(BIO* bio, char* buf, int sz) {
  krsd_client* ctx = session_of_bio(bio);
  BIO_clear_retry_flags(bio);
  if (!ctx || !ctx->conn.sock) return -1;
  if (sz <= 0) return 0;
  // The budget of this TLS call is spent: no second wait.
  if (ctx->tls_expired) {
    BIO_set_retry_read(bio);
    return -1;
  }
  uint8_t* p = reinterpret_cast<uint8_t*>(buf);
  long r = tb_socket_recv(ctx->conn.sock, p, size_t(sz));
  if (r < 0) return -1;
  if (r == 0) {
    r = sock_read(&ctx->conn, p, 1);
    if (r < 0) return -1;
    if (r == 0) {  // the time ran out
      ctx->tls_expired = 1;
      BIO_set_retry_read(bio);
      return -1;
    }
    // A receive error shows again on the next call.
    long more = sz > 1 ? tb_socket_recv(ctx->conn.sock, p + 1, size_t(sz - 1)) : 0;
    if (more > 0) r += more;
  }
  return int(r);
}

int bio_write(BIO* bio, const char* buf, int sz) {
  krsd_client* ctx = session_of_bio(bio);
  BIO_clear_retry_flags(bio);
  // After krsd_cli_exit closed the socket the shutdown has nowhere to go.
  if (!ctx || !ctx->conn.sock) return -1;
  if (sz <= 0) return 0;
  long r = sock_write(&ctx->conn, buf, size_t(sz));
  if (r < 0) return -1;
  if (r == 0) {
    BIO_set_retry_write(bio);
    return -1;
  }
  return int(r);
}

long bio_ctrl(BIO*, int cmd, long, void*) {
  // Every write goes out at once: nothing to flush.
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once, with the context, and kept until the process ends.
BIO_METHOD* socket_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "krii socket");
    if (m && (!BIO_meth_set_read(m, bio_read) || !BIO_meth_set_write(m, bio_write) ||
              !BIO_meth_set_ctrl(m, bio_ctrl) || !BIO_meth_set_create(m, bio_create))) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  return method;
}

}  // namespace

void* sd_cli_ssl_ctx_new() {
  OPENSSL_init_ssl(0, nullptr);
  SSL_CTX* tls = socket_method() ? SSL_CTX_new(TLS_client_method()) : nullptr;
  if (!tls) {
    KR_LOG(OS_LOG_ERR, "SSL_CTX_new error\n");
    return nullptr;
  }
  // "Would block" must reach our loops, which know the time budget; the
  // library's own retries would start the same wait again. A write may end
  // after a record, and a retried one may come from where the loop is.
  SSL_CTX_clear_mode(tls, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Records are read ahead, several in one receive: one system call for
  // the header and one for the body of each would cost more than AES-GCM.
  SSL_CTX_set_read_ahead(tls, 1);
  SSL_CTX_set_default_read_buffer_len(tls, kReadAhead);
  // TLS 1.2 is the highest version: a cipher list of TLS 1.2 suites must be
  // usable, and offering TLS 1.3 without a TLS 1.3 suite would make the
  // daemon pick a version the list cannot serve.
  SSL_CTX_set_max_proto_version(tls, TLS1_2_VERSION);
  // The library's own list holds suites that do not encrypt or authenticate:
  // without this one, no TLS. Offered fastest first on this processor; the
  // daemon's order decides, except that one asked for ChaCha20-Poly1305
  // first (a client without AES instructions) agrees it.
  const std::string suites = sd_tls12_suites_by_speed(sd_tls_cpu_has_aes());
  if (SSL_CTX_set_cipher_list(tls, suites.c_str()) != 1) {
    KR_LOG(OS_LOG_ERR, "SSL_CTX_set_cipher_list error\n");
    SSL_CTX_free(tls);
    return nullptr;
  }
  // Nothing is resumed.
  SSL_CTX_set_session_cache_mode(tls, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(tls, SSL_OP_NO_TICKET);
  SSL_CTX_set_verify(tls, SSL_VERIFY_NONE, nullptr);
  net_set_tls_hooks(SslReadAsyn, SslWriteAsyn);
  return tls;
}

void* sd_srv_ssl_new(void* tls_ctx, krsd_client* ctx, const char* cipher) {
  SSL* ssl = tls_ctx ? SSL_new(static_cast<SSL_CTX*>(tls_ctx)) : nullptr;
  BIO* bio = ssl ? BIO_new(socket_method()) : nullptr;
  if (!bio) {
    SSL_free(ssl);
    KR_LOG(OS_LOG_ERR, "SSL_new error.\n");
    return nullptr;
  }
  // The socket helpers never block past the time-out; the BIO answers
  // "would block" when it ran out.
  BIO_set_data(bio, ctx);
  SSL_set_bio(ssl, bio, bio);
  if (cipher && cipher[0] && SSL_set_cipher_list(ssl, cipher) != 1) {
    ERR_clear_error();
    KR_LOG(OS_LOG_ERR, "SSL_CTX_set_cipher_list error\n");
  }
  return ssl;
}

void* sd_cli_ssl_connect(void* tls_ctx, krsd_client* ctx, const char* cipher, int connect_timeout) {
  SSL* ssl = static_cast<SSL*>(sd_srv_ssl_new(tls_ctx, ctx, cipher));
  if (!ssl) return nullptr;
  // Each network read of the handshake waits at most the read time-out; the
  // loop as a whole is held to it too, so a silent daemon cannot keep it
  // spinning on "would block".
  int64_t start = tb_clock_ms();
  ctx->tls_expired = 0;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(ssl);
    int err = SSL_get_error(ssl, r);
    if (r == 1) {
      ctx->tls_expired = 0;
      return ssl;
    }
    bool again = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
    if (!again || ctx->tls_expired || tb_clock_ms() - start >= ctx->conn.timeout) {
      KR_LOG(OS_LOG_ERR, "ssl_ret=%d ret=%d\n", r, err);
      break;
    }
  }
  ERR_clear_error();
  SSL_free(ssl);
  return nullptr;
}

const char* sd_ssl_suite(void* ssl) {
  const char* name = ssl ? SSL_get_cipher_name(static_cast<SSL*>(ssl)) : nullptr;
  return name && strcmp(name, "(NONE)") != 0 ? name : "";
}

void sd_ssl_free(void* ssl) {
  if (!ssl) return;
  SSL_shutdown(static_cast<SSL*>(ssl));
  ERR_clear_error();
  SSL_free(static_cast<SSL*>(ssl));
}

// The client context begins with its net_conn.
static krsd_client* session_of(net_conn* conn) { return reinterpret_cast<krsd_client*>(conn); }

long SslReadAsyn(net_conn* conn, void* buf, size_t len) {
  SSL* ssl = static_cast<SSL*>(conn->ssl);
  krsd_client* ctx = session_of(conn);
  ctx->tls_expired = 0;
  uint8_t* p = static_cast<uint8_t*>(buf);
  int64_t start = tb_clock_ms();
  size_t done = 0;
  while (done < len) {
    size_t want = len - done;
    if (want > INT_MAX) want = INT_MAX;
    ERR_clear_error();
    int r = SSL_read(ssl, p + done, int(want));
    int err = SSL_get_error(ssl, r);
    if (r > 0) {
      done += size_t(r);
      if (done == len) break;
    } else if (err != SSL_ERROR_WANT_READ) {
      KR_LOG(OS_LOG_DEBUG, "SSL_get_error = %d\n", err);
      return -1;
    }
    if (ctx->tls_expired || tb_clock_ms() - start >= conn->timeout) break;
  }
  return long(done);
}

long SslWriteAsyn(net_conn* conn, const void* buf, size_t len) {
  SSL* ssl = static_cast<SSL*>(conn->ssl);
  krsd_client* ctx = session_of(conn);
  ctx->tls_expired = 0;
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  int64_t start = tb_clock_ms();
  size_t done = 0;
  while (done < len) {
    size_t want = len - done;
    if (want > INT_MAX) want = INT_MAX;
    ERR_clear_error();
    int r = SSL_write(ssl, p + done, int(want));
    int err = SSL_get_error(ssl, r);
    if (r > 0) {
      done += size_t(r);
      if (done == len) break;
    } else if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      KR_LOG(OS_LOG_DEBUG, "SSL_get_error = %d\n", err);
      return -1;
    }
    if (ctx->tls_expired || tb_clock_ms() - start >= conn->timeout) break;
  }
  return long(done);
}

int sd_ssl_check_peer(krsd_client* ctx, const char* pin) {
  SSL* ssl = static_cast<SSL*>(ctx->conn.ssl);
  ctx->peer_sha256[0] = 0;
  // The daemon's own certificate as it sent it.
  X509* cert = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
  const int len = cert ? i2d_X509(cert, nullptr) : 0;
  if (len > 0) {
    std::vector<unsigned char> der(size_t(len), 0);
    unsigned char* p = der.data();
    if (i2d_X509(cert, &p) == len) sd_cert_sha256_hex(der.data(), der.size(), ctx->peer_sha256);
  }
  if (!pin || !pin[0]) return 0;
  if (!ctx->peer_sha256[0]) {
    KR_LOG(OS_LOG_ERR, "ssl-sha256 error: the daemon sent no certificate, connection refused\n");
    return -1;
  }
  if (strcmp(ctx->peer_sha256, pin) != 0) {
    KR_LOG(OS_LOG_ERR,
           "ssl-sha256 error: the daemon's certificate %s is not the pinned %s, connection refused\n",
           ctx->peer_sha256, pin);
    return -1;
  }
  KR_LOG(OS_LOG_DEBUG, "ssl-sha256 %s pinned and matched\n", pin);
  return 0;
}
