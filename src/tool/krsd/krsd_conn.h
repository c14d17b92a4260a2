// One client connection of krsd: the request loop of the remote file
// service protocol (one framed request, one framed response, in order).
//
// Errors of a connection: each step of the loop returns a bool, true to go
// on, false when the connection ends (after the log line of why, where the
// step knows it). A request the file layer fails is no failure of the
// connection: its errno value and krsd_errno_text's words go back in the
// answer, and the loop goes on. Only the socket's transfers count bytes
// (0 closed, KRSD_TLS_WANT_READ/WRITE, -1), as a receive or a send does.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "krsd_file.h"
#include "krsd_guard.h"
#include "krsd_opts.h"
#include "krsd_tls.h"
#include "krp_wire.h"

// What every connection of one daemon shares; read-only except the
// guards and the one-shot fault flags.
struct krsd_server_state {
  const krsd_opts* opts = nullptr;
  const krsd_fs* fs = nullptr;
  const krsd_tls_server* tls = nullptr;
  krsd_budget budget;       // --mem-limit (set by the server from opts)
  krsd_login_gate logins;
  std::atomic<bool> drop_used{false};   // --drop-after N,once was spent
  std::atomic<bool> stall_used{false};  // --stall-after N:MS,once was spent
};

// Serves one accepted connection (TLS handshake first when tls is set) until
// the peer sends the exit request, closes, misbehaves or a fault drops it.
// Closes fd. Never throws.
void krsd_conn_serve(krsd_server_state* st, int fd, bool tls, const std::string& peer);
