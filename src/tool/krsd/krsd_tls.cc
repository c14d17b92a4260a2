#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "cert_fingerprint.h"
#include "krsd_tls.h"
#include "tls_suites.h"

#include <poll.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// An answer's records gather up to this much before they go out: four full
// records.
constexpr int kWriteBuffer = 4 * (16384 + 256);

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

// The library's reason for the newest error of this thread, or the class of
// the failed call when it left none.
std::string ssl_error_text(int code) {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return "error " + std::to_string(code);
  const char* why = ERR_reason_error_string(e);
  return why ? why : "error " + std::to_string(code);
}

// DER of a certificate or key into out; false when it cannot be encoded.
template <typename T>
bool to_der(int (*encode)(const T*, unsigned char**), const T* obj, std::vector<unsigned char>* out) {
  const int n = encode(obj, nullptr);
  if (n <= 0) return false;
  out->assign(size_t(n), 0);
  unsigned char* p = out->data();
  return encode(obj, &p) == n;
}

}  // namespace

// An ECC P-256 key and a self-signed certificate, both DER.
int krsd_tls_make_self_signed(std::vector<unsigned char>* cert_der, std::vector<unsigned char>* key_der,
                     std::string* err) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) {
    *err = "ecc key generation failed";
    return -1;
  }
  X509Ptr cert(X509_new());
  unsigned char serial[8];
  if (!cert || RAND_bytes(serial, sizeof serial) != 1) {
    *err = "certificate init failed";
    return -1;
  }
  uint64_t number = 0;
  for (unsigned char b : serial) number = number << 8 | b;
  X509_NAME* name = X509_get_subject_name(cert.get());
  const auto* cn = reinterpret_cast<const unsigned char*>("krsd");
  const auto* org = reinterpret_cast<const unsigned char*>("krii");
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), number >> 1 | 1) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 24 * 3600) ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, org, -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1 ||
      X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key.get()) != 1) {
    *err = "certificate build failed";
    return -1;
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    *err = "certificate signing failed";
    return -1;
  }
  if (!to_der(i2d_X509, cert.get(), cert_der)) {
    *err = "certificate build failed";
    return -1;
  }
  if (!to_der(i2d_PrivateKey, key.get(), key_der)) {
    *err = "key export failed";
    return -1;
  }
  return 0;
}

namespace {

// A suite's name as the log and tls_suites.h write it: the TLS 1.3 suites
// as TLS13-CIPHER-HASH.
const char* suite_name(const SSL_CIPHER* c) {
  if (c == nullptr) return "";
  static const char* const kTls13[][2] = {{"TLS_CHACHA20_POLY1305_SHA256", "TLS13-CHACHA20-POLY1305-SHA256"},
                                          {"TLS_AES_128_GCM_SHA256", "TLS13-AES128-GCM-SHA256"},
                                          {"TLS_AES_256_GCM_SHA384", "TLS13-AES256-GCM-SHA384"}};
  const char* name = SSL_CIPHER_get_name(c);
  for (const auto& n : kTls13)
    if (strcmp(name, n[0]) == 0) return n[1];
  return name;
}

// The context's suites, in its order of preference: the fastest on this
// processor first (AES-GCM with AES instructions, ChaCha20-Poly1305
// without). A client that asks for ChaCha20-Poly1305 first has no AES
// instructions itself and gets it. The suites sd_tls_suite_allowed names
// and no other: false when the library took anything else, or nothing.
bool set_suites(SSL_CTX* ctx, bool aes_first) {
  const std::string tls12 = sd_tls12_suites_by_speed(aes_first);
  const char* tls13 = aes_first ? "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256"
                                : "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384";
  if (SSL_CTX_set_cipher_list(ctx, tls12.c_str()) != 1 || SSL_CTX_set_ciphersuites(ctx, tls13) != 1)
    return false;
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
  STACK_OF(SSL_CIPHER)* all = SSL_CTX_get_ciphers(ctx);
  const int n = all ? sk_SSL_CIPHER_num(all) : 0;
  for (int i = 0; i < n; i++)
    if (!sd_tls_suite_allowed(suite_name(sk_SSL_CIPHER_value(all, i)), true)) return false;
  return n > 0;
}

}  // namespace

krsd_tls_server::~krsd_tls_server() {
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

int krsd_tls_server::init(const krsd_opts& opts, std::string* err) {
  return init(opts, sd_tls_cpu_has_aes(), err);
}

int krsd_tls_server::init(const krsd_opts& opts, bool aes_first, std::string* err) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) {
    *err = "SSL_CTX_new failed";
    return -1;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  // No session is resumed or renegotiated.
  SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
  // A write may end after a record: the caller goes on with the rest.
  SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE);
  // Without its list the library would accept any suite it knows.
  if (!set_suites(ctx_, aes_first)) {
    *err = "no TLS suite with ECDHE and AEAD in the TLS library";
    return -1;
  }
  if (!opts.cert.empty()) {
    if (SSL_CTX_use_certificate_file(ctx_, opts.cert.c_str(), SSL_FILETYPE_PEM) != 1 &&
        SSL_CTX_use_certificate_file(ctx_, opts.cert.c_str(), SSL_FILETYPE_ASN1) != 1) {
      ERR_clear_error();
      *err = "cannot load the certificate " + opts.cert;
      return -1;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx_, opts.key.c_str(), SSL_FILETYPE_PEM) != 1 &&
        SSL_CTX_use_PrivateKey_file(ctx_, opts.key.c_str(), SSL_FILETYPE_ASN1) != 1) {
      ERR_clear_error();
      *err = "cannot load the key " + opts.key;
      return -1;
    }
    ERR_clear_error();
    return take_fingerprint(err);
  }
  std::vector<unsigned char> cert, key;
  if (krsd_tls_make_self_signed(&cert, &key, err) != 0) return -1;
  if (SSL_CTX_use_certificate_ASN1(ctx_, int(cert.size()), cert.data()) != 1 ||
      SSL_CTX_use_PrivateKey_ASN1(EVP_PKEY_EC, ctx_, key.data(), long(key.size())) != 1) {
    ERR_clear_error();
    *err = "cannot load the self-signed certificate";
    return -1;
  }
  return take_fingerprint(err);
}

int krsd_tls_server::take_fingerprint(std::string* err) {
  // The certificate as loaded, whichever form its file had.
  std::vector<unsigned char> der;
  X509* x509 = SSL_CTX_get0_certificate(ctx_);
  char hex[SD_SHA256_HEX];
  if (!x509 || !to_der(i2d_X509, x509, &der) || !sd_cert_sha256_hex(der.data(), der.size(), hex)) {
    *err = "cannot take the certificate's fingerprint";
    return -1;
  }
  fingerprint_ = hex;
  return 0;
}

SSL* krsd_tls_server::accept(int fd, krsd_clock::time_point until, std::string* err) const {
  SSL* ssl = SSL_new(ctx_);
  if (ssl == nullptr) {
    *err = "SSL_new failed";
    return nullptr;
  }
  // Reads straight from the socket; writes through a buffer, so that an
  // answer's records go out a few at a time, not one system call each.
  BIO* rbio = BIO_new_socket(fd, BIO_NOCLOSE);
  BIO* sock = BIO_new_socket(fd, BIO_NOCLOSE);
  BIO* wbio = BIO_new(BIO_f_buffer());
  if (!rbio || !sock || !wbio || BIO_set_write_buffer_size(wbio, kWriteBuffer) != 1) {
    BIO_free(rbio);
    BIO_free(sock);
    BIO_free(wbio);
    *err = "SSL_set_fd failed";
    SSL_free(ssl);
    return nullptr;
  }
  SSL_set_bio(ssl, rbio, BIO_push(wbio, sock));
  for (;;) {
    ERR_clear_error();
    int r = SSL_accept(ssl);
    if (r == 1) return ssl;
    int e = SSL_get_error(ssl, r);
    short wait = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (wait == 0) {
      *err = "handshake failed: " + ssl_error_text(e);
      break;
    }
    // A peer that trickles its handshake is not waited for past the login time.
    if (!krsd_wait_fd(fd, wait, until)) {
      *err = "handshake not done within the login time";
      break;
    }
  }
  SSL_free(ssl);
  return nullptr;
}

void krsd_tls_free(SSL* ssl) {
  if (ssl == nullptr) return;
  // A peer that went away leaves errors of this thread behind.
  SSL_shutdown(ssl);
  ERR_clear_error();
  SSL_free(ssl);
}

namespace {

long transfer_result(SSL* ssl, int r) {
  if (r > 0) return r;
  switch (SSL_get_error(ssl, r)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_READ: return KRSD_TLS_WANT_READ;
    case SSL_ERROR_WANT_WRITE: return KRSD_TLS_WANT_WRITE;
    default: ERR_clear_error(); return -1;
  }
}

}  // namespace

long krsd_tls_read(SSL* ssl, void* buf, int len) {
  ERR_clear_error();
  return transfer_result(ssl, SSL_read(ssl, buf, len));
}

bool krsd_tls_pending(SSL* ssl) { return SSL_pending(ssl) > 0; }

long krsd_tls_write(SSL* ssl, const void* buf, int len) {
  ERR_clear_error();
  long r = transfer_result(ssl, SSL_write(ssl, buf, len));
  return r == 0 ? -1 : r;
}

long krsd_tls_flush(SSL* ssl) {
  BIO* w = SSL_get_wbio(ssl);
  if (BIO_flush(w) > 0) return 1;
  return BIO_should_retry(w) ? KRSD_TLS_WANT_WRITE : -1;
}

const char* krsd_tls_version(SSL* ssl) { return SSL_get_version(ssl); }
const char* krsd_tls_cipher(SSL* ssl) { return suite_name(SSL_get_current_cipher(ssl)); }

void krsd_tls_thread_done() { OPENSSL_thread_stop(); }
