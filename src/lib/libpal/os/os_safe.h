// Allocation wrappers that end the process instead of returning null, the
// recursive lock, threads, thread ids, the in-place trim and the length of a
// text in characters.
#pragma once

#include <cstddef>
#include <cstdint>

// Zero-filled; on failure logs at level 2 (ends the process).
void* safe_malloc(int size);
void* safe_realloc(void* ptr, int size);
char* safe_strdup(const char* text);

// A recursive mutual-exclusion lock. os_lock_new gives null when memory
// runs out; enter and leave return false for a null lock, true otherwise.
struct os_lock;
os_lock* os_lock_new();
void os_lock_free(os_lock* lock);
bool os_lock_enter(os_lock* lock);
bool os_lock_leave(os_lock* lock);

// A running thread; null means the thread could not be started (or the
// routine is null). The handle stays valid until os_thread_join.
typedef struct os_thread_s* os_thread_t;
typedef unsigned (*os_thread_routine)(void* arg);
os_thread_t os_thread_init(os_thread_routine routine, void* arg);
// Waits for the thread to end (not used by the program itself; tests join).
void os_thread_join(os_thread_t thread);
uint64_t os_thread_id();

// Removes trailing, then leading, ASCII white space in place; returns text.
char* os_strtrim(char* text);
// Characters of a UTF-8 text (continuation bytes do not count); limits that
// the examiner sees as characters are measured with it.
size_t os_utf8_length(const char* text);
// Copies text into dst (size bytes) with what a log must not show raw (a
// text from a device or a tool) written as visible escapes: \n, \r, \t,
// and \xHH for any other control character (C0, DEL, C1), for each byte of
// U+2028, U+2029 (line and paragraph separators), U+202A..U+202E and
// U+2066..U+2069 (direction overrides), and any byte that starts no whole
// UTF-8 sequence. Cut to fit between characters, never
// inside an escape or a character; always terminated.
void os_printable_copy(char* dst, size_t size, const char* text);
