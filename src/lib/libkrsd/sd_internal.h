// Internal pieces shared by the client modules.
#pragma once

#include <cstddef>

#include "krsd_client.h"

// Where an exchange stopped, for the callers' own log lines.
enum sd_stage {
  SD_STAGE_BUILD,   // the request could not be built (memory)
  SD_STAGE_SEND,
  SD_STAGE_RECV,
  SD_STAGE_PARSE,
  SD_STAGE_REMOTE,  // the daemon answered with a non-zero errno
  SD_STAGE_DONE,
};

// Sends the request built in ctx->req with cmd, receives the response and
// parses its root payload with rules (whose first two are "errno" and
// "errno_str") into tb. On a non-zero errno stores it and its text and
// returns KRSD_ERR_REMOTE; on success last_error becomes 0. last_error is
// cleared first, so the error class always describes this exchange.
int sd_exchange(krsd_client* ctx, int cmd, const blobmsg_rule* rules, int n, const blob_attr** tb,
                sd_stage* stage);

// Copies text into dst (size bytes), cut to size - 1 and terminated.
void sd_copy_text(char* dst, size_t size, const char* text);

// Records why the connect or open of krsd_file_init failed on this thread
// (printf format); an empty format clears it.
void sd_open_failed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The process-wide TLS client context (created by krsd_cli_lib_init).
void* sd_tls_ctx();
