// The file API: device naming, the driver table and the dispatch of every
// tb_file_* call to the driver of its handle, plus the drivers that need no
// system call (null sink, zero source, random source).
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "os/os_log.h"
#include "platform/file_driver.h"
#include "tb_file.h"
#include "tb_path.h"
#include "tb_url.h"

#define KR_LOG_SRC "src\\lib\\libbase\\platform\\file"

struct tb_file_s {
  const tb_file_driver* driver;
  void* ctx;
};

namespace {

// --- drivers without a device --------------------------------------------

// Any non-null context will do for these drivers; they keep no state.
char g_dummy_ctx;

void* dummy_open(const char*, int) { return &g_dummy_ctx; }

long null_write(void*, const void*, size_t size) { return static_cast<long>(size); }

long zero_read(void*, void* buf, size_t size) {
  if (!buf) return -1;
  std::memset(buf, 0, size);
  return static_cast<long>(size);
}

// splitmix64 over one process-wide counter: lock-free, so concurrent readers
// never share a half-updated state.
uint32_t random_u32() {
  static std::atomic<uint64_t> state{static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()) ^ 0x5deece66dULL};
  uint64_t z = state.fetch_add(0x9e3779b97f4a7c15ULL, std::memory_order_relaxed) +
               0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return static_cast<uint32_t>(z ^ (z >> 31));
}

long random_read(void*, void* buf, size_t size) {
  if (!buf) return -1;
  auto* p = static_cast<unsigned char*>(buf);
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    uint32_t v = random_u32();
    std::memcpy(p + i, &v, 4);
  }
  if (i < size) {
    uint32_t v = random_u32();
    std::memcpy(p + i, &v, size - i);
  }
  return static_cast<long>(size);
}

const tb_file_driver kNull = {
    "file_null", dummy_open, tb_file_stub_close, nullptr, null_write, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, tb_file_stub_one, tb_file_stub_truncate, tb_file_stub_seek, tb_file_stub_zero, tb_file_stub_zero,
    tb_file_stub_ctrl,
};
const tb_file_driver kZero = {
    "file_zero", dummy_open, tb_file_stub_close, zero_read, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, tb_file_stub_seek, tb_file_stub_zero, tb_file_stub_zero,
    tb_file_stub_ctrl,
};
const tb_file_driver kRandom = {
    "file_random", dummy_open, tb_file_stub_close, random_read, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, tb_file_stub_seek, tb_file_stub_zero, tb_file_stub_zero,
    tb_file_stub_ctrl,
};

// --- standard input and output --------------------------------------------

char g_std_ctx;

void* std_open(const char*, int) { return &g_std_ctx; }

long stdin_read(void*, void* buf, size_t size) {
  if (!size) return 0;
  if (!buf) return -1;
  return tb_file_sys_stdin_read(buf, size);
}

long stdout_write(void*, const void* buf, size_t size) {
  if (!size) return 0;
  if (!buf) return -1;
  return tb_file_sys_stdout_write(buf, size);
}

int stdout_sync(void*) { return tb_file_sys_stdout_sync(); }

// --- the driver table ----------------------------------------------------

// The seventh slot: claimed once, then published for readers.
std::atomic<bool> g_slot_claimed{false};
tb_file_driver g_slot_record;
std::atomic<const tb_file_driver*> g_slot{nullptr};

const tb_file_driver* find_driver(const char* name) {
  const tb_file_driver* const table[] = {
      &tb_file_driver_file, &tb_file_driver_stdout, &tb_file_driver_stdin, &kNull,
      &kZero,               &kRandom,               g_slot.load(std::memory_order_acquire),
  };
  for (const tb_file_driver* d : table)
    if (d && d->name && std::strcmp(d->name, name) == 0) return d;
  return table[0];
}

bool starts_with_ci(const std::string& s, const char* prefix) {
  return tb_path_prefix_ci(s.c_str(), prefix);
}

void copy_cut(char* out, size_t size, const char* text) {
  if (!out || !size) return;
  size_t n = strnlen(text, size - 1);
  std::memcpy(out, text, n);
  out[n] = 0;
}

}  // namespace

int tb_file_stub_ctrl(void*, int code, void* arg, size_t arg_size) {
  if (!arg) return 0;
  if (code == TB_FILE_CTRL_DEVINFO) {
    if (arg_size < sizeof(tb_file_devinfo)) return 0;
    auto* info = static_cast<tb_file_devinfo*>(arg);
    info->ioerr = IOERR_NONE;
    info->size = 0;
    info->offset = 0;
    info->sector_bytes = 512;
    return 1;
  }
  if (code == TB_FILE_CTRL_IOERR) {
    if (arg_size < sizeof(int32_t)) return 0;
    *static_cast<int32_t*>(arg) = IOERR_NONE;
    return 1;
  }
  return 0;
}

bool tb_file_device_name(const char* path, char* out, size_t out_size, char* driver,
                         size_t driver_size) {
  if (!path) {
    errno = EINVAL;
    return false;
  }
  if (strnlen(path, TB_PATH_MAXN) >= TB_PATH_MAXN) {
    errno = ENAMETOOLONG;
    return false;
  }
  // URLs keep their syntax: "\" is a separator in them, as in the parser.
  std::string slashed(path);
  for (char& c : slashed)
    if (c == '\\') c = '/';

  std::string name;
  const char* drv = "file";
  if (starts_with_ci(slashed, "krp://") || starts_with_ci(slashed, "krps://")) {
    // The remote driver parses the name itself, with "\\" separators.
    name = path;
    for (char& c : name)
      if (c == '/') c = '\\';
    drv = "krp";
  } else if (starts_with_ci(slashed, "file://")) {
    // One file or none: a query would be dropped from the name. The path
    // is a URL's: its percent escapes are the bytes of the name.
    name = slashed.substr(7);
    if (name.empty() || name.find('?') != std::string::npos || !tb_path_percent_decode(&name)) {
      errno = EINVAL;
      return false;
    }
    if (name[0] != '/') name.insert(0, "/");
  } else if (!tb_path_local_name(path, &name)) {
    return false;
  }

  if (std::strcmp(drv, "krp") != 0) {
    if (tb_path_disk_form(name.c_str())) {
      name = "\\\\.\\PhysicalDrive" + name.substr(9);
    } else if (tb_path_device_form(name.c_str())) {
      // "\dev\null" or "/dev/null", any letter case: the driver of the last part.
      static const struct {
        const char* last;
        const char* driver;
      } kSpecial[] = {{"stdin", "file_stdin"},
                      {"stdout", "file_stdout"},
                      {"null", "file_null"},
                      {"zero", "file_zero"},
                      {"random", "file_random"}};
      for (const auto& sp : kSpecial)
        if (tb_path_equal_ci(name.c_str() + 5, sp.last)) drv = sp.driver;
    }
  }
  if (!out || name.size() >= out_size) {  // a cut name would be another file
    errno = ENAMETOOLONG;
    return false;
  }
  copy_cut(out, out_size, name.c_str());
  copy_cut(driver, driver_size, drv);
  return true;
}

tb_file_ref_t tb_file_init(const char* path, int mode) {
  if (!path) {
    errno = EINVAL;
    return nullptr;
  }
  char name[TB_PATH_MAXN];
  char drv[16];
  if (!tb_file_device_name(path, name, sizeof name, drv, sizeof drv)) return nullptr;
  char shown_path[TB_PATH_MAXN], shown_name[TB_PATH_MAXN];
  KR_LOGF(OS_LOG_DEBUG, "tb_file_init", "[%s] [%s] [%s]\n", tb_url_hide_secret(path, shown_path, sizeof shown_path),
          tb_url_hide_secret(name, shown_name, sizeof shown_name), drv);

  const tb_file_driver* d = find_driver(drv);
  auto* f = new (std::nothrow) tb_file_s{d, nullptr};
  if (!f) {
    errno = ENOMEM;
    return nullptr;
  }
  if (!d->open) {
    delete f;
    errno = ENOSYS;
    return nullptr;
  }
  f->ctx = d->open(name, mode);
  if (!f->ctx) {
    int err = errno;
    delete f;
    errno = err;
    return nullptr;
  }
  return f;
}

namespace {

// The device-named form of path when the local file driver serves it.
bool local_name(const char* path, char* name, size_t size) {
  char drv[16];
  if (!path || !tb_file_device_name(path, name, size, drv, sizeof drv)) return false;
  return std::strcmp(drv, "file") == 0 && std::strncmp(name, "\\\\.\\", 4) != 0;
}

}  // namespace

int tb_file_local_kind(const char* path) {
  char name[TB_PATH_MAXN];
  return local_name(path, name, sizeof name) ? tb_file_sys_kind(name) : -2;
}

int tb_file_rename(const char* from, const char* to) {
  char a[TB_PATH_MAXN], b[TB_PATH_MAXN];
  if (!local_name(from, a, sizeof a) || !local_name(to, b, sizeof b)) {
    errno = EINVAL;
    return -1;
  }
  return tb_file_sys_rename(a, b);
}

int tb_file_register_driver(const tb_file_driver* driver) {
  if (!driver) return -1;
  if (g_slot_claimed.exchange(true)) return -1;
  g_slot_record = *driver;
  g_slot.store(&g_slot_record, std::memory_order_release);
  return 0;
}

int tb_file_close(tb_file_ref_t file) {
  if (!file) return 0;
  int r = file->driver->close ? file->driver->close(file->ctx) : 0;
  int err = errno;
  delete file;
  errno = err;
  return r;
}

// Each call goes to the driver's operation; an absent one answers -1 (or 0
// for the operations that report success as non-zero).
#define TB_FILE_CALL(op, absent, ...)                       \
  do {                                                      \
    if (!file || !file->driver->op) return (absent);        \
    return file->driver->op(file->ctx __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

long tb_file_read(tb_file_ref_t file, void* buf, size_t size) { TB_FILE_CALL(read, -1, buf, size); }
long tb_file_write(tb_file_ref_t file, const void* buf, size_t size) {
  TB_FILE_CALL(write, -1, buf, size);
}
long tb_file_pread(tb_file_ref_t file, void* buf, size_t size, int64_t offset) {
  TB_FILE_CALL(pread, -1, buf, size, offset);
}
long tb_file_pwrite(tb_file_ref_t file, const void* buf, size_t size, int64_t offset) {
  TB_FILE_CALL(pwrite, -1, buf, size, offset);
}
long tb_file_readv(tb_file_ref_t file, const tb_iovec_t* list, size_t count) {
  TB_FILE_CALL(readv, -1, list, count);
}
long tb_file_writev(tb_file_ref_t file, const tb_iovec_t* list, size_t count) {
  TB_FILE_CALL(writev, -1, list, count);
}
int64_t tb_file_writef(tb_file_ref_t file, tb_file_ref_t src, int64_t offset, int64_t size) {
  TB_FILE_CALL(writef, -1, src, offset, size);
}
long tb_file_preadv(tb_file_ref_t file, const tb_iovec_t* list, size_t count, int64_t offset) {
  TB_FILE_CALL(preadv, -1, list, count, offset);
}
long tb_file_pwritev(tb_file_ref_t file, const tb_iovec_t* list, size_t count, int64_t offset) {
  TB_FILE_CALL(pwritev, -1, list, count, offset);
}
int tb_file_sync(tb_file_ref_t file) { TB_FILE_CALL(sync, 0); }
int tb_file_truncate(tb_file_ref_t file, int64_t length) { TB_FILE_CALL(truncate, 0, length); }
int64_t tb_file_seek(tb_file_ref_t file, int64_t offset, int whence) {
  TB_FILE_CALL(seek, -1, offset, whence);
}
int64_t tb_file_offset(tb_file_ref_t file) { TB_FILE_CALL(offset, -1); }
int64_t tb_file_size(tb_file_ref_t file) { TB_FILE_CALL(size, -1); }
int tb_file_ctrl(tb_file_ref_t file, int code, void* arg, size_t arg_size) {
  TB_FILE_CALL(ctrl, 0, code, arg, arg_size);
}

// Only the local file driver reaches a system cache to go around; a
// registered driver never sees this request (the remote one would send an
// unknown control code to the device).
long tb_file_read_direct(tb_file_ref_t file, void* buf, size_t size, int64_t offset) {
  if (!file || file->driver != &tb_file_driver_file) return TB_FILE_NO_DIRECT;
  return tb_file_sys_read_direct(file->ctx, buf, size, offset);
}

int tb_file_stub_close(void*) { return 1; }
int tb_file_stub_one(void*) { return 1; }
int tb_file_stub_truncate(void*, int64_t) { return 1; }
int64_t tb_file_stub_seek(void*, int64_t, int) { return 0; }
int64_t tb_file_stub_zero(void*) { return 0; }

int tb_file_ioerr_class(int err) {
  switch (err) {
    case 0:
      return IOERR_NONE;
    case EIO:
      return IOERR_DATA;
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return IOERR_GONE;
    default:
      return IOERR_OTHER;
  }
}

const tb_file_driver tb_file_driver_stdout = {
    "file_stdout", std_open, tb_file_stub_close, nullptr, stdout_write, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, stdout_sync, tb_file_stub_truncate,
    tb_file_stub_seek, tb_file_stub_zero, tb_file_stub_zero, tb_file_stub_ctrl,
};

const tb_file_driver tb_file_driver_stdin = {
    "file_stdin", std_open, tb_file_stub_close, stdin_read, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, tb_file_stub_one, tb_file_stub_truncate,
    tb_file_stub_seek, tb_file_stub_zero, tb_file_stub_zero, tb_file_stub_ctrl,
};
