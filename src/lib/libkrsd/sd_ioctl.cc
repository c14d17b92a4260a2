#include <cstring>

#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_ioctl"

int sd_ioctl_request(krsd_client* ctx, int code, const void* data, int len) {
  KR_LOG(OS_LOG_DEBUG, "cmd=%d data=%p len=%d\n", code, data, len);
  if (len < 0 || (len > 0 && !data)) return KRSD_ERR_DATA;
  if (krp::encode<krp::ioctl::request>(&ctx->req, ctx->fd, code, len, krp::bytes{data, size_t(len)}) != 0)
    return KRSD_ERR_MEMORY;
  return KRSD_OK;
}

namespace {

// What the daemon accepted also holds here.
int ioctl_applied(krsd_client* ctx, int code, const void* data, int len) {
  int ret = cli_ioctl_imp(ctx, code, data, len);
  if (ret != 0) {
    KR_LOG(OS_LOG_DEBUG, "cli_ioctl_imp ret=%d\n", ret);
    return ret;
  }
  ctx->last_error = 0;
  return KRSD_OK;
}

}  // namespace

int sd_ioctl_answer(krsd_client* ctx, int code, const void* data, int len) {
  using A = krp::ioctl::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  int ret = sd_answer(ctx, A::rules, A::count, tb, &stage);
  return ret != KRSD_OK ? ret : ioctl_applied(ctx, code, data, len);
}

int cli_file_ioctl(krsd_client* ctx, int code, const void* data, int len) {
  int ret = sd_ioctl_request(ctx, code, data, len);
  if (ret != KRSD_OK) return ret;
  using A = krp::ioctl::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  ret = sd_exchange(ctx, krp::ioctl::command, A::rules, A::count, tb, &stage);
  return ret != KRSD_OK ? ret : ioctl_applied(ctx, code, data, len);
}

int cli_ioctl_imp(krsd_client* ctx, int code, const void* data, int len) {
  if (code == KRSD_IOCTL_PACK) {
    if (data != ctx->pack) {
      // The name may come without its terminator; take at most 15 characters.
      size_t n = len > 0 ? strnlen(static_cast<const char*>(data), size_t(len)) : 0;
      if (n > sizeof(ctx->pack) - 1) n = sizeof(ctx->pack) - 1;
      memcpy(ctx->pack, data, n);
      ctx->pack[n] = 0;
    }
    return sdcomp_open(ctx);
  }
  KR_LOG(OS_LOG_ERR, "cmd=%d error: unsupported command\n", code);
  return 1;
}
