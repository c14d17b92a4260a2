// Process-wide logging: composition on the caller's stack, then the sinks
// under one recursive lock. Settings are atomics so that a thread changing
// the threshold while others log is well defined; the file and the syslog
// socket are only touched under the log lock.
#include "os/os_log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <strings.h>

#include "os/os_human.h"
#include "os/os_pal_internal.h"
#include "os/os_safe.h"

namespace {

constexpr size_t kLineSize = 4096;
constexpr size_t kErrTextSize = 256;
constexpr size_t kSyslogSize = 1536;
constexpr size_t kTargetSize = 128;

std::atomic<int> g_threshold{OS_LOG_DEBUG};
std::atomic<int> g_prefix{OS_LOG_COLOR};
std::atomic<bool> g_console{true};
std::atomic<bool> g_debugger{false};
std::atomic<bool> g_file_on{false};
std::atomic<bool> g_syslog_on{false};
std::atomic<os_log_callback> g_info_cb{nullptr};
std::atomic<os_log_callback> g_alert_cb{nullptr};
std::atomic<os_log_callback> g_tee_cb{nullptr};

// Guarded by the log lock.
FILE* g_file = nullptr;
int g_syslog_fd = -1;
char g_syslog_target[kTargetSize] = "";

// Created once, never destroyed: a worker may still log while the process
// ends, so the lock must outlive every static destructor.
os_lock* log_lock() {
  static std::once_flag once;
  static os_lock* lock = nullptr;
  std::call_once(once, [] { lock = os_lock_new(); });
  return lock;
}

class LogLockGuard {
 public:
  LogLockGuard() : lock_(log_lock()) { os_lock_enter(lock_); }
  ~LogLockGuard() { os_lock_leave(lock_); }
  LogLockGuard(const LogLockGuard&) = delete;
  LogLockGuard& operator=(const LogLockGuard&) = delete;

 private:
  os_lock* lock_;
};

const char* level_prefix(int level) {
  static const char* const kPrefix[] = {"CRITICAL: ", "ERROR: ", "WARNING: ",
                                        "NOTICE: ",   "INFO: ",  "DEBUG: ",
                                        "VERBOSE: "};
  return level >= 2 && level <= 8 ? kPrefix[level - 2] : "";
}

// Verbose lines have no syslog priority of their own; they go out as debug,
// like every level beyond the table.
const char* level_syslog_name(int level) {
  static const char* const kName[] = {"panic", "alert",  "crit", "error",
                                      "warn",  "notice", "info", "debug"};
  return level >= 0 && level <= 7 ? kName[level] : "debug";
}

int level_console_attr(int level) {
  switch (level) {
    case 2: return 12;
    case 3: return 4;
    case 4: return 6;
    case 7:
    case 8: return 2;
    default: return 7;
  }
}

// Appends to a fixed buffer, cutting at its end; the text stays terminated.
class LineBuilder {
 public:
  LineBuilder(char* buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = '\0'; }
  __attribute__((format(printf, 2, 3))) void add(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    addv(fmt, ap);
    va_end(ap);
  }
  __attribute__((format(printf, 2, 0))) void addv(const char* fmt, va_list ap) {
    if (len_ + 1 >= cap_) return;
    int r = vsnprintf(buf_ + len_, cap_ - len_, fmt, ap);
    if (r < 0) {
      buf_[len_] = '\0';
      return;
    }
    len_ += static_cast<size_t>(r);
    if (len_ > cap_ - 1) len_ = cap_ - 1;
  }
  size_t size() const { return len_; }

 private:
  char* buf_;
  size_t cap_;
  size_t len_ = 0;
};

struct CodeName {
  const char* name;
  int code;
};

constexpr CodeName kFacilities[] = {
    {"auth", 32},     {"authpriv", 80}, {"cron", 72},    {"daemon", 24},
    {"ftp", 88},      {"kern", 0},      {"lpr", 48},     {"mail", 16},
    {"mark", 192},    {"news", 56},     {"security", 32}, {"syslog", 40},
    {"user", 8},      {"uucp", 64},     {"local0", 128}, {"local1", 136},
    {"local2", 144},  {"local3", 152},  {"local4", 160}, {"local5", 168},
    {"local6", 176},  {"local7", 184},
};

constexpr CodeName kPriorities[] = {
    {"alert", 1}, {"crit", 2},  {"debug", 7},  {"emerg", 0},
    {"err", 3},   {"error", 3}, {"info", 6},   {"none", 16},
    {"notice", 5}, {"panic", 0}, {"warn", 4},  {"warning", 4},
};

// A name (case-insensitive) or a decimal code; either must be in the table.
template <size_t N>
int decode(const char* text, const CodeName (&table)[N]) {
  if (*text >= '0' && *text <= '9') {
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (*end != '\0') return -1;
    for (const CodeName& c : table)
      if (c.code == v) return c.code;
    return -1;
  }
  for (const CodeName& c : table)
    if (strcasecmp(c.name, text) == 0) return c.code;
  return -1;
}

// Connects the syslog target; the caller holds the log lock. 0 when
// connected, 1 otherwise.
int open_syslog(const char* target) {
  snprintf(g_syslog_target, sizeof g_syslog_target, "%s", target ? target : "");
  const char* t = g_syslog_target;
  size_t tlen = strlen(t);
  bool tcp = false;
  const char* host = t;
  if (strncmp(t, "tcp", 3) == 0) {
    tcp = true;
    host = t + (tlen < 6 ? tlen : 6);
  } else if (strncmp(t, "udp", 3) == 0) {
    host = t + (tlen < 6 ? tlen : 6);
  }
  char hostbuf[kTargetSize];
  snprintf(hostbuf, sizeof hostbuf, "%s", host);
  char* colon = strchr(hostbuf, ':');
  if (!colon) return 1;
  *colon = '\0';
  const char* port = colon + 1;

  if (g_syslog_fd > 0) pal::syslog_close(g_syslog_fd);
  g_syslog_fd = -1;
  int fd = pal::syslog_connect(tcp, hostbuf, port);
  if (fd < 0) return 1;
  g_syslog_fd = fd;
  return 0;
}

void syslog_sink(int level, const char* module, const char* text) {
  char selector[16];
  snprintf(selector, sizeof selector, "user.%s", level_syslog_name(level));
  int prio = pal::syslog_priority(selector);

  time_t now = time(nullptr);
  char ct[32];
  const char* stamp = ctime_r(&now, ct) ? ct + 4 : "";
  char host[128];
  pal::host_name(host, sizeof host);
  char pid[24];
  snprintf(pid, sizeof pid, "[%d]", pal::process_id());

  char dg[kSyslogSize];
  int n = snprintf(dg, sizeof dg, "<%d>%.15s %.32s %.64s%s: %.800s", prio,
                   stamp, host, module ? module : "<someone>", pid, text);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof dg ? static_cast<size_t>(n)
                                                  : sizeof dg - 1;
  // The terminating NUL goes too: it ends the message on a stream socket.
  if (g_syslog_fd > 0 && pal::syslog_send(g_syslog_fd, dg, len + 1)) return;
  char target[kTargetSize];
  snprintf(target, sizeof target, "%s", g_syslog_target);
  open_syslog(target);
  if (g_syslog_fd > 0 && pal::syslog_send(g_syslog_fd, dg, len + 1)) return;
  fprintf(stderr, "syslog_write %s err\n", g_syslog_target);
}

}  // namespace

int pal::syslog_priority(const char* selector) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s", selector ? selector : "");
  const char* fac_text = "user";
  const char* pri_text = buf;
  char* dot = strchr(buf, '.');
  if (dot) {
    *dot = '\0';
    fac_text = buf;
    pri_text = dot + 1;
  }
  int fac = decode(fac_text, kFacilities);
  if (fac < 0) {
    fprintf(stderr, "unknown facility name: %s", fac_text);
    return -1;
  }
  int pri = decode(pri_text, kPriorities);
  if (pri < 0) {
    fprintf(stderr, "unknown priority name: %s", pri_text);
    return -1;
  }
  return (fac & 0x3f8) | (pri & 7);
}

int os_log_emit(int level, const char* module, const char* text, int len) {
  int saved = errno;
  level &= 0xff;
  if (level > g_threshold.load(std::memory_order_relaxed)) return 0;
  if (!text) text = "";
  {
    LogLockGuard guard;
    os_log_callback info = g_info_cb.load();
    os_log_callback alert = g_alert_cb.load();
    if (info && alert) (level > OS_LOG_WARN ? info : alert)(text);
    if (os_log_callback tee = g_tee_cb.load()) tee(text);
    if (g_console.load() && level >= 2 && level <= 8)
      pal::console_write(text, level_console_attr(level),
                         (g_prefix.load() & OS_LOG_COLOR) != 0);
    if (g_file_on.load() && g_file) {
      fputs(text, g_file);
      fflush(g_file);
    }
    if (g_syslog_on.load()) syslog_sink(level, module, text);
    if (g_debugger.load()) pal::debugger_write(text);
  }
  errno = saved;
  return 0;
}

int os_log_v(int level, const char* module, const char* src, int line,
             const char* func, const char* fmt, va_list ap) {
  int saved = errno;
  int lv = level & 0xff;
  if (lv > g_threshold.load(std::memory_order_relaxed)) return 0;

  char buf[kLineSize];
  LineBuilder b(buf, sizeof buf);
  int flags = g_prefix.load(std::memory_order_relaxed);
  if (flags & OS_LOG_PREFIX_TIME) {
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    b.add("%02d:%02d:%02d ", tm.tm_hour, tm.tm_min, tm.tm_sec);
  }
  if (flags & OS_LOG_PREFIX_LEVEL) b.add("%s", level_prefix(lv));
  if (flags & OS_LOG_PREFIX_TID)
    b.add("[%llu] ", static_cast<unsigned long long>(os_thread_id()));
  if (flags & OS_LOG_PREFIX_FUNC) b.add("%s(): ", func ? func : "");
  if (fmt) b.addv(fmt, ap);
  size_t composed = b.size();

  if (level & OS_LOG_SYSERR) {
    char err[kErrTextSize];
    os_error_text(saved, err, sizeof err);
    b.add("%s\n", err);
  }
  os_log_emit(lv, module, buf, static_cast<int>(b.size()));
  if (lv == OS_LOG_CRIT) {
    // Every sink has the line (the file is flushed per line); end here
    // without running static destructors under threads that are still
    // working. Only the standard outputs are flushed: fflush(NULL) would
    // wait for every stream's lock, also one a thread holds while blocked
    // in a read.
    fflush(stdout);
    fflush(stderr);
    _Exit(1);
  }
  errno = saved;
  return static_cast<int>(composed);
}

int os_log(int level, const char* module, const char* src, int line,
           const char* func, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = os_log_v(level, module, src, line, func, fmt, ap);
  va_end(ap);
  return r;
}

int os_log_ctl(int option, ...) {
  va_list ap;
  va_start(ap, option);
  int result = 0;
  switch (option) {
    case OS_LOG_SET_LEVEL: g_threshold = va_arg(ap, int); break;
    case OS_LOG_SET_PREFIX: g_prefix = va_arg(ap, int); break;
    case OS_LOG_SET_CONSOLE: g_console = va_arg(ap, int) != 0; break;
    case OS_LOG_SET_DEBUGGER: g_debugger = va_arg(ap, int) != 0; break;
    case OS_LOG_SET_FILE: g_file_on = va_arg(ap, int) != 0; break;
    case OS_LOG_SET_SYSLOG: g_syslog_on = va_arg(ap, int) != 0; break;
    case OS_LOG_OPEN_FILE: {
      const char* path = va_arg(ap, const char*);
      // Under the lock: a sink may be writing to the file being replaced.
      LogLockGuard guard;
      if (g_file) fclose(g_file);
      // "e": the file is not inherited by the commands the program runs.
      g_file = path ? fopen(path, "a+e") : nullptr;
      if (!g_file) {
        fprintf(stderr, "fopen %s err\n", path ? path : "(null)");
        result = -1;
      }
      break;
    }
    case OS_LOG_OPEN_SYSLOG: {
      const char* target = va_arg(ap, const char*);
      LogLockGuard guard;
      result = open_syslog(target);
      break;
    }
    case OS_LOG_SET_LEVEL_NAME: {
      const char* name = va_arg(ap, const char*);
      static const char* const kNames[] = {"verb", "dbg",  "info", "noti",
                                           "warn", "err", "crit"};
      int level = -1;
      for (int i = 0; name && i < 7; i++)
        if (strcmp(name, kNames[i]) == 0) {
          level = OS_LOG_VERBOSE - i;
          break;
        }
      if (level < 0) {
        fprintf(stderr, "error: invalid level param\n");
        level = OS_LOG_ERR;
      }
      g_threshold = level;
      break;
    }
    case OS_LOG_SET_PREFIX_NAMES: {
      const char* names = va_arg(ap, const char*);
      static const struct {
        const char* word;
        int bit;
      } kWords[] = {{"prefix", OS_LOG_PREFIX_LEVEL}, {"time", OS_LOG_PREFIX_TIME},
                    {"func", OS_LOG_PREFIX_FUNC},    {"tid", OS_LOG_PREFIX_TID},
                    {"file", OS_LOG_PREFIX_FILE},    {"line", OS_LOG_PREFIX_LINE}};
      int flags = OS_LOG_COLOR;
      for (const auto& w : kWords)
        if (names && strstr(names, w.word)) flags |= w.bit;
      g_prefix = flags;
      break;
    }
    case OS_LOG_SET_INFO_CALLBACK: g_info_cb = va_arg(ap, os_log_callback); break;
    case OS_LOG_SET_ALERT_CALLBACK: g_alert_cb = va_arg(ap, os_log_callback); break;
    case OS_LOG_SET_TEE_CALLBACK: {
      os_log_callback cb = va_arg(ap, os_log_callback);
      LogLockGuard guard;
      g_tee_cb = cb;
      break;
    }
    default:
      fprintf(stderr, "Invalid command code\n");
      result = -1;
      break;
  }
  va_end(ap);
  return result;
}
