// The daemon's TLS side: one server context for the TLS port, with the
// certificate given on the command line or a self-signed one made at start.
#pragma once

#include <string>
#include <vector>

#include "krsd_guard.h"
#include "krsd_opts.h"

struct WOLFSSL_CTX;
struct WOLFSSL;

class krsd_tls_server {
 public:
  krsd_tls_server() = default;
  ~krsd_tls_server();
  krsd_tls_server(const krsd_tls_server&) = delete;
  krsd_tls_server& operator=(const krsd_tls_server&) = delete;

  // Makes the context: TLS 1.2 and 1.3, no client certificates. Loads
  // opts.cert/opts.key, or makes an ECC P-256 key and a self-signed
  // certificate in memory. 0, or -1 with the reason in *err.
  [[nodiscard]] int init(const krsd_opts& opts, std::string* err);

  // Runs the server handshake on a connected non-blocking socket; it must
  // be done before `until`. The session, or null (reason in *err).
  WOLFSSL* accept(int fd, krsd_clock::time_point until, std::string* err) const;

  // The SHA-256 of the certificate the daemon presents, 64 lower-case hex
  // digits (set by init): what a client pins.
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  [[nodiscard]] int take_fingerprint(std::string* err);

  WOLFSSL_CTX* ctx_ = nullptr;
  std::string fingerprint_;
};

// Makes an ECC P-256 key and a self-signed certificate (CN "krsd", ten
// years), both DER. 0, or -1 with the reason in *err.
int krsd_tls_make_self_signed(std::vector<unsigned char>* cert_der,
                              std::vector<unsigned char>* key_der, std::string* err);

// Shuts a TLS session down and frees it; null is accepted.
void krsd_tls_free(WOLFSSL* ssl);
// Frees the calling thread's ECC point cache of the TLS library (it is kept
// per thread and would stay behind when a connection thread ends).
void krsd_tls_thread_done();
// The negotiated protocol version and cipher suite, for the log.
const char* krsd_tls_version(WOLFSSL* ssl);
const char* krsd_tls_cipher(WOLFSSL* ssl);
// Plaintext transfer on a TLS session over a non-blocking socket: bytes
// moved, 0 = peer closed, KRSD_TLS_WANT_READ or KRSD_TLS_WANT_WRITE when
// the socket must be readable or writable before the same call is made
// again, or -1.
enum { KRSD_TLS_WANT_READ = -2, KRSD_TLS_WANT_WRITE = -3 };
long krsd_tls_read(WOLFSSL* ssl, void* buf, int len);
// Plaintext that a read takes without waiting for the socket.
bool krsd_tls_pending(WOLFSSL* ssl);
long krsd_tls_write(WOLFSSL* ssl, const void* buf, int len);
