// Windows side of the log sinks: the console behind standard error with its
// text attributes, the syslog socket (Winsock, imported directly: the log
// must work before and without the base layer), the host name and the
// debugger output.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "os/os_pal_internal.h"

namespace pal {

namespace {

// Winsock is started once for the process, the first time the log needs it.
void socket_library_start() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fputs("WSAStartup error\n", stderr);
  });
}

}  // namespace

void console_write(const char* text, int attr, bool colour) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  // Attributes exist only for a console; a file or pipe gets the bare text.
  const bool console = colour && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode);
  if (console) SetConsoleTextAttribute(err, static_cast<WORD>(attr));
  fputs(text, stderr);
  fflush(stderr);
  if (console) SetConsoleTextAttribute(err, 7);
}

void debugger_write(const char* text) { OutputDebugStringA(text); }

int syslog_connect(bool tcp, const char* host, const char* port) {
  socket_library_start();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
  const char* service = *port ? port : (tcp ? "syslog-conn" : "syslog");
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host, service, &hints, &res);
  if (rc != 0 || !res) {
    fprintf(stderr, "getaddrinfo: %s\n", sys_error_text(rc == EAI_NONAME ? ENOENT : EINVAL));
    fprintf(stderr, "failed to resolve name %s port %s", host, port);
    if (res) freeaddrinfo(res);
    return -1;
  }
  SOCKET s = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
  if (s == INVALID_SOCKET || connect(s, res->ai_addr, static_cast<int>(res->ai_addrlen)) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    fprintf(stderr, "failed to connect to %s port %s", host, port);
    freeaddrinfo(res);
    return -1;
  }
  freeaddrinfo(res);
  // Socket numbers are small handle values: they fit the log's int.
  return static_cast<int>(s);
}

void syslog_close(int fd) {
  if (fd >= 0) closesocket(static_cast<SOCKET>(fd));
}

bool syslog_send(int fd, const void* data, size_t len) {
  int n = send(static_cast<SOCKET>(fd), static_cast<const char*>(data), static_cast<int>(len), 0);
  return n >= 0 && static_cast<size_t>(n) == len;
}

void host_name(char* buf, size_t size) {
  if (size == 0) return;
  socket_library_start();
  if (gethostname(buf, static_cast<int>(size)) != 0) buf[0] = '\0';
  buf[size - 1] = '\0';
  if (!buf[0]) snprintf(buf, size, "host");
}

int process_id() { return static_cast<int>(GetCurrentProcessId()); }

}  // namespace pal
