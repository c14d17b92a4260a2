// Process-wide logging: one call, os_log, with a level, module tag, source
// path, line, function and printf format; sinks are two callbacks, the
// console, a file, a syslog collector and the debugger (nothing on POSIX).
#pragma once

#include <cstdarg>
#include <cstdint>

// Levels (low 8 bits of the level argument).
enum {
  OS_LOG_CRIT = 2,     // ends the process with exit code 1 once every sink has the line
  OS_LOG_ERR = 3,
  OS_LOG_WARN = 4,
  OS_LOG_NOTICE = 5,
  OS_LOG_INFO = 6,
  OS_LOG_DEBUG = 7,
  OS_LOG_VERBOSE = 8,
};
// Appends the text of the last system error (errno) and "\n" to the line.
#define OS_LOG_SYSERR 0x100

// Prefix flags.
enum {
  OS_LOG_PREFIX_TIME = 0x01,
  OS_LOG_PREFIX_LEVEL = 0x02,
  OS_LOG_PREFIX_FILE = 0x04,
  OS_LOG_PREFIX_LINE = 0x08,
  OS_LOG_PREFIX_FUNC = 0x10,
  OS_LOG_COLOR = 0x40,
  OS_LOG_PREFIX_TID = 0x80,
};

// Options of os_log_ctl; the second argument is an int, a const char* or an
// os_log_callback as noted.
enum {
  OS_LOG_SET_LEVEL = 1,             // int
  OS_LOG_SET_PREFIX = 2,            // int
  OS_LOG_SET_CONSOLE = 3,           // int
  OS_LOG_SET_DEBUGGER = 4,          // int
  OS_LOG_SET_FILE = 5,              // int
  OS_LOG_SET_SYSLOG = 6,            // int
  OS_LOG_OPEN_FILE = 7,             // const char* path
  OS_LOG_OPEN_SYSLOG = 8,           // const char* target
  OS_LOG_SET_LEVEL_NAME = 9,        // const char* keyword
  OS_LOG_SET_PREFIX_NAMES = 10,     // const char* keywords
  OS_LOG_SET_INFO_CALLBACK = 11,    // os_log_callback, lines of level above 4
  OS_LOG_SET_ALERT_CALLBACK = 12,   // os_log_callback, lines of level 4 and below
  // os_log_callback (or null): every line that passes the threshold, beside
  // the other sinks. Swapped under the log lock: once the call returns, the
  // callback that was there before runs no more.
  OS_LOG_SET_TEE_CALLBACK = 13,
};

// Receives a finished line (NUL-terminated); the result is ignored.
typedef int (*os_log_callback)(const char* line);

// Composes and emits one line. Returns the number of characters composed
// before any system-error text, 0 when the line was filtered out. Never
// changes errno. A level-2 line ends the process after all sinks have it.
int os_log(int level, const char* module, const char* src, int line,
           const char* func, const char* fmt, ...)
    __attribute__((format(printf, 6, 7)));
int os_log_v(int level, const char* module, const char* src, int line,
             const char* func, const char* fmt, va_list ap)
    __attribute__((format(printf, 6, 0)));

// Hands a finished line to the sinks under the log lock. len may be -1:
// sinks take the text up to its NUL. Returns 0.
int os_log_emit(int level, const char* module, const char* text, int len);

// Configuration; 0 on success (see the option table for the other results).
int os_log_ctl(int option, ...);

// The module tag every call site of the program passes.
#define KR_LOG_MODULE "kr.libkrs"

// KR_LOG(level, fmt, ...): logs with the calling file's KR_LOG_SRC (each .cc
// defines it, e.g. "src\\lib\\libkrsd\\sd_client") and the function's name.
// KR_LOGF names the function explicitly (e.g. "CkriiDlg::OnBnClickedStartStopWork").
#define KR_LOG(level, ...) \
  os_log((level), KR_LOG_MODULE, KR_LOG_SRC, __LINE__, __func__, __VA_ARGS__)
#define KR_LOGF(level, func, ...) \
  os_log((level), KR_LOG_MODULE, KR_LOG_SRC, __LINE__, (func), __VA_ARGS__)
