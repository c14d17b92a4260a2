#include "krsd_client_testing.h"

#include <cstdio>

#include "sd_session.h"

namespace krsd_testing {

state peek(const krsd_client* ctx) {
  return {ctx->fd,       ctx->last_ret,     ctx->last_error, ctx->last_error_str,
          ctx->resp,     ctx->resp_cap,     ctx->conn.timeout, ctx->block_size,
          ctx->os_type,  ctx->pack,         ctx->codec != nullptr, ctx->conn.ssl != nullptr};
}

int use_pack(krsd_client* ctx, const char* pack) {
  snprintf(ctx->pack, sizeof ctx->pack, "%s", pack);
  return sdcomp_open(ctx);
}

void set_fd(krsd_client* ctx, int64_t fd) { ctx->fd = fd; }

void set_tls(krsd_client* ctx, void* ssl) { ctx->conn.ssl = ssl; }

}  // namespace krsd_testing
