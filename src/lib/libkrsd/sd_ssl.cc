#include "sd_ssl.h"

// clang-format off
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/wolfcrypt/ecc.h>
// clang-format on

#include <climits>
#include <cstring>

#include "krsd_client.h"
#include "os/os_log.h"
#include "tb_init.h"
#include "tls_suites.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_ssl"

namespace {

// The library's code for a connection closed by the peer.
constexpr int kClosed = WOLFSSL_CBIO_ERR_CONN_CLOSE;

// The library wants bytes. A read whose time budget ran out with nothing
// hands back "would block": the library keeps what it has, and the callers
// (handshake loop, SslReadAsyn) see that their own time is up instead of
// starting the same wait again.
int recv_cb(WOLFSSL*, char* buf, int sz, void* io) {
  krsd_client* ctx = static_cast<krsd_client*>(io);
  if (!ctx || !ctx->conn.sock) return kClosed;
  if (sz <= 0) return 0;
  // The budget of this TLS call is spent: no second wait.
  if (ctx->tls_expired) return WOLFSSL_CBIO_ERR_WANT_READ;
  long r = sock_read(&ctx->conn, buf, size_t(sz));
  if (r < 0) return kClosed;
  if (r < long(sz)) ctx->tls_expired = 1;  // a short count means the time ran out
  if (r == 0) return WOLFSSL_CBIO_ERR_WANT_READ;
  return int(r);
}

int send_cb(WOLFSSL*, char* buf, int sz, void* io) {
  krsd_client* ctx = static_cast<krsd_client*>(io);
  // After krsd_cli_exit closed the socket the shutdown has nowhere to go.
  if (!ctx || !ctx->conn.sock) return kClosed;
  if (sz <= 0) return 0;
  long r = sock_write(&ctx->conn, buf, size_t(sz));
  if (r < 0) return kClosed;
  return int(r);
}

}  // namespace

void* sd_cli_ssl_ctx_new() {
  wolfSSL_Init();
  SSL_CTX* tls = SSL_CTX_new(SSLv23_client_method());
  if (!tls) {
    KR_LOG(OS_LOG_ERR, "SSL_CTX_new error\n");
    return nullptr;
  }
  // "Would block" must reach our loops, which know the time budget; the
  // library's own retries would start the same wait again.
  wolfSSL_CTX_clear_mode(tls, SSL_MODE_AUTO_RETRY);
  // TLS 1.2 is the highest version: a cipher list of TLS 1.2 suites must be
  // usable, and offering TLS 1.3 without a TLS 1.3 suite would make the
  // daemon pick a version the list cannot serve.
  wolfSSL_CTX_set_max_proto_version(tls, TLS1_2_VERSION);
  // The library's own list holds suites that do not encrypt or authenticate
  // (NULL, anonymous, PSK): without this one, no TLS.
  if (SSL_CTX_set_cipher_list(tls, SD_TLS12_SUITES) != WOLFSSL_SUCCESS) {
    KR_LOG(OS_LOG_ERR, "SSL_CTX_set_cipher_list error\n");
    SSL_CTX_free(tls);
    return nullptr;
  }
  wolfSSL_CTX_SetIORecv(tls, recv_cb);
  wolfSSL_CTX_SetIOSend(tls, send_cb);
  SSL_CTX_set_verify(tls, SSL_VERIFY_NONE, nullptr);
  net_set_tls_hooks(SslReadAsyn, SslWriteAsyn);
  return tls;
}

void* sd_srv_ssl_new(void* tls_ctx, krsd_client* ctx, const char* cipher) {
  SSL* ssl = tls_ctx ? SSL_new(static_cast<SSL_CTX*>(tls_ctx)) : nullptr;
  if (!ssl) {
    KR_LOG(OS_LOG_ERR, "SSL_new error.\n");
    return nullptr;
  }
  wolfSSL_set_using_nonblock(ssl, 1);
  wolfSSL_SetIOReadCtx(ssl, ctx);
  wolfSSL_SetIOWriteCtx(ssl, ctx);
  if (cipher && cipher[0] && SSL_set_cipher_list(ssl, cipher) != WOLFSSL_SUCCESS)
    KR_LOG(OS_LOG_ERR, "SSL_CTX_set_cipher_list error\n");
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
    int r = SSL_connect(ssl);
    int err = SSL_get_error(ssl, r);
    if (r == WOLFSSL_SUCCESS) {
      ctx->tls_expired = 0;
      return ssl;
    }
    bool again = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
    if (!again || ctx->tls_expired || tb_clock_ms() - start >= ctx->conn.timeout) {
      KR_LOG(OS_LOG_ERR, "ssl_ret=%d ret=%d\n", r, err);
      break;
    }
  }
  SSL_free(ssl);
  return nullptr;
}

const char* sd_ssl_suite(void* ssl) {
  const char* name = ssl ? wolfSSL_get_cipher_name(static_cast<WOLFSSL*>(ssl)) : nullptr;
  return name ? name : "";
}

void sd_ssl_free(void* ssl) {
  if (!ssl) return;
  SSL_shutdown(static_cast<SSL*>(ssl));
  SSL_free(static_cast<SSL*>(ssl));
#ifdef FP_ECC
  // The library keeps a per-thread cache of ECC points that lives as long
  // as the thread; the imaging worker lives as long as the program, so the
  // cache is dropped with each session (the next handshake rebuilds it).
  wc_ecc_fp_free();
#endif
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
  // The chain as the daemon sent it, its own certificate first.
  WOLFSSL_X509_CHAIN* chain = ssl ? wolfSSL_get_peer_chain(ssl) : nullptr;
  if (chain && wolfSSL_get_chain_count(chain) > 0)
    sd_cert_sha256_hex(wolfSSL_get_chain_cert(chain, 0), size_t(wolfSSL_get_chain_length(chain, 0)),
                       ctx->peer_sha256);
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
