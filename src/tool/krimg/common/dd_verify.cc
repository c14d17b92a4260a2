#include "dd_verify.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <new>

#include "dd_ewf.h"
#include "dd_host.h"
#include "dd_record.h"
#include "dd_report.h"
#include "krii_version.h"
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

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

long long ll(int64_t v) { return static_cast<long long>(v); }

}  // namespace

int dd_check_image(const std::string& image, dd_hashing& hashing, uint8_t** buf, int32_t block,
                   dd_image_check* out, std::string* error, const dd_check_hooks& hooks, bool prefix_only) {
  *out = dd_image_check{};
  std::string load_error;
  if (dd_sidecar_load(image, &out->side, &load_error)) {
    out->have_record = out->side.error.empty();
    out->record_error = out->side.error;
  } else {
    out->record_error = load_error;  // empty when there is simply none
  }
  const std::vector<dd_piece_record>& records = out->side.records;
  for (const auto& r : records) hashing.add_mark(r.end);

  // An E01 image is checked by its media, as libewf gives it back.
  dd_ewf_reader ewf;
  tb_file_ref_t f = nullptr;
  const bool e01 = dd_ewf_is_image(image);
  if (e01) {
    if (!ewf.open(image, error)) return DD_CHECK_READ_ERROR;
    out->size = ewf.media_size();
  } else {
    f = tb_file_init(image.c_str(), FILE_MODE_READ);
    if (!f) {
      *error = "open [" + image + "] error [" + errno_text(errno) + "]";
      return DD_CHECK_READ_ERROR;
    }
    out->size = tb_file_size(f);
    if (out->size < 0) {
      tb_file_close(f);
      *error = "size [" + image + "] error [" + errno_text(errno) + "]";
      return DD_CHECK_READ_ERROR;
    }
  }
  // What a resume takes from the image: only the bytes its record vouches for.
  int64_t limit = out->size;
  if (prefix_only) limit = records.empty() ? 0 : std::min(records.back().end, out->size);
  int result = DD_CHECK_OK;
  while (out->hashed < limit) {
    if (hooks.stop && hooks.stop()) {
      result = DD_CHECK_STOPPED;
      break;
    }
    const int64_t want = std::min<int64_t>(block, limit - out->hashed);
    std::string why;
    long r = e01 ? ewf.read(*buf, static_cast<size_t>(want), &why) : tb_file_read(f, *buf, static_cast<size_t>(want));
    if (r < 0) {
      if (!e01) why = "[" + errno_text(errno) + "]";
      *error = "read [" + image + "] offset=" + std::to_string(out->hashed) + " error " + why;
      result = DD_CHECK_READ_ERROR;
      break;
    }
    if (r == 0) break;  // the file shrank while it was read
    if (hashing.threaded())
      *buf = hashing.submit(r);
    else
      hashing.update(*buf, r);
    out->hashed += r;
    if (hooks.progress) hooks.progress(out->hashed, limit);
  }
  if (f) tb_file_close(f);
  hashing.drain();
  if (result != DD_CHECK_OK) return result;
  out->whole = hashing.digests();

  int64_t from = 0;
  for (const auto& r : records) {
    ++out->records;
    dd_digests got;
    if (r.end > out->hashed || !hashing.mark(r.end, &got, true) || !(got == r.d)) {
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

int dd_verify_image(const std::string& image, const dd_check_hooks& hooks, const char* program,
                    dd_verify_result* result) {
  dd_verify_result local;
  dd_verify_result& res = result ? *result : local;
  res = dd_verify_result{};
  const char* img = image.c_str();
  KR_LOG(OS_LOG_INFO, "校验镜像: %s\n", img);
  char sys[4096];
  if (tb_file_local_kind(img) != 1 || !tb_file_system_path(img, sys, sizeof sys)) {
    KR_LOG(OS_LOG_ERR, "[%s] is not a regular file, nothing to verify error\n", img);
    KR_LOG(OS_LOG_INFO, "校验跳过: %s 不是普通文件\n", img);
    return DD_VERIFY_NOTHING;
  }
  // A job writing the image would make any outcome meaningless.
  dd_image_lock lock;
  std::string lock_error;
  if (lock.acquire(sys, false, false, nullptr, &lock_error) == dd_image_lock::BUSY) {
    KR_LOG(OS_LOG_ERR, "[%s] is being written by a job error\n", img);
    KR_LOG(OS_LOG_INFO, "镜像文件正被任务写入, 无法校验\n");
    return DD_VERIFY_NOTHING;
  }
  nlohmann::json report;
  std::string report_error;
  const bool have_report = dd_report_load(image, &report, &report_error);
  if (!have_report) {
    KR_LOG(OS_LOG_ERR, "%s error\n", report_error.c_str());
    KR_LOG(OS_LOG_INFO, "镜像报告缺失或无法读取: 只能与分段记录比较\n");
  }
  const nlohmann::json whole = have_report ? report.value("image", nlohmann::json::object())
                                           : nlohmann::json::object();
  const bool have_hashes = whole.value("complete", false) && whole.contains("md5") && whole.contains("sha256") &&
                           whole["md5"].is_string() && whole["sha256"].is_string();

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
  res.size = c.size;
  res.digests = c.whole;
  res.hashed = true;
  KR_LOG(OS_LOG_INFO, "镜像 %lld 字节, md5 %s, sha256 %s\n", ll(c.size), md5.c_str(), sha256.c_str());
  bool differs = false;
  if (!c.record_error.empty()) {
    KR_LOG(OS_LOG_ERR, "[%s] %s error\n", dd_sidecar_path(image).c_str(), c.record_error.c_str());
    KR_LOG(OS_LOG_INFO, "分段记录无法读取: 只能与报告比较\n");
  } else if (!c.have_record) {
    KR_LOG(OS_LOG_INFO, "镜像没有分段记录 (%s)\n", dd_sidecar_path(image).c_str());
  }
  if (c.differs()) {
    KR_LOG(OS_LOG_ERR, "[%s] piece %d bytes %lld-%lld differs from its record error\n", img, c.bad_piece,
           ll(c.bad_from), ll(c.bad_to));
    differs = true;
  }
  if (have_hashes) {
    const std::string want_md5 = whole["md5"].get<std::string>(), want_sha = whole["sha256"].get<std::string>();
    const int64_t want_size = whole.value("size", int64_t{-1});
    if (lower(want_md5) != md5 || lower(want_sha) != sha256 || want_size != c.size) {
      KR_LOG(OS_LOG_ERR, "[%s] size=%lld md5=%s sha256=%s the report has size=%lld md5=%s sha256=%s error\n", img,
             ll(c.size), md5.c_str(), sha256.c_str(), ll(want_size), want_md5.c_str(), want_sha.c_str());
      differs = true;
    }
  }
  // What the record says of the zeros that are not the source's.
  if (c.have_record) {
    const std::vector<dd_range> bad = dd_ranges_below(c.side.unreadable, c.size);
    if (!c.side.unreadable_known())
      KR_LOG(OS_LOG_INFO, "分段记录没有无法读取的字节的记录 (旧版本)\n");
    else if (!bad.empty())
      KR_LOG(OS_LOG_INFO, "%lld 字节无法读取, 已写零 (%d 段, 见报告)\n", ll(dd_ranges_bytes(bad)), static_cast<int>(bad.size()));
  }
  const bool pieces_cover = c.have_record && c.records > 0 && c.verified == c.size;
  if (differs) {
    res.code = DD_VERIFY_DIFFERS;
    KR_LOG(OS_LOG_INFO, "镜像校验不一致: %s\n", img);
  } else if (!have_hashes && !pieces_cover) {
    KR_LOG(OS_LOG_ERR, "[%s] %s nothing to compare with error\n", img,
           have_report ? "no hashes of the whole image in the report;" : report_error.c_str());
    res.code = DD_VERIFY_NOTHING;
  } else {
    res.code = DD_VERIFY_SAME;
    KR_LOG(OS_LOG_INFO, "镜像校验一致: %s\n", have_hashes ? "与报告的 MD5 和 SHA-256 相同" : "与分段记录相同");
  }
  if (have_report) {
    static const char* const kText[] = {"the image matches its record", "the image differs from its record", "",
                                        "nothing to compare with"};
    nlohmann::json entry = {{"time", dd_report_time_text(dd_report_now())},
                            {"program", program ? program : "krimg"},
                            {"version", KRII_VERSION},
                            {"host", dd_host_utf8(dd_report_host())},
                            {"user", dd_host_utf8(dd_report_user())},
                            {"size", c.size},
                            {"md5", md5},
                            {"sha256", sha256},
                            {"result", res.code},
                            {"result_text", kText[res.code]}};
    if (c.differs()) entry["piece"] = c.bad_piece;
    lock.release();
    std::string add_error;
    if (!dd_report_add_verification(image, entry, &add_error))
      KR_LOG(OS_LOG_ERR, "%s\n", add_error.c_str());
  }
  return res.code;
}

dd_image_facts dd_image_facts_of(const std::string& image) {
  dd_image_facts f;
  tb_file_ref_t file = tb_file_init(image.c_str(), FILE_MODE_READ);
  if (!file) return f;
  f.exists = true;
  f.size = std::max<int64_t>(0, tb_file_size(file));
  tb_file_close(file);
  dd_sidecar_data side;
  std::string error;
  if (dd_sidecar_load(image, &side, &error) && side.error.empty()) {
    f.record = true;
    for (const auto& r : side.records)
      if (r.end <= f.size) f.recorded = r.end;
  }
  nlohmann::json report;
  if (dd_report_load(image, &report, &error)) {
    f.report = true;
    // Fields of another kind count as missing.
    auto text = [](const nlohmann::json& j, const char* key) {
      const auto it = j.find(key);
      return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const nlohmann::json& runs = report.value("runs", nlohmann::json::array());
    for (const auto& r : runs) {
      const auto wrote = r.find("wrote_image");
      if (wrote != r.end() && wrote->is_boolean() && !wrote->get<bool>()) continue;
      if (text(r, "mode") == "new" || f.started.empty()) f.started = text(r, "started");
      const auto src = r.find("source");
      if (src != r.end() && src->is_object()) f.source = text(*src, "given");
    }
    const nlohmann::json& whole = report.value("image", nlohmann::json::object());
    f.complete = whole.value("complete", false);
    if (f.complete) f.md5 = whole.value("md5", "");
  }
  return f;
}
