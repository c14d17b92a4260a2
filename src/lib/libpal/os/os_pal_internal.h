// Internal interface of libpal: the system-call boundary that each platform
// implements once (os/posix/, os/windows/). Not for use outside the
// library, except by its tests.
#pragma once

#include <cstddef>
#include <string>

namespace pal {

// The C runtime's English text for an errno value (never localised).
const char* sys_error_text(int code);

// Console behind standard error. Writes text and flushes; with colour on and
// standard error a terminal, the line is drawn in the colour that the
// console attribute (2, 4, 6, 7, 12) stands for.
void console_write(const char* text, int attr, bool colour);

// Debugger output; writes nowhere on POSIX.
void debugger_write(const char* text);

// Connects a socket to host:port (port empty: the syslog service name),
// datagram or stream. Prints the failure texts on standard error. Returns
// the descriptor, or -1.
int syslog_connect(bool tcp, const char* host, const char* port);
void syslog_close(int fd);
// Sends len bytes in one call; false when the send failed.
bool syslog_send(int fd, const void* data, size_t len);
// The host name ("host" when the system gives none); buf of size bytes.
void host_name(char* buf, size_t size);
int process_id();

// A fresh, empty temporary file for the capturing runner, named with the
// prefix "kor" in the user's temporary folder (whose name may have at most
// max_dir characters); its name in *name. False with errno set.
bool temp_file_new(std::string* name, size_t max_dir);
void temp_file_remove(const std::string& name);

// Ends every command os_system_s waits for (SIGKILL to its process group)
// and refuses every later one; the number of groups ended.
int end_running_commands();
// Logs what a command printed at level 7, one line per line of it, each
// marked "> " and with its control characters escaped (os_printable_copy):
// a tool passes on what a device sent, which must neither reach the log
// raw nor pass for a line of the program's own.
void log_command_output(const std::string& text);
// A pipe mode of os_popen ("r" or "w", then optionally "t" or "b", blanks
// around each); *reading tells which. False for anything else.
bool popen_mode(const char* mode, bool* reading);

// Portable part of the log (os_log.cc), exposed for tests.
// Priority value of a syslog selector such as "user.error" (11); -1 after
// "unknown facility name: %s" or "unknown priority name: %s" on stderr.
int syslog_priority(const char* selector);

}  // namespace pal
