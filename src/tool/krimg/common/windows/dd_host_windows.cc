// The host facts of the report on Windows.
#include <windows.h>

#include <cstdio>
#include <ctime>

#include "dd_report.h"

int64_t dd_report_now() { return static_cast<int64_t>(time(nullptr)); }

std::string dd_report_time_text(int64_t s) {
  const time_t t = static_cast<time_t>(s);
  struct tm local {}, utc{};
  if (localtime_s(&local, &t) != 0 || gmtime_s(&utc, &t) != 0) return "";
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  // The offset from the two broken-down times: the system keeps no field
  // for it (the ISO 8601 form has the colon).
  utc.tm_isdst = local.tm_isdst;
  const long off = static_cast<long>(difftime(mktime(&local), mktime(&utc)));
  const long a = off < 0 ? -off : off;
  char zone[48];
  snprintf(zone, sizeof zone, "%c%02ld:%02ld", off < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
  return std::string(text) + zone;
}

std::string dd_report_host() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
}

std::string dd_report_user() {
  char name[256] = "";
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? name : "";
}

// --- what the engine asks of the system ----------------------------------

#include <string>
#include <vector>

#include "dd_host.h"
#include "dd_text.h"
#include "tb_init.h"

namespace {

// The wide form of a narrow (ANSI code page) name; empty when it has none.
std::wstring wide_of(const std::string& narrow) {
  std::vector<wchar_t> w(narrow.size() * 2 + 8);
  if (tb_text_to_wide(w.data(), narrow.c_str(), w.size()) < 0) return L"";
  return w.data();
}

std::string last_error_text() {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                 text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// The lock covers one byte far beyond any image's end: Windows locks keep
// other handles from the bytes they cover, and the job's own handle must
// still write every byte of the image.
constexpr DWORD kLockHigh = 0x7fffffff, kLockLow = 0xfffffff0;

}  // namespace

dd_image_lock::~dd_image_lock() { release(); }

void dd_image_lock::release() {
  if (handle_ == -1) return;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED ov{};
  ov.Offset = kLockLow;
  ov.OffsetHigh = kLockHigh;
  UnlockFileEx(h, 0, 1, 0, &ov);
  CloseHandle(h);
  handle_ = -1;
}

int dd_image_lock::acquire(const std::string& path, bool exclusive, bool create, bool* created,
                           std::string* error) {
  release();
  if (created) *created = false;
  const std::wstring w = wide_of(path);
  if (w.empty()) {
    *error = "open [" + path + "] error [not a name of this system]";
    return FAILED;
  }
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, share, nullptr, create ? CREATE_NEW : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && create && created) *created = true;
  if (h == INVALID_HANDLE_VALUE)
    h = CreateFileW(w.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (!create && (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)) return LOCKED;
    *error = "open [" + path + "] error [" + last_error_text() + "]";
    return FAILED;
  }
  OVERLAPPED ov{};
  ov.Offset = kLockLow;
  ov.OffsetHigh = kLockHigh;
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!LockFileEx(h, flags, 0, 1, 0, &ov)) {
    const DWORD e = GetLastError();
    CloseHandle(h);
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) return BUSY;
    return LOCKED;  // a file system without locks guards nothing
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return LOCKED;
}

std::string dd_host_utf8(std::string_view text) {
  // Narrow text is in the ANSI code page here (936 on the examiners'
  // systems), whatever its bytes look like.
  const std::string narrow(text);
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.c_str(),
                                    static_cast<int>(narrow.size()), nullptr, 0);
  if (n <= 0) return dd_utf8_escape(text, false);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.c_str(), static_cast<int>(narrow.size()),
                      w.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(m > 0 ? m : 0), '\0');
  if (m > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), n, out.data(), m, nullptr, nullptr);
  return dd_utf8_valid(out) ? out : dd_utf8_escape(text, false);
}

int64_t dd_host_free_bytes(const std::string& path) {
  std::wstring w = wide_of(path);
  for (int i = 0; i < 64 && !w.empty(); ++i) {
    ULARGE_INTEGER avail;
    if (GetDiskFreeSpaceExW(w.c_str(), &avail, nullptr, nullptr))
      return static_cast<int64_t>(avail.QuadPart);
    const size_t slash = w.find_last_of(L"\\/");
    if (slash == std::wstring::npos) break;
    w.resize(slash == 2 ? 3 : slash);  // "C:\" keeps its separator
  }
  return -1;
}

bool dd_host_image_in_source(const std::string& source, const std::string& image, std::string* why) {
  auto info = [](const std::string& p, BY_HANDLE_FILE_INFORMATION* out) {
    const std::wstring w = wide_of(p);
    if (w.empty()) return false;
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, out) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  if (!info(source, &a) || !info(image, &b)) return false;
  if (a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
      a.nFileIndexLow == b.nFileIndexLow) {
    *why = "the image is the source itself";
    return true;
  }
  return false;
}

std::string dd_host_system() { return "Windows"; }

// Files on Windows take the folder's access list.
dd_host_private_files::dd_host_private_files() = default;
dd_host_private_files::~dd_host_private_files() = default;
