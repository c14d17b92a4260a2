// The Windows side of the file layer: the local file driver (files, whole
// disks \\.\PhysicalDriveN and volumes \\.\X:), standard input and standard
// output. Windows errors reach the callers as errno values (tb_win_errno).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/file_driver.h"
#include "platform/windows/cancel_windows.h"
#include "platform/windows/tb_win.h"  // before the system's device controls
#include "tb_file.h"
#include "tb_init.h"
#include "tb_path.h"
#include "tb_url.h"

#include <winioctl.h>

namespace {

struct win_file {
  HANDLE h;
  bool disk;  // FILE_TYPE_DISK: the disk driver may know the length
};

HANDLE handle_of(void* ctx) { return static_cast<win_file*>(ctx)->h; }

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool is_raw_device(const char* path) { return starts_with(path, "\\\\.\\"); }

// The system path for a name of the file layer (already made absolute by
// its naming), or false with errno.
bool system_path(const char* path, std::string* out) {
  // A remote name reaches this driver only when no remote driver is
  // registered; it must not become a local file named "krp:".
  if (tb_path_prefix_ci(path, "krp:") || tb_path_prefix_ci(path, "krps:")) {
    errno = ENOENT;
    return false;
  }
  std::string name;
  if (!tb_path_local_name(path, &name)) return false;
  *out = name;
  return true;
}

bool wide_path(const char* path, std::vector<wchar_t>* wide) {
  std::string name;
  if (!system_path(path, &name)) return false;
  wide->assign(TB_PATH_MAXN, L'\0');
  if (tb_text_to_wide(wide->data(), name.c_str(), wide->size()) < 0) {
    errno = EILSEQ;
    return false;
  }
  return true;
}

DWORD disposition(int mode) {
  const bool create = mode & FILE_MODE_CREATE;
  const bool truncate = mode & FILE_MODE_TRUNCATE;
  const bool append = mode & FILE_MODE_APPEND;
  if (create && truncate) return CREATE_ALWAYS;
  if (create && append) return OPEN_ALWAYS;
  if (!create && truncate) return TRUNCATE_EXISTING;
  return OPEN_EXISTING;
}

// Creates every missing folder on the way to path's last component.
void make_parents(const std::vector<wchar_t>& path) {
  std::wstring p(path.data());
  for (size_t i = 1; i < p.size(); ++i) {
    if ((p[i] != L'\\' && p[i] != L'/') || p[i - 1] == L'\\' || p[i - 1] == L'/') continue;
    std::wstring prefix = p.substr(0, i);
    if (prefix.size() == 2 && prefix[1] == L':') continue;  // a drive
    if (GetFileAttributesW(prefix.c_str()) == INVALID_FILE_ATTRIBUTES)
      CreateDirectoryW(prefix.c_str(), nullptr);
  }
}

bool move_to(HANDLE h, int64_t offset, DWORD whence, int64_t* now) {
  LARGE_INTEGER to, at;
  to.QuadPart = offset;
  if (!SetFilePointerEx(h, to, &at, whence)) return tb_win_fail();
  if (now) *now = at.QuadPart;
  return true;
}

// A pipe or the console may hold a read for ever; a stop request of the
// reading thread cancels it (ECANCELED).
long read_some(HANDLE h, void* buf, size_t size) {
  if (tb_cancel_watched_raised()) {
    errno = ECANCELED;
    return -1;
  }
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
  if (!ReadFile(h, buf, want, &got, nullptr)) {
    // The writer of a pipe went away: that is the end of the data.
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    if (GetLastError() == ERROR_OPERATION_ABORTED && tb_cancel_watched_raised()) {
      errno = ECANCELED;
      return -1;
    }
    tb_win_fail();
    return -1;
  }
  return static_cast<long>(got);
}

// Writes everything unless the system refuses; a refusal after some bytes
// reports those bytes (the next call meets the error again).
long write_all(HANDLE h, const void* buf, size_t size) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < size) {
    DWORD put = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 0x40000000));
    if (!WriteFile(h, p + done, want, &put, nullptr) || put == 0) {
      if (!done) tb_win_fail();
      return done ? static_cast<long>(done) : -1;
    }
    done += put;
  }
  return static_cast<long>(done);
}

// --- the file driver -----------------------------------------------------

void* file_open(const char* path, int mode) {
  if (!path) {
    errno = EINVAL;
    return nullptr;
  }
  std::vector<wchar_t> wide;
  if (!wide_path(path, &wide)) return nullptr;
  DWORD access;
  if (mode & FILE_MODE_READ) {
    access = GENERIC_READ;
  } else if (mode & FILE_MODE_WRITE) {
    access = GENERIC_WRITE;
  } else if (mode & FILE_MODE_READWRITE) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else {
    access = GENERIC_READ;
  }
  // A job holds several handles of its image at once, as on POSIX: the
  // image lock's (read), the copy's and the record's (write), the
  // comparison's and the sample's (read). Each must let the others in; the
  // image lock is what keeps a second job out.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  // Emptying an existing file needs write access; a read-only open must
  // never destroy data.
  const DWORD disp = disposition(mode);
  if (disp == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) {
    errno = EINVAL;
    return nullptr;
  }
  DWORD attrs = FILE_ATTRIBUTE_NORMAL | ((mode & FILE_MODE_DIRECT) ? FILE_FLAG_NO_BUFFERING : 0);
  const DWORD shared = is_raw_device(path) ? share | FILE_SHARE_DELETE : share;
  HANDLE h = CreateFileW(wide.data(), access, shared, nullptr, disp, attrs, nullptr);
  if (h == INVALID_HANDLE_VALUE && (mode & FILE_MODE_CREATE)) {
    make_parents(wide);
    h = CreateFileW(wide.data(), access, shared, nullptr, disp, attrs, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) {
    tb_win_fail();
    return nullptr;
  }
  if ((mode & FILE_MODE_APPEND) && !move_to(h, 0, FILE_END, nullptr)) {
    int err = errno;
    CloseHandle(h);
    errno = err;
    return nullptr;
  }
  auto* f = new (std::nothrow) win_file{h, GetFileType(h) == FILE_TYPE_DISK};
  if (!f) {
    CloseHandle(h);
    errno = ENOMEM;
  }
  return f;
}

int file_close(void* ctx) {
  auto* f = static_cast<win_file*>(ctx);
  BOOL ok = CloseHandle(f->h);
  delete f;
  return ok ? 1 : tb_win_fail();
}

long file_read(void* ctx, void* buf, size_t size) {
  if (!size) return 0;
  if (!buf) return -1;
  return read_some(handle_of(ctx), buf, size);
}

long file_write(void* ctx, const void* buf, size_t size) {
  if (!size) return 0;
  if (!buf) return -1;
  return write_all(handle_of(ctx), buf, size);
}

int64_t file_seek(void* ctx, int64_t offset, int whence) {
  static const DWORD kWhence[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
  if (whence < 0 || whence > 2) return -1;
  int64_t now = -1;
  return move_to(handle_of(ctx), offset, kWhence[whence], &now) ? now : -1;
}

int64_t file_offset(void* ctx) { return file_seek(ctx, 0, 1); }

// A transfer at offset between two moves: the position is where it was.
template <typename Op>
long at_offset(void* ctx, int64_t offset, Op op) {
  int64_t was = file_offset(ctx);
  if (was < 0 || offset < 0 || file_seek(ctx, offset, 0) < 0) return -1;
  long r = op();
  int err = errno;
  if (file_seek(ctx, was, 0) < 0) return -1;
  errno = err;
  return r;
}

long file_pread(void* ctx, void* buf, size_t size, int64_t offset) {
  if (!size) return 0;
  if (!buf) return -1;
  return at_offset(ctx, offset, [&] { return file_read(ctx, buf, size); });
}

long file_pwrite(void* ctx, const void* buf, size_t size, int64_t offset) {
  if (!size) return 0;
  if (!buf) return -1;
  return at_offset(ctx, offset, [&] { return file_write(ctx, buf, size); });
}

long file_readv(void* ctx, const tb_iovec_t* list, size_t count) {
  return tb_file_vector_io(list, count, [ctx](const tb_iovec_t& v, long) {
    return file_read(ctx, v.data, v.size);
  });
}

long file_writev(void* ctx, const tb_iovec_t* list, size_t count) {
  return tb_file_vector_io(list, count, [ctx](const tb_iovec_t& v, long) {
    return file_write(ctx, v.data, v.size);
  });
}

long file_preadv(void* ctx, const tb_iovec_t* list, size_t count, int64_t offset) {
  return at_offset(ctx, offset, [&] { return file_readv(ctx, list, count); });
}

long file_pwritev(void* ctx, const tb_iovec_t* list, size_t count, int64_t offset) {
  return at_offset(ctx, offset, [&] { return file_writev(ctx, list, count); });
}

int64_t file_writef(void* ctx, tb_file_ref_t src, int64_t offset, int64_t size) {
  return tb_file_copy_from(src, offset, size, [ctx](const char* buf, size_t n) {
    return write_all(handle_of(ctx), buf, n);
  });
}

int file_sync(void* ctx) { return FlushFileBuffers(handle_of(ctx)) ? 1 : tb_win_fail(); }

// The position stays at the new length, as callers of truncate expect.
int file_truncate(void* ctx, int64_t length) {
  if (length < 0) return 0;
  HANDLE h = handle_of(ctx);
  return move_to(h, length, FILE_BEGIN, nullptr) && (SetEndOfFile(h) || tb_win_fail());
}

int64_t file_size(void* ctx) {
  auto* f = static_cast<win_file*>(ctx);
  if (f->disk) {
    // Raw disks and volumes answer here; regular files do not.
    GET_LENGTH_INFORMATION len{};
    DWORD got = 0;
    if (DeviceIoControl(f->h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &len, sizeof len, &got,
                        nullptr))
      return len.Length.QuadPart;
  }
  auto size_of = tb_kernel32()->GetFileSizeEx;
  if (!size_of) return 0;
  LARGE_INTEGER size;
  if (!size_of(f->h, &size)) return tb_win_fail(), -1;
  return size.QuadPart;
}

// Sector size: the disk driver's geometry, else the smallest read from the
// current position that comes back whole, else 512; 512 for what is not a
// disk.
int32_t sector_bytes(win_file* f) {
  if (!f->disk) return 512;
  DISK_GEOMETRY_EX gx{};
  DWORD got = 0;
  if (DeviceIoControl(f->h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &gx, sizeof gx, &got,
                      nullptr) &&
      gx.Geometry.BytesPerSector > 0 && gx.Geometry.BytesPerSector <= 0x1000000)
    return static_cast<int32_t>(gx.Geometry.BytesPerSector);
  DISK_GEOMETRY g{};
  if (DeviceIoControl(f->h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got,
                      nullptr) &&
      g.BytesPerSector > 0 && g.BytesPerSector <= 0x1000000)
    return static_cast<int32_t>(g.BytesPerSector);
  // The probe reads at the current position and puts it back: callers ask
  // this between reads of a copy.
  int64_t at = file_offset(f);
  if (at < 0) return 512;
  alignas(4096) static thread_local char buf[4096];
  int32_t found = 512;
  for (int n : {512, 1024, 2048, 4096}) {
    bool whole = read_some(f->h, buf, static_cast<size_t>(n)) == n;
    if (file_seek(f, at, 0) != at) break;
    if (whole) {
      found = n;
      break;
    }
  }
  return found;
}

// No writeback hint (TB_FILE_CTRL_WRITEBACK answers 0): FlushFileBuffers
// has no form for a part of a file, so the final sync writes it all.
int file_ctrl(void* ctx, int code, void* arg, size_t arg_size) {
  return tb_file_local_ctrl(code, arg, arg_size, [ctx](tb_file_devinfo* info) {
    info->offset = file_offset(ctx);
    info->size = file_size(ctx);
    info->sector_bytes = sector_bytes(static_cast<win_file*>(ctx));
  });
}

}  // namespace

long tb_file_sys_stdin_read(void* buf, size_t size) {
  return read_some(GetStdHandle(STD_INPUT_HANDLE), buf, size);
}

long tb_file_sys_stdout_write(const void* buf, size_t size) {
  return write_all(GetStdHandle(STD_OUTPUT_HANDLE), buf, size);
}

// Consoles have nothing to flush; only a real failure counts.
int tb_file_sys_stdout_sync() {
  if (FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE))) return 1;
  DWORD e = GetLastError();
  return e == ERROR_INVALID_HANDLE || e == ERROR_INVALID_FUNCTION ? 1 : tb_win_fail();
}

// The file layer's own handles already read what the disk holds; a second,
// unbuffered path is not offered here (the caller keeps its read).
long tb_file_sys_read_direct(void*, void*, size_t, int64_t) { return TB_FILE_NO_DIRECT; }

int tb_file_sys_kind(const char* name) {
  std::vector<wchar_t> wide;
  if (!wide_path(name, &wide)) return -1;
  DWORD attr = GetFileAttributesW(wide.data());
  if (attr == INVALID_FILE_ATTRIBUTES) return is_raw_device(name) ? 0 : -1;
  return (attr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ? 0 : 1;
}

int tb_file_sys_rename(const char* from, const char* to) {
  std::vector<wchar_t> a, b;
  if (!wide_path(from, &a) || !wide_path(to, &b)) return -1;
  // Replaces to in one step, and lands on the disk before the call returns.
  return MoveFileExW(a.data(), b.data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : (tb_win_fail(), -1);
}

const tb_file_driver tb_file_driver_file = {
    "file",       file_open,    file_close,   file_read,   file_write,   file_pread,
    file_pwrite,  file_readv,   file_writev,  file_writef, file_preadv,  file_pwritev,
    file_sync,    file_truncate, file_seek,   file_offset, file_size,    file_ctrl,
};


// Whole disks have their own names on Windows: nothing to point elsewhere.
void tb_file_block_roots_set(const char*, const char*) {}

bool tb_file_system_path(const char* path, char* out, size_t size) {
  char name[TB_PATH_MAXN], drv[16];
  if (!out || !tb_file_device_name(path, name, sizeof name, drv, sizeof drv)) {
    if (!out) errno = EINVAL;
    return false;
  }
  std::string sys;
  if (std::strcmp(drv, "file") == 0) {
    if (!system_path(name, &sys)) return false;
  } else if (std::strcmp(drv, "file_null") == 0) {
    sys = "NUL";
  } else if (std::strcmp(drv, "file_stdin") == 0) {
    sys = "CONIN$";
  } else if (std::strcmp(drv, "file_stdout") == 0) {
    sys = "CONOUT$";
  } else if (std::strncmp(drv, "file_", 5) == 0) {
    sys = name;  // no system device: a name that holds no file
  } else {
    errno = EINVAL;  // a remote name
    return false;
  }
  if (sys.size() >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(out, sys.c_str(), sys.size() + 1);
  return true;
}
