// Running external commands through the system's shell with a time limit,
// capturing what they print; a pipe-based runner with a reader thread; and
// small helpers that pick fields out of command output.
//
// The command processor is $COMSPEC when set, else the system's: on POSIX
// /bin/sh, run as "<shell> -c <command>" in a process group of its own (a
// time-out kills the whole group, the tool as well as the shell), with
// standard input from /dev/null; on Windows cmd.exe, run hidden as
// "<processor> /c <command>". PATH is prefixed by the programs' tool folder
// (os_tools_dir) so that the tools delivered with the programs are found
// first.
//
// New texts returned here are owned by the caller and released with free().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// A growable text: NUL-terminated, zero-filled on creation, grows in steps
// of 4096 bytes. Allocation failure ends the process (safe_* wrappers).
struct strbuf {
  char* text;
  int len;   // bytes without the terminator
  int cap;   // bytes allocated
};
strbuf* strbuf_new();
void strbuf_free(strbuf* sb);
// Appends len bytes of text (len < 0: up to its NUL); 0.
int strbuf_append(strbuf* sb, const char* text, int len = -1);
int strbuf_appendf(strbuf* sb, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The text, or null while it is empty.
const char* strbuf_get(const strbuf* sb);

// Runs command for at most limit_ms and logs its standard output, then its
// standard error, at level 7, a line each ("> <line>\n", control characters
// escaped: a tool passes on what a device sent). Returns the
// result of os_system_capture. When output is given it receives the
// standard output followed by the standard error; errors, the standard
// error alone.
int os_system_debug(const char* command, uint32_t limit_ms, std::string* output = nullptr,
                    std::string* errors = nullptr);

// Runs "<command> 1><out file> 2><err file>" through os_system_s with two
// fresh temporary files ("kor" prefix in $TMPDIR, else /tmp); out and err
// (each optional) receive the texts or null when a stream was empty. Both
// files are removed after every run. Returns the exit code; -1 without
// running anything when a temporary file cannot be made or the wrapped line
// would exceed 259 characters (an error line says which).
int os_system_capture(const char* command, uint32_t limit_ms, char** out, char** err);

// Runs command through the shell for at most limit_ms. Returns its exit code
// (128 + signal number when a signal ended it); 1 after a time-out (the
// process group is killed, "timeout terminate process\n" at level 7); -1 with
// errno EINVAL for a null command; -1 when the shell cannot be found or
// started. Otherwise errno is as before the call.
int os_system_s(const char* command, uint32_t limit_ms);

// For a program on its way out that does not wait for its workers: ends
// every command os_system_s is waiting for (SIGKILL to its process group,
// the tool with the shell) and removes the capture files of every
// os_system_capture in progress, so that neither a tool (which may hold a
// password on its command line) nor its output outlives the program. Every
// command asked for afterwards is refused (-1, errno ECANCELED). Returns the
// number of process groups ended.
int os_system_end_all();

// Decides the reply to a command's question: called with everything the
// command printed so far, each time more arrived, until it returns true; the
// reply is then written to the command's standard input.
using os_answer_fn = std::function<bool(const std::string& output, std::string* reply)>;

// Runs command as os_system_s does (shell, own process group, time limit,
// reached by os_system_interrupt_all), but with its standard input on a pipe
// and its standard output and error gathered together, so that a tool's
// question can be answered after it was read. The input is closed once
// answered, and at the latest when the output ends. The output is logged at
// level 7 as os_system_debug logs it and, when output is given, handed back. Returns the exit code as
// os_system_s does (1 after a time-out), -1 when it cannot be started.
int os_system_answer(const char* command, uint32_t limit_ms, const os_answer_fn& answer,
                     std::string* output);

// Sends SIGINT to the process group of every command os_system_s is
// waiting for (a front end's Ctrl-C; the tools run in groups of their own
// and do not see the terminal's). Returns the number of groups reached.
int os_system_interrupt_all();

// The whole file as a new text; null when it cannot be opened or is empty.
char* os_read_file(const char* path);

// PATH tokenizer: copies the next entry of src into dst (at most maxlen
// bytes with the terminator), skipping sep characters around it; a sep
// inside double quotes belongs to the entry and the quotes are dropped.
// Returns the position after the entry and its trailing separators; null
// when nothing was consumed, or with errno ERANGE when the entry does not fit.
const char* os_path_next(const char* src, char* dst, size_t maxlen, char sep = ';');

// The directory of the running executable; empty when it cannot be
// determined.
std::string os_program_dir();
// The programs' private folder of what they run or deliver (the SSH tools,
// the device daemon dev/armv7/krsd), searched for tools before PATH: a path
// fixed by the build from the program's directory (../lib/krii from bin/,
// in the build folder as where installed), unless a test set another with
// os_system_set_tools_dir (null restores the default). Empty when the
// program's directory cannot be determined.
std::string os_tools_dir();
void os_system_set_tools_dir(const char* dir);

// The text quoted for the shell when it holds anything but plain characters
// (letters, digits and "-_.,:/@%+="); plain texts come back unchanged.
std::string os_shell_quote(const char* text);

// Pipe to a child: the child as the system knows it and the two ends of the
// pipe (private to the runner, os_popen.cc).
struct os_popen_t;

// Starts command with a pipe. Mode "r" or "w", optionally followed by "t" or
// "b" (blanks allowed around): in "r" the child's standard output and error
// go into the pipe, in "w" its standard input comes from it. Null with errno
// EINVAL for a bad mode or a null command; null when it cannot be started.
os_popen_t* os_popen(const char* command, const char* mode);
// The child's process id; -1 for a null handle.
int64_t os_popen_pid(const os_popen_t* h);
// Bytes read from the pipe, 0 at its end, -1 on failure.
int os_popen_read(os_popen_t* h, void* buf, int size);
// Bytes written to the pipe, -1 on failure (also once the write end is
// closed, and in mode "r", where the child has no input from it).
int os_popen_write(os_popen_t* h, const void* buf, int size);
// Interrupts the child as Ctrl-C would (SIGINT to its process group; on
// Windows a console Ctrl-C event) and closes the write end; 0.
int os_popen_interrupt(os_popen_t* h);
// The same interruption for the child with process id pid; non-zero when
// it was sent.
int os_console_interrupt(int64_t pid);
// Closes both ends and gives the child 10 ms to end. Returns its exit code;
// -1 when it had to be killed, or with errno EINVAL for a null handle.
// Releases the handle.
int os_pclose(os_popen_t* h);

// A timed run: the pipe, the reader thread's state and the collected output.
struct os_popen_run_t;
// Starts command (os_popen), collects its output on a reader thread, waits
// at most limit_ms for it, then interrupts it and gives the reader 100 ms to
// see the end of the pipe (a reader still waiting then is stopped, keeping
// what it read). Null when the command cannot be started.
os_popen_run_t* os_popen_run(const char* command, const char* mode, uint32_t limit_ms);
// Exit code of the run, -1 when the child did not end within the limit.
int os_popen_exit_code(const os_popen_run_t* run);
// Collected output, null when there was none.
const char* os_popen_output(const os_popen_run_t* run);
// Releases the run (os_pclose of its pipe); 0.
int os_popen_free(os_popen_run_t* run);

// os_popen_run in mode "rt": the exit code; -1 when the command cannot be
// started or does not end in time.
int os_system_timed(const char* command, uint32_t limit_ms);
// As os_system_timed; when the exit code is 0 and out is given, *out
// receives a copy of the collected output ("" when the command printed
// nothing). *out is null otherwise.
int os_system_output(const char* command, uint32_t limit_ms, char** out);

// Text helpers for command output; every result is a new text or null.
// Position of text in a list of NUL-ended texts closed by an empty text; -1.
int text_list_index(const char* list, const char* text);
// The n-th token (from 0) of text split at any of delims (runs of delimiters
// count as one); null when there are fewer tokens.
char* text_token_at(const char* text, const char* delims, int n);
// In the first line whose field key_index equals key, field want_index,
// trimmed; null when no line matches or the field is missing.
char* text_line_field(const char* text, const char* delims, int key_index, const char* key,
                      int want_index);
// In the first line containing needle, field index (split at delims), trimmed.
char* text_find_line_field(const char* text, const char* needle, const char* delims, int index);
// A new text with every occurrence of pattern replaced (an empty pattern
// replaces nothing).
char* text_replace_all(const char* text, const char* pattern, const char* replacement);
