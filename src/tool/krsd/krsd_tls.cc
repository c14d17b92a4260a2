#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/wolfcrypt/asn_public.h>
#include <wolfssl/wolfcrypt/ecc.h>
#include <wolfssl/wolfcrypt/random.h>

#include "cert_fingerprint.h"
#include "krsd_tls.h"
#include "tls_suites.h"

#include <poll.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::once_flag g_lib_once;

std::string ssl_error_text(int code) {
  char buf[WOLFSSL_MAX_ERROR_SZ];
  wolfSSL_ERR_error_string_n(static_cast<unsigned long>(code), buf, sizeof(buf));
  return buf;
}

}  // namespace

// An ECC P-256 key and a self-signed certificate, both DER.
int krsd_tls_make_self_signed(std::vector<unsigned char>* cert_der, std::vector<unsigned char>* key_der,
                     std::string* err) {
  WC_RNG rng;
  if (wc_InitRng(&rng) != 0) {
    *err = "random generator failed";
    return -1;
  }
  ecc_key key;
  int rc = -1;
  if (wc_ecc_init(&key) != 0) {
    wc_FreeRng(&rng);
    *err = "ecc init failed";
    return -1;
  }
  do {
    if (wc_ecc_make_key(&rng, 32, &key) != 0) {
      *err = "ecc key generation failed";
      break;
    }
    Cert cert;
    if (wc_InitCert(&cert) != 0) {
      *err = "certificate init failed";
      break;
    }
    strncpy(cert.subject.commonName, "krsd", CTC_NAME_SIZE - 1);
    strncpy(cert.subject.org, "krii", CTC_NAME_SIZE - 1);
    cert.daysValid = 3650;
    cert.sigType = CTC_SHA256wECDSA;
    cert.selfSigned = 1;
    cert_der->assign(4096, 0);
    int n = wc_MakeCert(&cert, cert_der->data(), static_cast<word32>(cert_der->size()),
                        nullptr, &key, &rng);
    if (n < 0) {
      *err = "certificate build failed";
      break;
    }
    n = wc_SignCert(cert.bodySz, cert.sigType, cert_der->data(),
                    static_cast<word32>(cert_der->size()), nullptr, &key, &rng);
    if (n < 0) {
      *err = "certificate signing failed";
      break;
    }
    cert_der->resize(static_cast<size_t>(n));
    key_der->assign(512, 0);
    n = wc_EccKeyToDer(&key, key_der->data(), static_cast<word32>(key_der->size()));
    if (n < 0) {
      *err = "key export failed";
      break;
    }
    key_der->resize(static_cast<size_t>(n));
    rc = 0;
  } while (false);
  wc_ecc_free(&key);
  wc_FreeRng(&rng);
  return rc;
}

namespace {

// Without AES instructions in the library build, ChaCha20-Poly1305 is about
// three times faster than AES-GCM: it goes first, and the daemon's order
// decides. The other suites a session may have follow (sd_tls_suite_allowed:
// ECDHE, a certificate, AEAD), so that a client asking for one of them gets
// it; no other is offered or accepted.
std::string cipher_preference() {
  static const char* const kFirst[] = {"TLS13-CHACHA20-POLY1305-SHA256",
                                       "ECDHE-ECDSA-CHACHA20-POLY1305"};
  std::string list;
  std::vector<std::string> first;
  for (int i = 0;; i++) {
    const char* c = wolfSSL_get_cipher_list(i);
    if (c == nullptr) break;
    if (!sd_tls_suite_allowed(c, true)) continue;
    bool preferred = false;
    for (const char* f : kFirst) preferred |= strcmp(c, f) == 0;
    if (preferred) {
      first.emplace_back(c);
      continue;
    }
    list += ":";
    list += c;
  }
  std::string head;
  for (const auto& f : first) head += (head.empty() ? "" : ":") + f;
  if (head.empty()) return list.empty() ? list : list.substr(1);
  return head + list;
}

}  // namespace

krsd_tls_server::~krsd_tls_server() {
  if (ctx_ != nullptr) wolfSSL_CTX_free(ctx_);
}

int krsd_tls_server::init(const krsd_opts& opts, std::string* err) {
  std::call_once(g_lib_once, [] { wolfSSL_Init(); });
  ctx_ = wolfSSL_CTX_new(wolfSSLv23_server_method());
  if (ctx_ == nullptr) {
    *err = "SSL_CTX_new failed";
    return -1;
  }
  wolfSSL_CTX_SetMinVersion(ctx_, WOLFSSL_TLSV1_2);
  wolfSSL_CTX_set_verify(ctx_, WOLFSSL_VERIFY_NONE, nullptr);
  // Without its list the library would accept any suite it knows.
  std::string ciphers = cipher_preference();
  if (ciphers.empty() || wolfSSL_CTX_set_cipher_list(ctx_, ciphers.c_str()) != WOLFSSL_SUCCESS) {
    *err = "no TLS suite with ECDHE and AEAD in the TLS library";
    return -1;
  }
  wolfSSL_CTX_set_options(ctx_, WOLFSSL_OP_CIPHER_SERVER_PREFERENCE);
  if (!opts.cert.empty()) {
    if (wolfSSL_CTX_use_certificate_file(ctx_, opts.cert.c_str(), WOLFSSL_FILETYPE_PEM) !=
            WOLFSSL_SUCCESS &&
        wolfSSL_CTX_use_certificate_file(ctx_, opts.cert.c_str(), WOLFSSL_FILETYPE_ASN1) !=
            WOLFSSL_SUCCESS) {
      *err = "cannot load the certificate " + opts.cert;
      return -1;
    }
    if (wolfSSL_CTX_use_PrivateKey_file(ctx_, opts.key.c_str(), WOLFSSL_FILETYPE_PEM) !=
            WOLFSSL_SUCCESS &&
        wolfSSL_CTX_use_PrivateKey_file(ctx_, opts.key.c_str(), WOLFSSL_FILETYPE_ASN1) !=
            WOLFSSL_SUCCESS) {
      *err = "cannot load the key " + opts.key;
      return -1;
    }
    return take_fingerprint(err);
  }
  std::vector<unsigned char> cert, key;
  if (krsd_tls_make_self_signed(&cert, &key, err) != 0) return -1;
  if (wolfSSL_CTX_use_certificate_buffer(ctx_, cert.data(), static_cast<long>(cert.size()),
                                         WOLFSSL_FILETYPE_ASN1) != WOLFSSL_SUCCESS ||
      wolfSSL_CTX_use_PrivateKey_buffer(ctx_, key.data(), static_cast<long>(key.size()),
                                        WOLFSSL_FILETYPE_ASN1) != WOLFSSL_SUCCESS) {
    *err = "cannot load the self-signed certificate";
    return -1;
  }
  return take_fingerprint(err);
}

int krsd_tls_server::take_fingerprint(std::string* err) {
  // The certificate as loaded, whichever form its file had.
  WOLFSSL_X509* x509 = wolfSSL_CTX_get0_certificate(ctx_);
  int len = 0;
  const unsigned char* der = x509 ? wolfSSL_X509_get_der(x509, &len) : nullptr;
  char hex[SD_SHA256_HEX];
  if (!der || len <= 0 || !sd_cert_sha256_hex(der, size_t(len), hex)) {
    *err = "cannot take the certificate's fingerprint";
    return -1;
  }
  fingerprint_ = hex;
  return 0;
}

WOLFSSL* krsd_tls_server::accept(int fd, krsd_clock::time_point until, std::string* err) const {
  WOLFSSL* ssl = wolfSSL_new(ctx_);
  if (ssl == nullptr) {
    *err = "SSL_new failed";
    return nullptr;
  }
  if (wolfSSL_set_fd(ssl, fd) != WOLFSSL_SUCCESS) {
    *err = "SSL_set_fd failed";
    wolfSSL_free(ssl);
    return nullptr;
  }
  for (;;) {
    int r = wolfSSL_accept(ssl);
    if (r == WOLFSSL_SUCCESS) return ssl;
    int e = wolfSSL_get_error(ssl, r);
    short wait = e == WOLFSSL_ERROR_WANT_READ ? POLLIN : e == WOLFSSL_ERROR_WANT_WRITE ? POLLOUT : 0;
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
  wolfSSL_free(ssl);
  return nullptr;
}

void krsd_tls_free(WOLFSSL* ssl) {
  if (ssl == nullptr) return;
  wolfSSL_shutdown(ssl);
  wolfSSL_free(ssl);
}

namespace {

long transfer_result(WOLFSSL* ssl, int r) {
  if (r > 0) return r;
  switch (wolfSSL_get_error(ssl, r)) {
    case WOLFSSL_ERROR_ZERO_RETURN: return 0;
    case WOLFSSL_ERROR_WANT_READ: return KRSD_TLS_WANT_READ;
    case WOLFSSL_ERROR_WANT_WRITE: return KRSD_TLS_WANT_WRITE;
    default: return -1;
  }
}

}  // namespace

long krsd_tls_read(WOLFSSL* ssl, void* buf, int len) {
  return transfer_result(ssl, wolfSSL_read(ssl, buf, len));
}

bool krsd_tls_pending(WOLFSSL* ssl) { return wolfSSL_pending(ssl) > 0; }

long krsd_tls_write(WOLFSSL* ssl, const void* buf, int len) {
  long r = transfer_result(ssl, wolfSSL_write(ssl, buf, len));
  return r == 0 ? -1 : r;
}

const char* krsd_tls_version(WOLFSSL* ssl) { return wolfSSL_get_version(ssl); }
const char* krsd_tls_cipher(WOLFSSL* ssl) { return wolfSSL_get_cipher_name(ssl); }

void krsd_tls_thread_done() {
#ifdef FP_ECC
  wc_ecc_fp_free();
#endif
}
