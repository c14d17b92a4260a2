// Base layer start-up and the small system services: clock, sleeps, text
// conversion, library loading, the once-only protocol, spin locks, folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

enum { TB_STATE_OK = 0, TB_STATE_END = 1, TB_STATE_EXITING = 17 };
enum { TB_MODE_DEBUG = 1, TB_MODE_SMALL = 2 };

struct tb_version_t {
  uint8_t major, minor, alter;
  uint64_t build;
};

// Starts the layer once; true when started (also for a second call). priv
// and allocator are unused on POSIX (null selects the default allocator).
bool tb_init(void* priv, void* allocator, size_t mode, uint64_t build);
void tb_exit();
int tb_state();
const tb_version_t* tb_version();

// Monotonic milliseconds from an arbitrary origin; never goes backwards.
int64_t tb_clock_ms();
void tb_msleep(uint32_t ms);
void tb_sleep(uint32_t seconds);

// Narrow (UTF-8 here) <-> wide text; number of characters converted, -1 when
// the text cannot be converted or does not fit. Never touches the
// process-wide locale.
long tb_text_to_wide(wchar_t* wide, const char* text, size_t capacity);
long tb_text_from_wide(char* text, const wchar_t* wide, size_t capacity);

// dlopen / dlsym; null on failure.
void* tb_library_load(const char* name);
void* tb_library_symbol(void* library, const char* name);

// Once-only protocol over *state (0 not loaded, 1 loading, 2 loaded, 3
// failed; start from 0). Runs loader(table, priv) for the first caller and
// returns its result. A caller that finds a load in progress polls every
// 100 ms for at most 5 s and returns true when it ended loaded. A failed load
// is marked failed and not retried: later callers get false at once instead
// of waiting.
enum { TB_ONCE_NONE = 0, TB_ONCE_LOADING = 1, TB_ONCE_LOADED = 2, TB_ONCE_FAILED = 3 };
typedef bool (*tb_loader_t)(void* table, void* priv);
bool tb_load_once(int* state, void* table, tb_loader_t loader, void* priv);

// Length written, 0 on failure.
size_t tb_directory_current(char* buf, size_t size);
size_t tb_directory_appdata(char* buf, size_t size);

// 0 free, 1 held. Enter spins (a processor pause after every fifth failed
// attempt) and never sleeps; hold it only for a few instructions.
typedef int tb_spinlock_t;
void tb_spinlock_enter(tb_spinlock_t* lock);
void tb_spinlock_leave(tb_spinlock_t* lock);

// The layer's own trace: "[prefix]: [module]: " and the message, handed to
// os_log_emit with an empty module tag; levels above 6 are dropped.
void tb_trace(int level, const char* prefix, const char* module, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
