// One client connection of krsd: the request loop of the remote file
// service protocol (one framed request, one framed response, in order).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "krsd_file.h"
#include "krsd_opts.h"
#include "krsd_tls.h"
#include "sd_comm.h"

// The platform code a login answers: any value but 1 (a Windows daemon)
// tells the client to read errno values as POSIX ones.
#define KRSD_OS_TYPE_POSIX 2
// The most file data one read answers or one write carries.
#define KRSD_MAX_DATA 0xA00000
// The largest request frame body accepted: a write of KRSD_MAX_DATA bytes
// packed at its worst, plus its other attributes.
#define KRSD_MAX_REQUEST (KRSD_MAX_DATA + 0x20000)

// What every connection of one daemon shares; read-only except the
// one-shot fault flags.
struct krsd_server_state {
  const krsd_opts* opts = nullptr;
  const krsd_fs* fs = nullptr;
  const krsd_tls_server* tls = nullptr;
  std::atomic<bool> drop_used{false};   // --drop-after N,once was spent
  std::atomic<bool> stall_used{false};  // --stall-after N:MS,once was spent
};

// Serves one accepted connection (TLS handshake first when tls is set) until
// the peer sends the exit request, closes, misbehaves or a fault drops it.
// Closes fd. Never throws.
void krsd_conn_serve(krsd_server_state* st, int fd, bool tls, const std::string& peer);
