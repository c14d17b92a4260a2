// The job's record beside the copy loop: hashes, sidecar, resume check and
// the facts of the report.
#include "dd_record.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <random>

#include "dd_report.h"
#include "krdd.h"
#include "krsd_ui.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "tb_url.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\krsd-client"

namespace {

std::mutex g_case_mu;
dd_case_info g_case;  // guarded by g_case_mu

bool g_ring = false;
std::atomic<int64_t> g_piece{0};  // the hashes run on their threads over the job's ring

long long ll(int64_t v) { return static_cast<long long>(v); }
unsigned long long ull(int64_t v) { return static_cast<unsigned long long>(v); }

// Sidecar and report go beside images that are (or will be) regular local
// files; a disk, /dev/null or a remote output gets neither.
bool records_beside(const std::string& image) {
  if (G.out_kind != TB_URL_PROTOCOL_FILE) return false;
  const int kind = tb_file_local_kind(image.c_str());
  return kind == 1 || kind == -1;
}

// The status line of a long re-hash, at most once a second.
void check_progress(int64_t done, int64_t total) {
  static int64_t last = 0;
  const int64_t now = dd_clock_ms();
  if (last != 0 && now - last < 1000 && done != total) return;
  last = now;
  const int percent = total > 0 ? static_cast<int>(static_cast<double>(done) / total * 100.0) : 0;
  char text[128];
  snprintf(text, sizeof text, "校验已有数据: %llu bytes (%s), %d%%", ull(done), human_size(ull(done), 0),
           percent);
  ui_set_progress(percent);
  ui_set_status(text);
}

// Logs what the resume check found; DD_DONE when the job may go on.
int judge_check(const dd_image_check& c) {
  const char* img = G.outfile.c_str();
  if (!c.have_record && !c.record_error.empty()) {
    KR_LOGF(OS_LOG_ERR, "krdd_work", "[%s] %s error\n", dd_sidecar_path(G.outfile).c_str(),
            c.record_error.c_str());
    KR_LOGF(OS_LOG_INFO, "krdd_work", "镜像记录无法读取, 不能继续断点镜像; 请重新镜像\n");
    return DD_FAILED;
  }
  if (c.differs()) {
    KR_LOGF(OS_LOG_ERR, "krdd_work", "[%s] piece %d bytes %lld-%lld differs from its record error\n",
            img, c.bad_piece, ll(c.bad_from), ll(c.bad_to));
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据第 %d 段 (%lld - %lld) 与记录不符, 不能继续断点镜像; 请重新镜像\n",
            c.bad_piece, ll(c.bad_from), ll(c.bad_to));
    return DD_FAILED;
  }
  if (!c.have_record) {
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据 %lld (%s): not verified against a record\n", ll(c.size),
            human_size(ull(c.size), 0));
  } else if (c.verified == c.size) {
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据 %lld (%s) 与记录一致\n", ll(c.size),
            human_size(ull(c.size), 0));
  } else {
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据 0 - %lld 与记录一致; %lld - %lld 无记录, 未校验\n",
            ll(c.verified), ll(c.verified), ll(c.size));
  }
  return DD_DONE;
}

}  // namespace

void dd_piece_size_set(int64_t bytes) { g_piece.store(bytes > 0 ? bytes : 0); }
int64_t dd_piece_size() {
  const int64_t p = g_piece.load();
  return p > 0 ? p : DD_PIECE_SIZE;
}

void dd_case_set(const dd_case_info& info) {
  std::lock_guard<std::mutex> lock(g_case_mu);
  g_case = info;
}

dd_case_info dd_case_get() {
  std::lock_guard<std::mutex> lock(g_case_mu);
  return g_case;
}

const char* dd_result_text(int result) {
  switch (result) {
    case DD_DONE: return "the source was copied to its end";
    case DD_FAILED: return "failed";
    case DD_OPEN_FAILED: return "the source could not be opened";
    case DD_READ_FAILED: return "read error that persisted after the retry, or the source ended early";
    case DD_WRITE_FAILED: return "write error on the output";
    case DD_STOPPED: return "stopped by the examiner";
    default: return "unknown";
  }
}

void dd_record_setup() {
  G.rec = std::make_unique<dd_job_record>();
  G.rec->info = dd_case_get();
  G.rec->start_s = dd_report_now();
  G.rec->run_id = std::to_string(G.rec->start_s) + "-" + std::to_string(std::random_device{}());
  g_ring = false;
}

int dd_record_begin() {
  dd_job_record& R = *G.rec;
  if (!R.hashing.ok()) KR_LOGF(OS_LOG_ERR, "krdd_work", "hash init error\n");
  R.records = records_beside(G.outfile);
  g_ring = !dd_flag(DD_TWO_BUFFERS) && G.ibuf && G.ibuf == G.obuf &&
           R.hashing.start_threads(G.ibuf, G.ibs);
  if (!dd_flag(DD_RESUME)) return DD_DONE;
  if (!R.records || tb_file_local_kind(G.outfile.c_str()) != 1) {
    R.hashed_from = -1;  // nothing to re-hash the prefix from
    return DD_DONE;
  }
  uint8_t* buf = G.ibuf;
  std::string error;
  dd_check_hooks hooks{[] { return dd_flag(DD_STOP); }, check_progress};
  const int c = dd_check_image(G.outfile, R.hashing, &buf, G.ibs, &R.check, &error, hooks);
  G.ibuf = G.obuf = buf;
  if (!dd_flag(DD_NO_STATUS)) {
    ui_set_status("");
    ui_set_progress(0);
  }
  if (c == DD_CHECK_STOPPED) return DD_STOPPED;
  if (c != DD_CHECK_OK) {
    KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
    return DD_FAILED;
  }
  R.checked = true;
  return judge_check(R.check);
}

int dd_record_image_open() {
  dd_job_record& R = *G.rec;
  if (R.checked && G.out_size != R.check.size) {
    // The re-hashed prefix must be the one the copy continues.
    KR_LOGF(OS_LOG_ERR, "krdd_work", "[%s] size=%lld hashed=%lld the image changed during the check error\n",
            G.outfile.c_str(), ll(G.out_size), ll(R.check.size));
    return DD_FAILED;
  }
  tb_file_devinfo info{};
  if (stream_ctrl(G.in_stream, STREAM_CTRL_DEVINFO, &info)) R.sector_bytes = info.sector_bytes;
  char fp[65] = "";
  if (stream_ctrl(G.in_stream, STREAM_CTRL_PEER_SHA256, fp)) R.peer_sha256 = fp;
  if (!R.records) return DD_DONE;
  const bool append = R.checked && R.check.have_record;
  R.sidecar = std::make_unique<dd_sidecar_writer>(G.outfile, &R.hashing);
  if (!R.sidecar->start(!append, append ? R.check.verified : 0, G.o_offset, &R.sidecar_error)) {
    // The copy goes on without the record; the report says so.
    KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", R.sidecar_error.c_str());
    R.sidecar.reset();
  }
  std::string path, error;
  if (!dd_report_write(-1, &path, &error)) KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
  return DD_DONE;
}

uint8_t* dd_record_block(const uint8_t* buf, int64_t len) {
  dd_job_record& R = *G.rec;
  uint8_t* next = nullptr;
  if (g_ring && R.hashing.owns_current(buf))
    next = R.hashing.submit(len);
  else
    R.hashing.update(buf, len);
  if (R.sidecar) R.sidecar->written(G.o_offset);
  return next;
}

void dd_record_cause(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  G.rec->cause = text;
}

void dd_record_retry(int result) {
  dd_retry r;
  r.time = dd_report_time_text(dd_report_now());
  r.offset = G.i_offset;
  r.result = result;
  r.cause = G.rec->cause.empty() ? dd_result_text(result) : G.rec->cause;
  G.rec->retries.push_back(std::move(r));
  G.rec->cause.clear();
}

void dd_record_end(int result, bool image_synced) {
  dd_job_record& R = *G.rec;
  R.hashing.drain();
  if (g_ring) {
    G.ibuf = G.obuf = R.hashing.stop_threads();  // the job's own buffer again
    g_ring = false;
  }
  R.synced = image_synced;
  if (R.sidecar) {
    std::string error;
    // Bytes of a write that failed half-way are in the image but were never
    // hashed; the record ends where the hashes end.
    if (!R.sidecar->finish(R.hashing.hashed(), image_synced, &error)) {
      R.sidecar_error = error;
      KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
    }
    R.sidecar.reset();
  }
  const bool whole = dd_flag(DD_RESUME) ? (G.in_size != 0 && G.o_offset == G.in_size)
                                        : G.total_bytes == G.in_size;
  R.complete = result == DD_DONE && R.hashed_from == 0 && R.hashing.hashed() == G.o_offset && whole;
  R.whole = R.hashing.digests();
  R.end_s = dd_report_now();
}

void dd_record_report(int result) {
  dd_job_record& R = *G.rec;
  if (!R.records) return;
  std::string path, error;
  if (dd_report_write(result, &path, &error))
    KR_LOGF(OS_LOG_INFO, "krdd_work", "镜像报告: %s\n", path.c_str());
  else
    KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
}
