#include <cerrno>
#include <cstring>

#include "krp_msg.h"
#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_open"

namespace {

constexpr size_t kPathArea = 4096;

}  // namespace

int sd_open_request(krsd_client* ctx, const char* path, int mode) {
  // Narrow text is already UTF-8 on this platform, so the name goes out as it
  // is; it must fit the 4096-byte conversion area with its terminator.
  if (!path) path = "";
  size_t n = strnlen(path, kPathArea);
  if (n >= kPathArea) {
    KR_LOG(OS_LOG_ERR, "path too long [%d]\n", int(n));
    errno = ENAMETOOLONG;
    return KRSD_ERR_SYS;
  }
  char utf8[kPathArea];
  memcpy(utf8, path, n + 1);
  KR_LOG(OS_LOG_DEBUG, "open %s mode=%d\n", utf8, mode);
  if (krp::encode<krp::open::request>(&ctx->req, utf8, mode) != 0) return KRSD_ERR_MEMORY;
  return KRSD_OK;
}

namespace {

int opened(krsd_client* ctx, int ret, sd_stage stage, const blob_attr* const* tb) {
  if (stage == SD_STAGE_PARSE && ret == KRSD_ERR_DATA) KR_LOG(OS_LOG_ERR, "parse data error\n");
  if (ret != KRSD_OK) return ret;
  ctx->fd = blobmsg_get_u64(tb[krp::open::answer::fd]);
  ctx->position = 0;
  return KRSD_OK;
}

}  // namespace

int sd_open_answer(krsd_client* ctx) {
  using A = krp::open::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  int ret = sd_answer(ctx, A::rules, A::count, tb, &stage);
  return opened(ctx, ret, stage, tb);
}

int cli_open(krsd_client* ctx, const char* path, int mode) {
  int ret = sd_open_request(ctx, path, mode);
  if (ret != KRSD_OK) return ret;
  using A = krp::open::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  ret = sd_exchange(ctx, krp::open::command, A::rules, A::count, tb, &stage);
  return opened(ctx, ret, stage, tb);
}

int cli_close(krsd_client* ctx) {
  if (krp::encode<krp::close::request>(&ctx->req, ctx->fd) != 0) return KRSD_ERR_MEMORY;
  using A = krp::close::answer;
  const blob_attr* tb[A::count];
  sd_stage stage;
  return sd_exchange(ctx, krp::close::command, A::rules, A::count, tb, &stage);
}
