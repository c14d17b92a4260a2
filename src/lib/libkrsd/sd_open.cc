#include <cerrno>
#include <cstring>

#include "krsd_client.h"
#include "os/os_log.h"
#include "sd_internal.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_open"

namespace {

const blobmsg_rule kOpenRules[] = {
    {"errno", BLOBMSG_TYPE_INT32},
    {"errno_str", BLOBMSG_TYPE_STRING},
    {"fd", BLOBMSG_TYPE_INT64},
};
const blobmsg_rule kCloseRules[] = {
    {"errno", BLOBMSG_TYPE_INT32},
    {"errno_str", BLOBMSG_TYPE_STRING},
};

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
  if (blobmsg_begin(&ctx->req) != 0 || blobmsg_put_string(&ctx->req, "path", utf8) != 0 ||
      blobmsg_put_u64(&ctx->req, "mode", uint64_t(int64_t(mode))) != 0)
    return KRSD_ERR_MEMORY;
  return KRSD_OK;
}

namespace {

int opened(krsd_client* ctx, int ret, sd_stage stage, const blob_attr* const* tb) {
  if (stage == SD_STAGE_PARSE && ret == KRSD_ERR_DATA) KR_LOG(OS_LOG_ERR, "parse data error\n");
  if (ret != KRSD_OK) return ret;
  ctx->fd = blobmsg_get_u64(tb[2]);
  ctx->position = 0;
  return KRSD_OK;
}

}  // namespace

int sd_open_answer(krsd_client* ctx) {
  const blob_attr* tb[3];
  sd_stage stage;
  int ret = sd_answer(ctx, kOpenRules, 3, tb, &stage);
  return opened(ctx, ret, stage, tb);
}

int cli_open(krsd_client* ctx, const char* path, int mode) {
  int ret = sd_open_request(ctx, path, mode);
  if (ret != KRSD_OK) return ret;
  const blob_attr* tb[3];
  sd_stage stage;
  ret = sd_exchange(ctx, KRSD_CMD_OPEN, kOpenRules, 3, tb, &stage);
  return opened(ctx, ret, stage, tb);
}

int cli_close(krsd_client* ctx) {
  if (blobmsg_begin(&ctx->req) != 0 || blobmsg_put_u64(&ctx->req, "fd", uint64_t(ctx->fd)) != 0)
    return KRSD_ERR_MEMORY;
  const blob_attr* tb[2];
  sd_stage stage;
  return sd_exchange(ctx, KRSD_CMD_CLOSE, kCloseRules, 2, tb, &stage);
}
