// The command runner's system layer: what each platform's os_popen file
// implements (starting, waiting for, ending and interrupting a child, its
// pipes and the pipe runner's reader thread) below the portable runner of
// os_popen.cc. Private to libpal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/os_system.h"

namespace pal {

// A descriptor on POSIX, a HANDLE on Windows; kNoHandle when none (closed).
using sys_handle = intptr_t;
constexpr sys_handle kNoHandle = -1;

// A started command as the system knows it: its process id (on POSIX also
// its process group) and, on Windows, its process and the job that holds
// it with everything it starts (null when the system refused a job).
struct child {
  int64_t pid = -1;
  void* process = nullptr;
  void* job = nullptr;
};

// The child's standard streams; kNoHandle: the caller's. null_input: on
// POSIX standard input comes from /dev/null (a tool that reads it gets its
// end at once instead of stopping the process group); Windows starts every
// command hidden and keeps the caller's.
struct child_stdio {
  sys_handle in = kNoHandle;
  sys_handle out = kNoHandle;
  sys_handle err = kNoHandle;
  bool null_input = false;
};

// How the system finds and starts its command processor.
struct runner_traits {
  const char* shell;         // when $COMSPEC is unset or empty
  char list_sep;             // between PATH entries
  char dir_sep;              // appended to a PATH entry
  bool any_case_names;       // environment names ignore case
  bool shell_in_tools;       // the shell is looked for in the tool folder first
  bool search_with_dir;      // a shell name with a folder in it is still searched
  const char* default_path;  // PATH after the tool folder when the caller has none
};
extern const runner_traits kRunner;

// Is path a file the runner may start?
bool is_program(const std::string& path);
// The caller's environment, one "NAME=value" each.
std::vector<std::string> environment();

// Starts command with the processor (its "-c" or "/c" form) in a process
// group or job of its own, with the default signal state, env as its
// environment. False with errno set.
bool spawn(const std::string& processor, const char* command, const std::vector<std::string>& env,
           const child_stdio& io, child* c);
// Waits at most limit_ms for the child to end; true when it has. The child
// stays unreleased (on POSIX its group id cannot be reused meanwhile).
bool child_wait(const child& c, uint32_t limit_ms);
// The exit code of an ended child that is not released yet (128 + signal
// number when a signal ended it); -1 when unknown.
int child_exit_code(const child& c);
// Ends the child with everything it started (SIGKILL to its group, or its
// job terminated); true when that was sent.
bool child_kill(const child& c);
// Waits for the child's end and releases it: its exit code, -1 when unknown.
int child_release(child* c);
// Ctrl-C to the process pid (POSIX: SIGINT to its group; Windows: a console
// Ctrl-C event); 1 when it was sent, else 0.
int interrupt_process(int64_t pid);

// A pipe, both ends private to this process except the child's, which
// spawn passes on: parent_end (0 read, 1 write) is never inherited. False
// with errno or the system's error set.
bool pipe_new(sys_handle ends[2], int parent_end);
// The system's code of the last failure (errno, or GetLastError on Windows).
unsigned long last_error();
// Keeps a child's end that this process holds from later children.
void handle_private(sys_handle h);
void handle_close(sys_handle* h);
// Bytes read, 0 at the end of the pipe, -1 on failure.
int handle_read(sys_handle h, void* buf, int size);
// Bytes written, -1 on failure.
int handle_write(sys_handle h, const void* buf, int size);
// Reads into buf once something arrives within limit_ms: the bytes read,
// 0 when the time is up, the pipe has ended or failed.
int read_within(sys_handle h, char* buf, int size, uint32_t limit_ms);
// Writes a reply to a pipe whose reader may be gone, without the process
// noticing more than a failed write.
void write_reply(sys_handle h, const std::string& text);

// The pipe runner's reader thread: reads rd in chunks of at most 511 bytes
// into out until its end, a failure, or reader_stop. Null when no thread
// could be started.
struct reader;
reader* reader_start(sys_handle rd, strbuf* out);
// Waits at most limit_ms for the reader to finish by itself.
bool reader_wait(reader* r, uint32_t limit_ms);
// Stops a reader that has not finished and releases it.
void reader_stop(reader* r);

}  // namespace pal
