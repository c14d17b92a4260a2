#include "sd_pack.h"

#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_session.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_pack"

int sdcomp_open(krsd_client* ctx) {
  sdcomp_close(ctx);
  ctx->codec = zcomp_open(ctx->pack);
  KR_LOG(OS_LOG_DEBUG, "zcomp_open %s h=%p\n", ctx->pack, static_cast<void*>(ctx->codec));
  return ctx->codec ? 0 : -1;
}

int sdcomp_pack(krsd_client* ctx, const void* in, int in_len, void* out, int out_cap) {
  return zcomp_compress(ctx->codec, in, in_len, out, out_cap);
}

int sdcomp_unpack(krsd_client* ctx, const void* in, int in_len, void* out, int out_cap) {
  return zcomp_decompress(ctx->codec, in, in_len, out, out_cap);
}

void sdcomp_close(krsd_client* ctx) {
  zcomp_close(ctx->codec);
  ctx->codec = nullptr;
}
