// The status line while a job copies, the summary and the outcome line when
// it ends. They run on the worker and reach the front end only through its
// hooks; the front end's timer adds the line of a source that keeps silent.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "dd_record.h"
#include "krdd.h"
#include "krsd-client.h"
#include "krsd_ui.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "tb_init.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\krsd-client"

namespace {

int64_t (*g_clock)() = nullptr;
// Clock value of the last progress line; only grows within a process.
int64_t g_last_progress_ms = 0;

// The status line has two writers: the job's thread and, while the source
// keeps silent, the front end's timer.
std::mutex g_status_mu;
std::atomic<bool> g_running{false};
std::atomic<int64_t> g_alive_ms{0};    // engine clock when the job last moved on
std::atomic<int64_t> g_alive_wall{0};  // the same moment, seconds since 1970
bool g_waiting_shown = false;          // guarded by g_status_mu

constexpr int64_t kSilentMs = 3000;

double elapsed_seconds(int64_t now) {
  double s = static_cast<double>(now - G.begin_ms) * 0.001;
  return s <= 0.0 ? 0.001 : s;  // never a division by zero
}

void alive(int64_t now) {
  g_alive_ms.store(now, std::memory_order_relaxed);
  g_alive_wall.store(static_cast<int64_t>(time(nullptr)), std::memory_order_relaxed);
}

void show(const char* text, int percent) {
  std::lock_guard<std::mutex> lock(g_status_mu);
  g_waiting_shown = false;
  if (percent >= 0) ui_set_progress(percent);
  ui_set_status(text);
}

// "3 分钟", "1 小时 5 分钟", "45 秒": the largest parts, as the log's
// durations give them.
void duration_zh(int64_t s, char* buf, size_t size) {
  const int64_t d = s / 86400, h = s / 3600 % 24, m = s / 60 % 60;
  if (s < 60) {
    snprintf(buf, size, "%lld 秒", static_cast<long long>(s));
    return;
  }
  int n = 0;
  buf[0] = '\0';
  auto add = [&](int64_t v, const char* unit) {
    if (v == 0 || n < 0 || static_cast<size_t>(n) >= size) return;
    const int w = snprintf(buf + n, size - static_cast<size_t>(n), "%s%lld %s", n ? " " : "",
                           static_cast<long long>(v), unit);
    n = w < 0 ? -1 : n + w;
  };
  add(d, "天");
  add(h, "小时");
  add(m, "分钟");
}

// The job's line for the examiner: how it ended, and why when it failed.
std::string outcome_text(int result) {
  const dd_job_record* R = G.rec.get();
  const std::string cause = R && !R->cause.empty() ? " (" + R->cause + ")" : "";
  char text[1536];
  switch (result) {
    case DD_DONE: return "镜像文件成功完成!";
    case DD_STOPPED:
      snprintf(text, sizeof text, "镜像已停止: 镜像中有 %lld 字节, 可以继续断点镜像",
               static_cast<long long>(R ? std::max(G.o_offset, R->reread_to) : G.o_offset));
      return text;
    case DD_OPEN_FAILED: return "镜像失败: 无法打开设备" + cause;
    case DD_READ_FAILED: return "镜像失败: 读取设备出错, 重试后仍未成功" + cause;
    case DD_WRITE_FAILED: return "镜像失败: 写入镜像出错" + cause;
    default: return "镜像失败" + cause;
  }
}

}  // namespace

void dd_clock_set(int64_t (*clock_ms)()) {
  g_clock = clock_ms;
  g_last_progress_ms = 0;
}

int64_t dd_clock_ms() { return g_clock ? g_clock() : tb_clock_ms(); }

void dd_status_job(bool running) {
  alive(dd_clock_ms());
  g_running.store(running);
}

void dd_status_show(const char* text, int percent) {
  alive(dd_clock_ms());
  show(text, percent);
}

void dd_status_hash_progress(const char* caption, int64_t done, int64_t total) {
  // One re-hash runs at a time: a resume's check of its image or a
  // verification, each on the job's thread.
  static int64_t last = 0;
  const int64_t now = dd_clock_ms();
  if (last != 0 && now - last < 1000 && done != total) return;
  last = now;
  const int percent = total > 0 ? static_cast<int>(static_cast<double>(done) / total * 100.0) : 0;
  char text[160];
  snprintf(text, sizeof text, "%s: %llu bytes (%s), %d%%", caption, static_cast<unsigned long long>(done),
           human_size(static_cast<unsigned long long>(done), 0), percent);
  dd_status_show(text, percent);
}

void krsd_status_tick() {
  if (!g_running.load()) return;
  const int64_t silent = dd_clock_ms() - g_alive_ms.load(std::memory_order_relaxed);
  if (silent < kSilentMs) return;
  const time_t since = static_cast<time_t>(g_alive_wall.load(std::memory_order_relaxed));
  struct tm tm {};
#ifdef _WIN32
  localtime_s(&tm, &since);
#else
  localtime_r(&since, &tm);
#endif
  char text[128];
  snprintf(text, sizeof text, "等待设备数据: 自 %02d:%02d:%02d 起 %lld 秒没有数据", tm.tm_hour, tm.tm_min,
           tm.tm_sec, static_cast<long long>(silent / 1000));
  std::lock_guard<std::mutex> lock(g_status_mu);
  // Checked again under the lock: the job may just have moved on, or ended.
  if (!g_running.load() || dd_clock_ms() - g_alive_ms.load() < kSilentMs) return;
  g_waiting_shown = true;
  ui_set_status(text);
}

void dd_show_progress(int64_t count) {
  if (dd_flag(DD_QUIET)) return;
  int64_t now = dd_clock_ms();
  alive(now);
  if (g_last_progress_ms != 0 && now - g_last_progress_ms < 1000) return;
  g_last_progress_ms = now;
  double speed = static_cast<double>(G.total_bytes) / elapsed_seconds(now);
  char speed_text[16];
  human_speed(speed, speed_text, sizeof speed_text);
  char status[160];
  // A resumed job counts the image's bytes, as its percentage does.
  const bool resume = dd_flag(DD_RESUME);
  const unsigned long long shown = static_cast<unsigned long long>(resume ? G.o_offset : G.total_bytes);
  if (count == -1) {
    snprintf(status, sizeof status, "%llu bytes (%s), %s", shown, human_size(shown, 0), speed_text);
    show(status, -1);
    return;
  }
  char left[64] = "--";  // no speed yet: the remaining time is unknown
  int64_t blocks_left = count - G.in_part - G.in_full;
  if (blocks_left < 0) blocks_left = 0;
  if (speed > 0.0) {
    double secs = static_cast<double>(blocks_left) * G.ibs / speed;
    if (secs > 1e12) secs = 1e12;  // keep the conversion defined
    duration_zh(static_cast<int64_t>(secs), left, sizeof left);
  }
  int64_t done, all;
  if (resume) {
    done = G.off_count + G.in_part + G.in_full;
    all = G.all_count;
  } else {
    done = G.in_part + G.in_full;
    all = count;
  }
  int percent = all > 0 ? static_cast<int>(static_cast<double>(done) / static_cast<double>(all) * 100.0) : -1;
  if (percent > 100) percent = 100;
  snprintf(status, sizeof status, "%llu bytes (%s), %s, 剩余 %s, %d%%", shown, human_size(shown, 0), speed_text,
           left, percent);
  show(status, percent);
}

void dd_output_status(int result) {
  int64_t now = dd_clock_ms();
  ui_flash_if_disabled();
  if (dd_flag(DD_QUIET)) return;
  dd_job_record* R = G.rec.get();
  if (result == DD_DONE || G.total_bytes != 0) {
    double elapsed = elapsed_seconds(now);
    double speed = static_cast<double>(G.total_bytes) / elapsed;
    char speed_text[16];
    human_speed(speed, speed_text, sizeof speed_text);
    char duration[64] = "";
    human_duration(static_cast<int64_t>(elapsed), duration, sizeof duration);
    const unsigned long long total = static_cast<unsigned long long>(G.total_bytes);
    KR_LOG(OS_LOG_INFO, "%llu bytes (%s) copied, [%s], %s\n", total, human_size(total, 0), duration,
           speed_text);
    {
      std::lock_guard<std::mutex> lock(g_status_mu);
      ui_set_status("");
      // A finished job keeps its full bar until the next one starts.
      ui_set_progress(result == DD_DONE ? 100 : 0);
    }
  }
  std::string outcome = outcome_text(result);
  if (result == DD_DONE) {
    // The whole source is in the image: copied in this run, or completed by
    // resumes whose image prefix was verified against its record.
    if (R && R->complete) {
      KR_LOG(OS_LOG_INFO, "md5: %s\n", dd_hex(R->whole.md5).c_str());
      KR_LOG(OS_LOG_INFO, "sha256: %s\n", dd_hex(R->whole.sha256).c_str());
    }
    const int64_t bad = dd_ranges_bytes(G.bad_ranges) + (R ? dd_ranges_bytes(R->history_unreadable) : 0);
    if (bad > 0) {
      KR_LOG(OS_LOG_INFO, "%lld 字节无法读取, 已写零\n", static_cast<long long>(bad));
      outcome += " " + std::to_string(bad) + " 字节无法读取, 已写零";
    } else if (R && !R->history_known) {
      KR_LOG(OS_LOG_INFO, "镜像前 %lld 字节中无法读取的字节未知 (旧版本的记录)\n",
             static_cast<long long>(R->resume_from));
    }
    KR_LOG(OS_LOG_INFO, "镜像文件成功完成!\n");
  } else {
    KR_LOG(OS_LOG_INFO, "%s\n", outcome.c_str());
  }
  if (R) R->outcome = outcome;
}
