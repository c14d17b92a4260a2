// The TLS channel of krps sessions: the library's network I/O runs through
// a BIO over the socket helpers, so TLS obeys the same socket and read
// time-out as a plain session.
#pragma once

#include <cstddef>

#include "cert_fingerprint.h"

struct krsd_client;
struct net_conn;

// The TLS client context (TLS 1.2 at most, no peer verification, the
// suites of SD_TLS12_SUITES fastest first on this processor), or null after
// "SSL_CTX_new error\n" (or the cipher list's error line). Also registers
// SslReadAsyn/SslWriteAsyn as the TLS hooks of libnet.
void* sd_cli_ssl_ctx_new();
// A non-blocking TLS session object with ctx as its BIO's session and
// the cipher list set when not empty (a refused list is logged, the
// defaults stay), or null.
void* sd_srv_ssl_new(void* tls_ctx, krsd_client* ctx, const char* cipher);
// A TLS session object after a completed handshake, or null. The handshake
// is bounded by the session's read time-out.
void* sd_cli_ssl_connect(void* tls_ctx, krsd_client* ctx, const char* cipher, int connect_timeout);
// The name of the suite the handshake agreed; empty without one.
const char* sd_ssl_suite(void* ssl);
// Shuts the session down and frees it; null is accepted.
void sd_ssl_free(void* ssl);
// The TLS hooks: plaintext bytes moved (the full length, or fewer when the
// read time-out ran out), or -1 on a TLS error.
long SslReadAsyn(net_conn* conn, void* buf, size_t len);
long SslWriteAsyn(net_conn* conn, const void* buf, size_t len);

// After the handshake: records the daemon's certificate fingerprint in the
// session (ctx->peer_sha256) and, when pin is not empty, refuses any other
// certificate with a log line. 0, or -1 when refused or unknown.
int sd_ssl_check_peer(krsd_client* ctx, const char* pin);
