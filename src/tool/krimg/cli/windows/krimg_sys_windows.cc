// krimg's system services on Windows: the console, its Ctrl-C, and the
// image file through the system's wide-character calls.
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "krimg_sys.h"
#include "tb_init.h"

namespace {

std::atomic<bool> g_interrupted{false};
bool g_terminate = false;

BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ||
      (g_terminate && event == CTRL_CLOSE_EVENT)) {
    g_interrupted = true;
    return TRUE;
  }
  return FALSE;
}

bool is_console(DWORD which) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

std::vector<wchar_t> wide_path(const std::string& path) {
  std::vector<wchar_t> wide(path.size() + 2);
  if (tb_text_to_wide(wide.data(), path.c_str(), wide.size()) < 0) wide.clear();
  return wide;
}

HANDLE open_for_query(const std::string& path) {
  std::vector<wchar_t> wide = wide_path(path);
  if (wide.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.data(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool krimg_stdin_is_terminal() { return is_console(STD_INPUT_HANDLE); }
bool krimg_stderr_is_terminal() { return is_console(STD_ERROR_HANDLE); }

int krimg_terminal_rows() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  // The status line is drawn with control sequences: the console must
  // take them.
  if (!GetConsoleMode(err, &mode) ||
      !SetConsoleMode(err, mode | ENABLE_PROCESSED_OUTPUT | 0x0004 /* virtual terminal */))
    return 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(err, &info)) return 0;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

void krimg_interrupt_catch(bool terminate) {
  g_terminate = terminate;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool krimg_interrupted() { return g_interrupted; }

void krimg_interrupt_release() { SetConsoleCtrlHandler(on_console_event, FALSE); }

// The console's line input returns once Enter is pressed; Ctrl-C cancels
// the read as well as setting the flag.
bool krimg_read_answer(std::string* line) {
  line->clear();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    if (g_interrupted) return false;
    char c;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr) || got != 1) return false;
    if (c == '\n') return true;
    if (c != '\r') *line += c;
  }
}

bool krimg_read_secret(std::string* line) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console) SetConsoleMode(in, mode & ~DWORD(ENABLE_ECHO_INPUT));
  const bool ok = krimg_read_answer(line) || (!g_interrupted && !line->empty());
  if (console) {
    SetConsoleMode(in, mode);
    fputc('\n', stderr);
  }
  return ok;
}

int64_t krimg_image_size(const std::string& path) {
  HANDLE h = open_for_query(path);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? -1 : 1;
  }
  int64_t size = 0;
  LARGE_INTEGER li;
  GET_LENGTH_INFORMATION len{};
  DWORD got = 0;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    size = 0;  // a pipe or a console: nothing to overwrite
  } else if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &len, sizeof len, &got,
                             nullptr)) {
    size = len.Length.QuadPart;
  } else {
    size = GetFileSizeEx(h, &li) ? li.QuadPart : 1;
  }
  CloseHandle(h);
  return size;
}

bool krimg_is_pipe(const std::string& path) {
  HANDLE h = open_for_query(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool pipe = GetFileType(h) == FILE_TYPE_PIPE;
  CloseHandle(h);
  return pipe;
}
// PuTTY's Windows tools keep them in the registry, per user.
const char* krimg_hostkey_store() { return "HKEY_CURRENT_USER\\Software\\SimonTatham\\PuTTY\\SshHostKeys"; }
