// POSIX side of the log sinks: the console behind stderr with ANSI colours,
// the syslog socket, the host name and the (silent) debugger output.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/os_pal_internal.h"

namespace pal {

namespace {

// Console attributes as ANSI colours: 12 bright red, 4 red, 6 yellow-brown,
// 2 green; 7 is the terminal's normal colour.
const char* ansi_colour(int attr) {
  switch (attr) {
    case 12: return "\033[1;31m";
    case 4: return "\033[31m";
    case 6: return "\033[33m";
    case 2: return "\033[32m";
    default: return nullptr;
  }
}

}  // namespace

void console_write(const char* text, int attr, bool colour) {
  const char* seq = colour && isatty(STDERR_FILENO) ? ansi_colour(attr) : nullptr;
  if (seq) fputs(seq, stderr);
  fputs(text, stderr);
  if (seq) fputs("\033[0m", stderr);
  fflush(stderr);
}

void debugger_write(const char*) {}

int syslog_connect(bool tcp, const char* host, const char* port) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
  const char* service = *port ? port : (tcp ? "syslog-conn" : "syslog");
  struct addrinfo* res = nullptr;
  if (getaddrinfo(host, service, &hints, &res) != 0 || !res) {
    // The same words perror would print, but always in English.
    fprintf(stderr, "getaddrinfo: %s\n", sys_error_text(errno));
    fprintf(stderr, "failed to resolve name %s port %s", host, port);
    if (res) freeaddrinfo(res);
    return -1;
  }
  int fd = socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, res->ai_protocol);
  if (fd < 0 || connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    if (fd >= 0) close(fd);
    fprintf(stderr, "failed to connect to %s port %s", host, port);
    freeaddrinfo(res);
    return -1;
  }
  freeaddrinfo(res);
  return fd;
}

void syslog_close(int fd) {
  if (fd >= 0) close(fd);
}

bool syslog_send(int fd, const void* data, size_t len) {
  // MSG_NOSIGNAL: a collector that went away must not raise SIGPIPE and end
  // the program; the failed send leads to one reconnection instead.
  ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
  return n >= 0 && static_cast<size_t>(n) == len;
}

void host_name(char* buf, size_t size) {
  if (size == 0) return;
  if (gethostname(buf, size) != 0) buf[0] = '\0';
  buf[size - 1] = '\0';
  if (!buf[0]) snprintf(buf, size, "host");
}

int process_id() { return static_cast<int>(getpid()); }

}  // namespace pal
