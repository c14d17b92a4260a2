// Start-up and the small system services on Windows: the tables of entry
// points resolved at run time, clock, sleeps, code-page text conversion,
// library loading, the folders and the errno translation.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/tb_win.h"
#include "tb_init.h"

namespace {

// Names longer than this are refused by the library loader.
constexpr size_t kLibraryNameMax = 4096;
// The shell folder of the user's roaming application data.
constexpr int kFolderAppData = 26;

template <typename Table>
struct Loaded {
  int state = TB_ONCE_NONE;
  Table table{};
};

// The module if it is already loaded, else loaded now; then every name of
// the table in order (a missing name leaves its entry null).
template <typename Table>
bool load_table(const char* module, const char* const* names, size_t count, Table* table) {
  HMODULE m = GetModuleHandleA(module);
  if (!m) m = static_cast<HMODULE>(tb_library_load(module));
  if (!m) return false;
  auto* entries = reinterpret_cast<FARPROC*>(table);
  static_assert(sizeof(FARPROC) == sizeof(void*));
  for (size_t i = 0; i < count; ++i) entries[i] = GetProcAddress(m, names[i]);
  return true;
}

#define TB_WIN_NAME(name) #name,
#define TB_WIN_TABLE(fn, type, module, entries)                                            \
  const type* fn() {                                                                        \
    static Loaded<type> loaded;                                                             \
    static const char* const names[] = {entries(TB_WIN_NAME)};                              \
    static_assert(sizeof(type) == sizeof names / sizeof names[0] * sizeof(void*));          \
    tb_load_once(                                                                           \
        &loaded.state, &loaded.table,                                                       \
        [](void* t, void*) {                                                                \
          return load_table(module, names, sizeof names / sizeof names[0], static_cast<type*>(t)); \
        },                                                                                  \
        nullptr);                                                                           \
    return &loaded.table;                                                                   \
  }

size_t copy_wide_out(const wchar_t* wide, char* buf, size_t size) {
  if (tb_text_from_wide(buf, wide, size) <= 0) return 0;
  return strlen(buf);
}

}  // namespace

TB_WIN_TABLE(tb_kernel32, tb_kernel32_t, "kernel32.dll", TB_KERNEL32_ENTRIES)
TB_WIN_TABLE(tb_ws2_32, tb_ws2_32_t, "ws2_32.dll", TB_WS2_32_ENTRIES)
TB_WIN_TABLE(tb_shell32, tb_shell32_t, "shell32.dll", TB_SHELL32_ENTRIES)
TB_WIN_TABLE(tb_iphlpapi, tb_iphlpapi_t, "iphlpapi.dll", TB_IPHLPAPI_ENTRIES)

int64_t tb_clock_ms() {
  if (auto tick = tb_kernel32()->GetTickCount64) return static_cast<int64_t>(tick());
  LARGE_INTEGER f, n;
  if (!QueryPerformanceFrequency(&f) || !QueryPerformanceCounter(&n) || f.QuadPart == 0) return 0;
  return (n.QuadPart / f.QuadPart) * 1000 + ((n.QuadPart % f.QuadPart) * 1000) / f.QuadPart;
}

void tb_msleep(uint32_t ms) { Sleep(ms); }

void tb_sleep(uint32_t seconds) {
  for (; seconds > 0; --seconds) tb_msleep(1000);
}

// Narrow text is the user's ANSI code page (936 on Chinese systems), as the
// system's own narrow calls take it; the conversion goes through the code
// page directly, so no thread ever sees the process-wide locale change.
long tb_text_to_wide(wchar_t* wide, const char* text, size_t capacity) {
  if (!wide || !text || capacity == 0 || capacity > INT_MAX) return -1;
  if (!*text) {
    wide[0] = L'\0';
    return 0;
  }
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide, static_cast<int>(capacity));
  if (n <= 0) return -1;
  return n - 1;
}

long tb_text_from_wide(char* text, const wchar_t* wide, size_t capacity) {
  if (!text || !wide || capacity == 0 || capacity > INT_MAX) return -1;
  if (!*wide) {
    text[0] = '\0';
    return 0;
  }
  // A character the code page cannot show is an error, never a '?'.
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, text, static_cast<int>(capacity), nullptr, &lossy);
  if (n <= 0 || lossy) return -1;
  return n - 1;
}

void* tb_library_load(const char* name) {
  if (!name || !*name) return nullptr;
  std::vector<wchar_t> wide(kLibraryNameMax + 1);
  if (tb_text_to_wide(wide.data(), name, wide.size()) < 0) return nullptr;
  return LoadLibraryExW(wide.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* tb_library_symbol(void* library, const char* name) {
  if (!library || !name || !*name) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

size_t tb_directory_current(char* buf, size_t size) {
  if (!buf || size == 0) return 0;
  std::vector<wchar_t> wide(4097);
  DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(wide.size()), wide.data());
  if (n == 0 || n >= wide.size()) return 0;
  return copy_wide_out(wide.data(), buf, size);
}

size_t tb_directory_appdata(char* buf, size_t size) {
  if (!buf || size == 0) return 0;
  const tb_shell32_t* shell = tb_shell32();
  if (!shell->SHGetSpecialFolderLocation || !shell->SHGetPathFromIDListW) return 0;
  PIDLIST_ABSOLUTE location = nullptr;
  if (shell->SHGetSpecialFolderLocation(nullptr, kFolderAppData, &location) != S_OK || !location)
    return 0;
  wchar_t wide[MAX_PATH + 1] = {};
  BOOL ok = shell->SHGetPathFromIDListW(location, wide);
  CoTaskMemFree(location);
  if (!ok) return 0;
  return copy_wide_out(wide, buf, size);
}

int tb_win_errno(unsigned long code) {
  switch (code) {
    case ERROR_SUCCESS: return 0;
    case ERROR_CRC: return EIO;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME: return ENOENT;
    case ERROR_DEV_NOT_EXIST: return ENODEV;
    case ERROR_IO_DEVICE: return ENXIO;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return EPIPE;
    case ERROR_NOT_READY:
    case ERROR_BUSY: return EBUSY;
    case WSAEINTR: return EINTR;
    case WSAEBADF:
    case WSAENOTSOCK: return EBADF;
    case WSAEACCES: return EACCES;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAEPROTONOSUPPORT: return EPROTONOSUPPORT;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEISCONN: return EISCONN;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return EPIPE;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    default: return EINVAL;
  }
}

bool tb_win_fail() {
  errno = tb_win_errno(GetLastError());
  return false;
}
