#include "dd_verify.h"

#include <cerrno>
#include <memory>
#include <new>

#include "dd_record.h"
#include "dd_report.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "tb_file.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\dd_verify"

namespace {

std::string errno_text(int code) {
  char text[200];
  os_error_text(code, text, sizeof text);
  return text;
}

}  // namespace

int dd_check_image(const std::string& image, dd_hashing& hashing, uint8_t** buf, int32_t block,
                   dd_image_check* out, std::string* error, const dd_check_hooks& hooks) {
  *out = dd_image_check{};
  dd_sidecar_data side;
  std::string load_error;
  if (dd_sidecar_load(image, &side, &load_error)) {
    out->have_record = side.error.empty();
    out->record_error = side.error;
  } else {
    out->record_error = load_error;  // empty when there is simply none
  }
  for (const auto& r : side.records) hashing.add_mark(r.end);

  tb_file_ref_t f = tb_file_init(image.c_str(), FILE_MODE_READ);
  if (!f) {
    *error = "open [" + image + "] error [" + errno_text(errno) + "]";
    return DD_CHECK_READ_ERROR;
  }
  const int64_t total = tb_file_size(f);
  int result = DD_CHECK_OK;
  for (;;) {
    if (hooks.stop && hooks.stop()) {
      result = DD_CHECK_STOPPED;
      break;
    }
    long r = tb_file_read(f, *buf, static_cast<size_t>(block));
    if (r < 0) {
      *error = "read [" + image + "] offset=" + std::to_string(out->size) + " error [" +
               errno_text(errno) + "]";
      result = DD_CHECK_READ_ERROR;
      break;
    }
    if (r == 0) break;
    if (hashing.threaded())
      *buf = hashing.submit(r);
    else
      hashing.update(*buf, r);
    out->size += r;
    if (hooks.progress) hooks.progress(out->size, total);
  }
  tb_file_close(f);
  hashing.drain();
  if (result != DD_CHECK_OK) return result;
  out->whole = hashing.digests();

  int64_t from = 0;
  for (const auto& r : side.records) {
    ++out->records;
    dd_digests got;
    if (r.end > out->size || !hashing.mark(r.end, &got, true) || !(got == r.d)) {
      // Pieces count on the grid of the piece size; a record may end inside
      // one (where an earlier job ended).
      out->bad_piece = static_cast<int>(from / hashing.piece()) + 1;
      out->bad_from = from;
      out->bad_to = r.end;
      break;
    }
    out->verified = r.end;
    from = r.end;
  }
  return DD_CHECK_OK;
}

int dd_verify_image(const std::string& image, const dd_check_hooks& hooks) {
  const char* img = image.c_str();
  KR_LOG(OS_LOG_INFO, "校验镜像: %s\n", img);
  nlohmann::json report;
  std::string report_error;
  const bool have_report = dd_report_load(image, &report, &report_error);
  const nlohmann::json whole = have_report ? report.value("image", nlohmann::json::object())
                                           : nlohmann::json::object();
  const bool have_hashes = whole.value("complete", false) && whole.contains("md5") && whole.contains("sha256");

  constexpr int32_t kBlock = 1 << 20;
  std::unique_ptr<uint8_t[]> first(new (std::nothrow) uint8_t[kBlock]);
  dd_hashing hashing(dd_piece_size());
  if (!first || !hashing.ok()) {
    KR_LOG(OS_LOG_ERR, "[%s] verify set-up error\n", img);
    return DD_VERIFY_NOTHING;
  }
  uint8_t* buf = first.get();
  hashing.start_threads(buf, kBlock);
  dd_image_check c;
  std::string error;
  int r = dd_check_image(image, hashing, &buf, kBlock, &c, &error, hooks);
  hashing.stop_threads();
  if (r == DD_CHECK_STOPPED) {
    KR_LOG(OS_LOG_ERR, "[%s] verify stopped error\n", img);
    return DD_VERIFY_NOTHING;
  }
  if (r != DD_CHECK_OK) {
    KR_LOG(OS_LOG_ERR, "%s\n", error.c_str());
    return DD_VERIFY_NOTHING;
  }
  const std::string md5 = dd_hex(c.whole.md5), sha256 = dd_hex(c.whole.sha256);
  KR_LOG(OS_LOG_INFO, "镜像 %lld 字节, md5 %s, sha256 %s\n", static_cast<long long>(c.size), md5.c_str(),
         sha256.c_str());
  bool differs = false;
  if (!c.record_error.empty()) KR_LOG(OS_LOG_ERR, "[%s] %s error\n", dd_sidecar_path(image).c_str(), c.record_error.c_str());
  if (c.differs()) {
    KR_LOG(OS_LOG_ERR, "[%s] piece %d bytes %lld-%lld differs from its record error\n", img, c.bad_piece,
           static_cast<long long>(c.bad_from), static_cast<long long>(c.bad_to));
    differs = true;
  }
  if (have_hashes) {
    const std::string want_md5 = whole["md5"].get<std::string>(), want_sha = whole["sha256"].get<std::string>();
    const int64_t want_size = whole.value("size", int64_t{-1});
    if (want_md5 != md5 || want_sha != sha256 || want_size != c.size) {
      KR_LOG(OS_LOG_ERR, "[%s] size=%lld md5=%s sha256=%s the report has size=%lld md5=%s sha256=%s error\n",
             img, static_cast<long long>(c.size), md5.c_str(), sha256.c_str(), static_cast<long long>(want_size),
             want_md5.c_str(), want_sha.c_str());
      differs = true;
    }
  }
  if (differs) {
    KR_LOG(OS_LOG_INFO, "镜像校验不一致: %s\n", img);
    return DD_VERIFY_DIFFERS;
  }
  const bool pieces_cover = c.have_record && c.records > 0 && c.verified == c.size;
  if (!have_hashes && !pieces_cover) {
    KR_LOG(OS_LOG_ERR, "[%s] %s nothing to compare with error\n", img,
           have_report ? "no hashes of the whole image in the report;" : report_error.c_str());
    return DD_VERIFY_NOTHING;
  }
  KR_LOG(OS_LOG_INFO, "镜像校验一致: %s\n", have_hashes ? "与报告的 MD5 和 SHA-256 相同" : "与分段记录相同");
  return DD_VERIFY_SAME;
}
