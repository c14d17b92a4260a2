// The daemon's TLS side: one server context for the TLS port, with the
// certificate given on the command line or a self-signed one made at start.
#pragma once

#include <string>
#include <vector>

#include "krsd_guard.h"
#include "krsd_opts.h"

// The TLS library's context and session (OpenSSL's SSL_CTX and SSL),
// declared only: the tests link another TLS library's headers beside these.
struct ssl_ctx_st;
struct ssl_st;

class krsd_tls_server {
 public:
  krsd_tls_server() = default;
  ~krsd_tls_server();
  krsd_tls_server(const krsd_tls_server&) = delete;
  krsd_tls_server& operator=(const krsd_tls_server&) = delete;

  // Makes the context: TLS 1.2 and 1.3, no client certificates, the suites
  // of tls_suites.h in this processor's order of speed (aes_first:
  // sd_tls_cpu_has_aes). Loads opts.cert/opts.key, or makes an ECC P-256
  // key and a self-signed certificate in memory. 0, or -1 with the reason
  // in *err.
  [[nodiscard]] int init(const krsd_opts& opts, std::string* err);
  [[nodiscard]] int init(const krsd_opts& opts, bool aes_first, std::string* err);

  // Runs the server handshake on a connected non-blocking socket; it must
  // be done before `until`. The session, or null (reason in *err).
  ssl_st* accept(int fd, krsd_clock::time_point until, std::string* err) const;

  // The SHA-256 of the certificate the daemon presents, 64 lower-case hex
  // digits (set by init): what a client pins.
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  [[nodiscard]] int take_fingerprint(std::string* err);

  ssl_ctx_st* ctx_ = nullptr;
  std::string fingerprint_;
};

// Makes an ECC P-256 key and a self-signed certificate (CN "krsd", ten
// years), both DER. 0, or -1 with the reason in *err.
int krsd_tls_make_self_signed(std::vector<unsigned char>* cert_der,
                              std::vector<unsigned char>* key_der, std::string* err);

// Shuts a TLS session down and frees it; null is accepted.
void krsd_tls_free(ssl_st* ssl);
// Frees what the TLS library keeps for the calling thread (it would stay
// behind when a connection thread ends).
void krsd_tls_thread_done();
// The negotiated protocol version and cipher suite, for the log.
const char* krsd_tls_version(ssl_st* ssl);
const char* krsd_tls_cipher(ssl_st* ssl);
// Plaintext transfer on a TLS session over a non-blocking socket: bytes
// moved, 0 = peer closed, KRSD_TLS_WANT_READ or KRSD_TLS_WANT_WRITE when
// the socket must be readable or writable before the same call is made
// again, or -1.
enum { KRSD_TLS_WANT_READ = -2, KRSD_TLS_WANT_WRITE = -3 };
long krsd_tls_read(ssl_st* ssl, void* buf, int len);
// Plaintext that a read takes without waiting for the socket.
bool krsd_tls_pending(ssl_st* ssl);
// Writes are buffered (several records go out in one system call) until
// krsd_tls_flush: 1 when all is out, KRSD_TLS_WANT_WRITE, or -1.
long krsd_tls_write(ssl_st* ssl, const void* buf, int len);
long krsd_tls_flush(ssl_st* ssl);
