// The status line while a job copies and the summary when it ends. Both run
// on the worker and reach the front end only through its hooks.
#include <cstdio>

#include "krdd.h"
#include "krsd_ui.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "tb_init.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\krsd-client"

namespace {

int64_t (*g_clock)() = nullptr;
// Clock value of the last progress line; only grows within a process.
int64_t g_last_progress_ms = 0;

double elapsed_seconds(int64_t now) {
  double s = static_cast<double>(now - G.begin_ms) * 0.001;
  return s <= 0.0 ? 0.001 : s;  // never a division by zero
}

}  // namespace

void dd_clock_set(int64_t (*clock_ms)()) {
  g_clock = clock_ms;
  g_last_progress_ms = 0;
}

int64_t dd_clock_ms() { return g_clock ? g_clock() : tb_clock_ms(); }

void dd_show_progress(int64_t count) {
  if (dd_flag(DD_QUIET)) return;
  int64_t now = dd_clock_ms();
  if (g_last_progress_ms != 0 && now - g_last_progress_ms < 1000) return;
  g_last_progress_ms = now;
  double speed = static_cast<double>(G.total_bytes) / elapsed_seconds(now);
  char speed_text[16];
  human_speed(speed, speed_text, sizeof speed_text);
  char status[128];
  const unsigned long long total = static_cast<unsigned long long>(G.total_bytes);
  if (count == -1) {
    snprintf(status, sizeof status, "%llu bytes (%s), %s", total, human_size(total, 0), speed_text);
  } else {
    char left[64] = "--";  // no speed yet: the remaining time is unknown
    int64_t blocks_left = count - G.in_part - G.in_full;
    if (blocks_left < 0) blocks_left = 0;
    if (speed > 0.0) {
      double secs = static_cast<double>(blocks_left) * G.ibs / speed;
      if (secs > 1e12) secs = 1e12;  // keep the conversion defined
      human_duration(static_cast<int64_t>(secs), left, sizeof left);
    }
    int64_t done, all;
    if (dd_flag(DD_RESUME)) {
      done = G.off_count + G.in_part + G.in_full;
      all = G.all_count;
    } else {
      done = G.in_part + G.in_full;
      all = count;
    }
    int percent = all > 0 ? static_cast<int>(static_cast<double>(done) / static_cast<double>(all) * 100.0) : -1;
    snprintf(status, sizeof status, "%llu bytes (%s), %s, %s, %d%%", total, human_size(total, 0),
             speed_text, left, percent);
    if (percent != -1) ui_set_progress(percent);
  }
  ui_set_status(status);
}

void dd_output_status(int result) {
  int64_t now = dd_clock_ms();
  ui_flash_if_disabled();
  if (result != DD_DONE && G.total_bytes == 0) return;
  if (dd_flag(DD_QUIET)) return;
  double elapsed = elapsed_seconds(now);
  double speed = static_cast<double>(G.total_bytes) / elapsed;
  char speed_text[16];
  human_speed(speed, speed_text, sizeof speed_text);
  char duration[64] = "";
  human_duration(static_cast<int64_t>(elapsed), duration, sizeof duration);
  const unsigned long long total = static_cast<unsigned long long>(G.total_bytes);
  KR_LOG(OS_LOG_INFO, "%llu bytes (%s) copied, [%s], %s\n", total, human_size(total, 0), duration,
         speed_text);
  ui_set_status("");
  ui_set_progress(0);
  if (result != DD_DONE) return;
  // The whole source is in the image: copied in this run, or completed by
  // resumes whose image prefix was hashed again from the file.
  if (G.rec && G.rec->complete) {
    KR_LOG(OS_LOG_INFO, "md5: %s\n", dd_hex(G.rec->whole.md5).c_str());
    KR_LOG(OS_LOG_INFO, "sha256: %s\n", dd_hex(G.rec->whole.sha256).c_str());
  }
  KR_LOG(OS_LOG_INFO, "镜像文件成功完成!\n");
}
