// The job's record beside the copy loop: hashes, sidecar, resume check, the
// job's log and the facts of the report.
#include "dd_record.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "dd_report.h"
#include "dd_text.h"
#include "krdd.h"
#include "krii_version.h"
#include "krsd_ui.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "stream.h"
#include "tb_url.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\krsd-client"

namespace {

std::mutex g_case_mu;
dd_case_info g_case;  // guarded by g_case_mu

std::mutex g_last_mu;
dd_job_summary g_last;  // guarded by g_last_mu

bool g_ring = false;
std::atomic<int64_t> g_piece{0};  // the hashes run on their threads over the job's ring

// The job's log beside the image: every line logged while the job runs.
// Swapped only while the log lock is held (os_log_ctl takes it), so no line
// is half written when the file goes.
tb_file_ref_t g_log_file = nullptr;

int log_tee(const char* line) {
  if (g_log_file) {
    const size_t n = strlen(line);
    if (tb_file_write(g_log_file, line, n) != static_cast<long>(n)) {
      // A full disk says so in the examiner's window; the file just stops.
    }
  }
  return 0;
}

constexpr int64_t kSampleBytes = 65536;
constexpr int kSampleBlocks = 32;
constexpr int64_t kCompareGrain = 512;  // differences are named by sectors
constexpr int64_t kReportEveryMs = 10000;

long long ll(int64_t v) { return static_cast<long long>(v); }
unsigned long long ull(int64_t v) { return static_cast<unsigned long long>(v); }

std::string system_path(const std::string& name) {
  char buf[4096];
  if (!tb_file_system_path(name.c_str(), buf, sizeof buf)) return "";
  return buf;
}

// Sidecar and report go beside images that are (or will be) regular local
// files; a disk, /dev/null or a remote output gets neither.
bool records_beside(const std::string& image) {
  if (G.out_kind != TB_URL_PROTOCOL_FILE) return false;
  const int kind = tb_file_local_kind(image.c_str());
  return kind == 1 || kind == -1;
}

void check_progress(int64_t done, int64_t total) { dd_status_hash_progress("校验已有数据", done, total); }

// An error line of the job that also becomes the reason of its outcome.
__attribute__((format(printf, 1, 2))) void job_error(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", text);
  G.rec->cause = text;
}

// Logs what the resume check found; DD_DONE when the job may go on.
int judge_check(const dd_image_check& c) {
  const char* img = G.outfile.c_str();
  if (!c.have_record && !c.record_error.empty()) {
    job_error("[%s] %s error", dd_sidecar_path(G.outfile).c_str(), c.record_error.c_str());
    KR_LOGF(OS_LOG_INFO, "krdd_work", "镜像记录无法读取, 不能继续断点镜像; 请重新镜像\n");
    return DD_FAILED;
  }
  if (c.differs()) {
    job_error("[%s] piece %d bytes %lld-%lld differs from its record error", img, c.bad_piece,
              ll(c.bad_from), ll(c.bad_to));
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据第 %d 段 (%lld - %lld) 与记录不符, 不能继续断点镜像; 请重新镜像\n",
            c.bad_piece, ll(c.bad_from), ll(c.bad_to));
    return DD_FAILED;
  }
  if (!c.have_record) {
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据 %lld (%s) 无记录, 将从设备重新读取并比对\n", ll(c.size),
            human_size(ull(c.size), 0));
  } else if (c.verified == c.size) {
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已有数据 %lld (%s) 与记录一致\n", ll(c.size),
            human_size(ull(c.size), 0));
  } else {
    KR_LOGF(OS_LOG_INFO, "krdd_work",
            "已有数据 0 - %lld 与记录一致; %lld - %lld 无记录, 将从设备重新读取并比对\n", ll(c.verified),
            ll(c.verified), ll(c.size));
  }
  return DD_DONE;
}

// The source's size in the earlier runs of the report, 0 when unknown.
int64_t earlier_size_in_report() {
  nlohmann::json report;
  std::string error;
  if (!dd_report_load(G.outfile, &report, &error)) return 0;
  if (!report.contains("runs")) return 0;
  const nlohmann::json& runs = report["runs"];
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    const auto wrote = it->find("wrote_image");
    if (wrote != it->end() && wrote->is_boolean() && !wrote->get<bool>()) continue;
    const auto dev = it->find("device");
    if (dev == it->end() || !dev->is_object()) continue;
    const auto size = dev->find("size");
    if (size != dev->end() && size->is_number_integer() && size->get<int64_t>() > 0) return size->get<int64_t>();
  }
  return 0;
}

bool overlaps(const std::vector<dd_range>& ranges, int64_t from, int64_t to) {
  for (const dd_range& r : ranges)
    if (r.start < to && r.end > from) return true;
  return false;
}

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

enum class sample_read { ok, data_error, misplaced, failed };

// Reads len bytes of the source at offset. A data error tells nothing of
// the device's identity; a source that cannot be put at offset cannot be
// continued at all.
sample_read source_bytes(int64_t offset, uint8_t* buf, int64_t len) {
  if (!stream_seek(G.in_stream, offset) || stream_offset(G.in_stream) != offset) return sample_read::misplaced;
  int64_t done = 0;
  while (done < len) {
    const long r = stream_read(G.in_stream, buf + done, static_cast<size_t>(len - done));
    if (r <= 0) {
      int32_t ioerr = IOERR_NONE;
      if (r < 0) stream_ctrl(G.in_stream, STREAM_CTRL_IOERR, &ioerr);
      return ioerr == IOERR_DATA ? sample_read::data_error : sample_read::failed;
    }
    done += r;
  }
  return sample_read::ok;
}

// Compares blocks spread over what the image holds with the source, before
// anything is appended: another device of the same size (the URL of a
// device is always the same) must not be continued into this image. A live
// device that changed in a few places is still the same device.
int sample_source() {
  dd_job_record& R = *G.rec;
  const int64_t span = R.resume_from > 0 ? R.resume_from : R.reread_to;
  if (span <= 0) return DD_DONE;
  const int64_t len = std::min(kSampleBytes, span);
  const int blocks = static_cast<int>(std::clamp<int64_t>(span / kSampleBytes, 1, kSampleBlocks));
  tb_file_ref_t image = tb_file_init(G.outfile.c_str(), FILE_MODE_READ);
  if (!image) {
    KR_LOGF(OS_LOG_DEBUG, "krdd_work", "sample: the image cannot be read back\n");
    return DD_DONE;
  }
  std::vector<uint8_t> a(static_cast<size_t>(len)), b(static_cast<size_t>(len));
  int result = DD_DONE;
  bool moved = false;
  for (int i = 0; i < blocks; ++i) {
    if (dd_flag(DD_STOP)) {
      result = DD_STOPPED;
      break;
    }
    int64_t off = blocks > 1 ? (span - len) * i / (blocks - 1) : 0;
    off -= off % kCompareGrain;
    if (tb_file_pread(image, a.data(), a.size(), off) != len) continue;
    ++R.sample.blocks;
    // Zeros (unused space, or a sector the source could not give) are alike
    // on every device.
    if (all_zero(a.data(), a.size()) || overlaps(R.history_unreadable, off, off + len)) continue;
    moved = true;
    const sample_read got = source_bytes(off, b.data(), len);
    if (got == sample_read::data_error) continue;
    if (got != sample_read::ok) {
      if (dd_flag(DD_STOP)) {
        result = DD_STOPPED;
        break;
      }
      if (got == sample_read::misplaced) {
        job_error("lseek [%s] offset=%lld position=%lld error:Stream cannot be positioned there",
                  G.in_name.c_str(), ll(off), ll(stream_offset(G.in_stream)));
        result = DD_FAILED;
      } else {
        job_error("read [%s] offset=%lld bs=%lld error %s", G.in_name.c_str(), ll(off), ll(len),
                  krsd_error_text(G.in_kind));
        result = DD_READ_FAILED;
      }
      break;
    }
    ++R.sample.compared;
    if (a != b) ++R.sample.differing;
  }
  tb_file_close(image);
  if (result != DD_DONE) return result;
  const dd_source_sample& s = R.sample;
  if (s.compared >= 3 && s.differing * 2 > s.compared) {
    job_error("[%s] %d of %d sampled blocks differ from the image: another source error", G.in_name.c_str(),
              s.differing, s.compared);
    KR_LOGF(OS_LOG_INFO, "krdd_work",
            "源设备与镜像不符: 抽样比对 %d 块中 %d 块不同, 不是此镜像的设备; 拒绝断点镜像, 镜像未改动\n",
            s.compared, s.differing);
    return DD_FAILED;
  }
  if (s.compared > 0)
    KR_LOGF(OS_LOG_INFO, "krdd_work", "源设备抽样比对: %d 块中 %d 块与镜像不同\n", s.compared,
            s.differing);
  if (moved && (!stream_seek(G.in_stream, R.resume_from) || stream_offset(G.in_stream) != R.resume_from)) {
    job_error("lseek [%s] offset=%lld position=%lld error:Stream cannot be positioned there", G.in_name.c_str(),
              ll(R.resume_from), ll(stream_offset(G.in_stream)));
    return DD_FAILED;
  }
  return DD_DONE;
}

void log_reread() {
  dd_job_record& R = *G.rec;
  if (R.reread_logged || R.reread_done == 0) return;
  R.reread_logged = true;
  const int64_t from = R.resume_from, to = R.resume_from + R.reread_done;
  const int64_t differ = dd_ranges_bytes(R.rewritten);
  if (differ == 0)
    KR_LOGF(OS_LOG_INFO, "krdd_work", "已从设备重新读取 %lld - %lld: 与镜像原有数据一致\n", ll(from), ll(to));
  else
    KR_LOGF(OS_LOG_INFO, "krdd_work",
            "已从设备重新读取 %lld - %lld: %lld 字节 (%d 段) 与镜像原有数据不同, 已改写为设备数据\n", ll(from),
            ll(to), ll(differ), static_cast<int>(R.rewritten.size()));
  for (const dd_range& r : R.rewritten)
    KR_LOGF(OS_LOG_DEBUG, "krdd_work", "[%s] bytes %lld-%lld rewritten with the source's\n", G.outfile.c_str(),
            ll(r.start), ll(r.end));
}

void log_open(const dd_job_record& R) {
  g_log_file = nullptr;
  const std::string path = G.outfile + ".log";
  const bool existed = tb_file_local_kind(path.c_str()) >= 0;
  tb_file_ref_t f = tb_file_init(path.c_str(), FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_APPEND);
  if (!f) {
    KR_LOGF(OS_LOG_ERR, "krdd_work", "open [%s] error\n", path.c_str());
    return;
  }
  const std::string head = "----- " + dd_report_time_text(R.start_s) + " " +
                           (R.info.program.empty() ? "krii" : R.info.program) + " " + KRII_VERSION + " run " +
                           R.run_id + ": " + dd_source_label(G.infile) + " -> " + G.outfile + "\n";
  if (tb_file_write(f, head.data(), head.size()) < 0) {
    tb_file_close(f);
    return;
  }
  G.rec->log = f;
  G.rec->log_created = !existed;
  g_log_file = f;
  os_log_ctl(OS_LOG_SET_TEE_CALLBACK, log_tee);
}

void log_close(dd_job_record& R) {
  if (!R.log) return;
  os_log_ctl(OS_LOG_SET_TEE_CALLBACK, static_cast<os_log_callback>(nullptr));
  g_log_file = nullptr;
  tb_file_sync(R.log);
  tb_file_close(R.log);
  R.log = nullptr;
}

}  // namespace

dd_job_record::~dd_job_record() {
  if (compare) tb_file_close(compare);
  log_close(*this);
}

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

dd_job_summary dd_last_job() {
  std::lock_guard<std::mutex> lock(g_last_mu);
  return g_last;
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

std::string dd_source_label(const std::string& source) {
  std::string out(source.size() * 4 + 8, '\0');
  tb_url_hide_secret(source.c_str(), out.data(), out.size());
  out.resize(strlen(out.c_str()));
  return out;
}

bool dd_record_e01() { return G.rec && G.rec->format.kind == DD_FORMAT_E01; }

void dd_record_setup() {
  G.rec = std::make_unique<dd_job_record>();
  G.rec->info = dd_case_get();
  G.rec->format = dd_format_get();
  G.rec->start_s = dd_report_now();
  G.rec->run_id = std::to_string(G.rec->start_s) + "-" + std::to_string(std::random_device{}());
  g_ring = false;
}

int dd_record_begin() {
  dd_job_record& R = *G.rec;
  if (!R.hashing.ok()) KR_LOGF(OS_LOG_ERR, "krdd_work", "hash init error\n");
  R.records = records_beside(G.outfile);
  if (dd_record_e01()) {
    // Before anything is made or opened on the image's side.
    const int kind = tb_file_local_kind(G.outfile.c_str());
    if (G.out_kind != TB_URL_PROTOCOL_FILE || (kind != 1 && kind != -1)) {
      job_error("[%s] an E01 image is written into files, not onto a disk or device; refused error",
                G.outfile.c_str());
      KR_LOGF(OS_LOG_INFO, "krdd_work", "E01 镜像只能写入文件, 不能写入磁盘或设备; 拒绝镜像\n");
      return DD_FAILED;
    }
    if (!dd_ewf_name(G.outfile)) {
      job_error("[%s] an E01 image's name ends in .E01; refused error", G.outfile.c_str());
      return DD_FAILED;
    }
    if (!dd_ewf_available()) {
      job_error("[%s] this program was built without E01 support; refused error", G.outfile.c_str());
      return DD_FAILED;
    }
    if (dd_flag(DD_RESUME)) {
      // Not continued: libewf's write-resume has not been made to keep what a
      // raw resume keeps (the old part checked against its record, the
      // source shown to be the same device), so an E01 is begun again.
      job_error("[%s] an E01 image cannot be continued; image left as it was error", G.outfile.c_str());
      KR_LOGF(OS_LOG_INFO, "krdd_work", "E01 镜像不能断点镜像, 镜像未改动; 请重新镜像\n");
      return DD_FAILED;
    }
  }
  g_ring = !dd_flag(DD_TWO_BUFFERS) && G.ibuf && G.ibuf == G.obuf &&
           R.hashing.start_threads(G.ibuf, G.ibs);
  if (G.out_kind == TB_URL_PROTOCOL_FILE) {
    const std::string image = system_path(G.outfile);
    if (G.in_kind == TB_URL_PROTOCOL_FILE && !image.empty()) {
      // Before anything is made on the image's side: writing into the
      // source would change the evidence while it is being read.
      const std::string source = system_path(G.infile);
      std::string why;
      if (!source.empty() && dd_host_image_in_source(source, image, &why)) {
        job_error("[%s] %s; refused error", G.outfile.c_str(), why.c_str());
        KR_LOGF(OS_LOG_INFO, "krdd_work", "镜像文件在源设备之中, 写入会改动证据; 拒绝镜像\n");
        return DD_FAILED;
      }
    }
    std::string error;
    const bool create = tb_file_local_kind(G.outfile.c_str()) == -1;
    if (!image.empty()) {
      const int l = R.lock.acquire(image, true, create, &R.created_for_lock, &error);
      if (l == dd_image_lock::BUSY) {
        job_error("[%s] is being written by another job error", G.outfile.c_str());
        KR_LOGF(OS_LOG_INFO, "krdd_work", "镜像文件正被另一个任务写入, 拒绝同时写入\n");
        return DD_FAILED;
      }
      if (l == dd_image_lock::FAILED) KR_LOGF(OS_LOG_DEBUG, "krdd_work", "%s\n", error.c_str());
    }
  }
  if (R.records) log_open(R);
  if (!dd_flag(DD_RESUME)) return DD_DONE;
  if (!R.records || tb_file_local_kind(G.outfile.c_str()) != 1) {
    // Nothing vouches for what such an image holds: it is all read again.
    return DD_DONE;
  }
  uint8_t* buf = G.ibuf;
  std::string error;
  dd_check_hooks hooks{[] { return dd_flag(DD_STOP); }, check_progress};
  const int c = dd_check_image(G.outfile, R.hashing, &buf, G.ibs, &R.check, &error, hooks, true);
  G.ibuf = G.obuf = buf;
  if (!dd_flag(DD_NO_STATUS)) dd_status_show("", 0);
  if (c == DD_CHECK_STOPPED) return DD_STOPPED;
  if (c != DD_CHECK_OK) {
    job_error("%s", error.c_str());
    return DD_FAILED;
  }
  R.checked = true;
  const int judged = judge_check(R.check);
  if (judged != DD_DONE) return judged;
  const dd_image_check& k = R.check;
  R.resume_from = k.have_record ? k.verified : 0;
  R.reread_to = k.size;
  R.history_unreadable = dd_ranges_below(k.side.unreadable, R.resume_from);
  R.history_known = R.resume_from == 0 || k.side.unreadable_known();
  R.earlier_source_size = k.side.source_size > 0 ? k.side.source_size : earlier_size_in_report();
  return DD_DONE;
}

int dd_record_source_open() {
  dd_job_record& R = *G.rec;
  R.source_seen = true;
  if (!dd_flag(DD_RESUME)) return DD_DONE;
  if (!R.checked) {
    R.resume_from = 0;
    R.reread_to = G.out_size;
  }
  if (R.earlier_source_size > 0 && G.in_size != R.earlier_source_size) {
    job_error("[%s] size=%lld, the image's source had size=%lld: another source error", G.in_name.c_str(),
              ll(G.in_size), ll(R.earlier_source_size));
    KR_LOGF(OS_LOG_INFO, "krdd_work", "源设备大小 %lld 与此镜像的设备大小 %lld 不同, 不是同一设备; 拒绝断点镜像, 镜像未改动\n",
            ll(G.in_size), ll(R.earlier_source_size));
    return DD_FAILED;
  }
  const int r = sample_source();
  if (r != DD_DONE) return r;
  G.skip = G.seek = R.resume_from;
  return DD_DONE;
}

int dd_record_image_open() {
  dd_job_record& R = *G.rec;
  if (R.checked && G.out_size != R.check.size) {
    // The re-hashed prefix must be the one the copy continues.
    job_error("[%s] size=%lld hashed=%lld the image changed during the check error", G.outfile.c_str(),
              ll(G.out_size), ll(R.check.size));
    return DD_FAILED;
  }
  R.image_opened = true;
  tb_file_devinfo info{};
  if (stream_ctrl(G.in_stream, STREAM_CTRL_DEVINFO, &info)) R.sector_bytes = info.sector_bytes;
  char fp[65] = "";
  if (stream_ctrl(G.in_stream, STREAM_CTRL_PEER_SHA256, fp)) R.peer_sha256 = fp;
  if (G.in_size > 0 && G.out_kind == TB_URL_PROTOCOL_FILE) {
    const int64_t need = G.in_size - std::max(G.out_size, G.o_offset);
    const int64_t free_bytes = dd_host_free_bytes(system_path(G.outfile));
    if (need > 0 && free_bytes >= 0 && free_bytes < need) {
      char a[32], b[32];
      snprintf(a, sizeof a, "%s", human_size(ull(need), 0));
      snprintf(b, sizeof b, "%s", human_size(ull(free_bytes), 0));
      KR_LOGF(OS_LOG_WARN, "krdd_work", "镜像文件所在磁盘空间不足: 还需 %lld 字节 (%s), 剩余 %lld 字节 (%s)\n",
              ll(need), a, ll(free_bytes), b);
    }
  }
  if (dd_flag(DD_RESUME) && G.o_offset < R.reread_to) {
    R.compare = tb_file_init(G.outfile.c_str(), FILE_MODE_READ);
    if (!R.compare) KR_LOGF(OS_LOG_DEBUG, "krdd_work", "[%s] cannot be read back for the comparison\n", G.outfile.c_str());
  }
  if (!R.records) return DD_DONE;
  const bool append = R.checked && R.check.have_record;
  R.sidecar = std::make_unique<dd_sidecar_writer>(G.outfile, &R.hashing);
  dd_sidecar_writer::start_args a;
  a.fresh = !append;
  a.source_size = G.in_size;
  a.recorded = append ? R.resume_from : 0;
  a.keep_bytes = R.check.side.complete_bytes;
  a.written = G.o_offset;
  if (!R.sidecar->start(a, &R.sidecar_error)) {
    // The copy goes on without the record; the report says so.
    KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", R.sidecar_error.c_str());
    R.sidecar.reset();
  }
  std::string path, error;
  if (!dd_report_write(-1, &path, &error)) KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
  R.report_ms = dd_clock_ms();
  return DD_DONE;
}

void dd_record_compare(const uint8_t* buf, int64_t len) {
  dd_job_record& R = *G.rec;
  const int64_t at = G.o_offset;
  if (!dd_flag(DD_RESUME) || at >= R.reread_to || len <= 0) return;
  const int64_t n = std::min(len, R.reread_to - at);
  if (R.compare) {
    static thread_local std::vector<uint8_t> old;
    old.resize(static_cast<size_t>(n));
    const long got = tb_file_pread(R.compare, old.data(), old.size(), at);
    for (int64_t s = at; s < at + n;) {
      const int64_t e = std::min(at + n, (s / kCompareGrain + 1) * kCompareGrain);
      const int64_t i = s - at, k = e - s;
      const bool same = got >= i + k && memcmp(old.data() + i, buf + i, static_cast<size_t>(k)) == 0;
      if (!same) dd_ranges_add(&R.rewritten, {s - s % kCompareGrain, std::min(R.reread_to, e)});
      s = e;
    }
  }
  R.reread_done = at + n - R.resume_from;
  if (at + n >= R.reread_to) log_reread();
}

void dd_record_unreadable(const std::vector<dd_range>& runs) {
  dd_job_record& R = *G.rec;
  if (runs.empty() || !R.sidecar) return;
  std::string error;
  if (R.sidecar->unreadable(runs, &error)) return;
  if (R.sidecar_error.empty()) {
    R.sidecar_error = error;
    KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
  }
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

void dd_record_progress() {
  dd_job_record& R = *G.rec;
  if (!R.records || !R.image_opened) return;
  const int64_t now = dd_clock_ms();
  if (now - R.report_ms < kReportEveryMs) return;
  R.report_ms = now;
  std::string path, error;
  if (!dd_report_write(-1, &path, &error)) KR_LOGF(OS_LOG_DEBUG, "krdd_work", "%s\n", error.c_str());
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
  log_reread();
  if (R.compare) {
    tb_file_close(R.compare);
    R.compare = nullptr;
  }
  R.synced = image_synced;
  if (R.sidecar) {
    std::string error;
    // Bytes of a write that failed half-way are in the image but were never
    // hashed; the record ends where the hashes end.
    if (!R.sidecar->finish(R.hashing.hashed(), image_synced, &error) && R.sidecar_error.empty()) {
      R.sidecar_error = error;
      KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
    }
    R.sidecar.reset();
  }
  const bool whole = dd_flag(DD_RESUME) ? (G.in_size != 0 && G.o_offset == G.in_size)
                                        : G.total_bytes == G.in_size;
  // Every byte below o_offset was verified against a record or read in
  // this job: the hashes then are the whole image's.
  R.complete = result == DD_DONE && R.image_opened && R.hashing.hashed() == G.o_offset && whole;
  R.whole = R.hashing.digests();
  R.end_s = dd_report_now();
}

void dd_record_report(int result) {
  dd_job_record& R = *G.rec;
  std::string path;
  if (R.records && (R.image_opened || tb_file_local_kind(dd_report_json_path(G.outfile).c_str()) == 1)) {
    // A job that never wrote the image adds its run to an existing report
    // only; the summary of the image stays as the last writing job left it.
    std::string error;
    if (dd_report_write(result, &path, &error))
      KR_LOGF(OS_LOG_INFO, "krdd_work", "镜像报告: %s\n", path.c_str());
    else
      KR_LOGF(OS_LOG_ERR, "krdd_work", "%s\n", error.c_str());
  }
  log_close(R);
  if (R.created_for_lock && !R.image_opened && tb_file_local_kind(G.outfile.c_str()) == 1) {
    // Made empty only to hold the lock, and never written.
    tb_file_ref_t f = tb_file_init(G.outfile.c_str(), FILE_MODE_READ);
    const bool empty = f && tb_file_size(f) == 0;
    if (f) tb_file_close(f);
    if (empty) {
      std::remove(system_path(G.outfile).c_str());
      // Nothing of this job is left to keep a log of.
      if (R.log_created) std::remove(system_path(G.outfile + ".log").c_str());
    }
  }
  R.lock.release();
  dd_job_summary s;
  s.result = result;
  s.complete = R.complete;
  s.whole = R.whole;
  s.image_bytes = std::max(G.o_offset, R.reread_to);
  s.unreadable_bytes = dd_ranges_bytes(G.bad_ranges) + dd_ranges_bytes(R.history_unreadable);
  s.report_path = path;
  s.outcome = R.outcome;
  std::lock_guard<std::mutex> lock(g_last_mu);
  g_last = s;
}
