// The host facts of the report on POSIX systems.
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <dirent.h>

#include "dd_report.h"

int64_t dd_report_now() { return static_cast<int64_t>(time(nullptr)); }

std::string dd_report_time_text(int64_t s) {
  const time_t t = static_cast<time_t>(s);
  struct tm local{};
  if (!localtime_r(&t, &local)) return "";
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  // %z gives +0800; the offset form of ISO 8601 has the colon.
  const long off = local.tm_gmtoff;
  const long a = off < 0 ? -off : off;
  char zone[48];
  snprintf(zone, sizeof zone, "%c%02ld:%02ld", off < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
  return std::string(text) + zone;
}

std::string dd_report_host() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string dd_report_user() {
  struct passwd pw{};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_name;
  const char* env = getenv("USER");
  return env ? env : std::to_string(geteuid());
}

// --- what the engine asks of the system ----------------------------------

#include <fcntl.h>
#include <iconv.h>
#include <linux/loop.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "dd_host.h"
#include "dd_text.h"

namespace {

// The character set the locale of the environment names ("zh_CN.GBK" ->
// "GBK"); the process's own locale is never switched for this.
std::string locale_charset() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = getenv(var);
    if (!v || !*v) continue;
    std::string s = v;
    const size_t dot = s.find('.');
    if (dot == std::string::npos) return "";
    s = s.substr(dot + 1);
    return s.substr(0, s.find('@'));
  }
  return "";
}

bool from_charset(std::string_view s, const std::string& charset, std::string* out) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buf(s.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(s.data());
  size_t in_left = s.size();
  char* o = buf.data();
  size_t o_left = buf.size();
  const bool ok = iconv(cd, &in, &in_left, &o, &o_left) != static_cast<size_t>(-1) && in_left == 0;
  iconv_close(cd);
  if (!ok) return false;
  buf.resize(buf.size() - o_left);
  *out = std::move(buf);
  return dd_utf8_valid(*out);
}

// The sysfs folder of block device dev ("" when there is none).
std::string sys_block_dir(dev_t dev) {
  char link[64];
  snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev), minor(dev));
  char real[4096];
  if (!realpath(link, real)) return "";
  return real;
}

bool read_line(const std::string& path, std::string* line) {
  std::ifstream f(path);
  if (!f || !std::getline(f, *line)) return false;
  return true;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The file that backs loop device dev, or one of its partitions.
bool loop_backing(dev_t dev, struct stat* backing) {
  std::string dir = sys_block_dir(dev);
  if (dir.empty()) return false;
  if (file_exists(dir + "/partition")) dir = dir.substr(0, dir.rfind('/'));
  std::string path;
  if (!read_line(dir + "/loop/backing_file", &path)) return false;
  return stat(path.c_str(), backing) == 0;
}

// Whether block device inner is outer, or lies on it: a partition of it, a
// mapping over it, or a loop device whose file is on a file system on it.
bool device_on(dev_t inner, dev_t outer, int depth) {
  if (inner == outer) return true;
  if (depth > 8) return false;
  const std::string dir = sys_block_dir(inner);
  if (dir.empty()) return false;
  auto dev_of = [](const std::string& sysdir, dev_t* d) {
    std::string text;
    unsigned ma, mi;
    if (!read_line(sysdir + "/dev", &text) || sscanf(text.c_str(), "%u:%u", &ma, &mi) != 2) return false;
    *d = makedev(ma, mi);
    return true;
  };
  dev_t d;
  if (file_exists(dir + "/partition") && dev_of(dir.substr(0, dir.rfind('/')), &d) &&
      device_on(d, outer, depth + 1))
    return true;
  if (DIR* slaves = opendir((dir + "/slaves").c_str())) {
    bool on = false;
    while (dirent* e = readdir(slaves)) {
      if (e->d_name[0] == '.') continue;
      if (dev_of(dir + "/slaves/" + e->d_name, &d) && device_on(d, outer, depth + 1)) {
        on = true;
        break;
      }
    }
    closedir(slaves);
    if (on) return true;
  }
  struct stat backing;
  return loop_backing(inner, &backing) && device_on(backing.st_dev, outer, depth + 1);
}

}  // namespace

dd_image_lock::~dd_image_lock() { release(); }

void dd_image_lock::release() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}

int dd_image_lock::acquire(const std::string& path, bool exclusive, bool create, bool* created,
                           std::string* error) {
  release();
  if (created) *created = false;
  int fd = -1;
  if (create) {
    fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd >= 0 && created) *created = true;
  }
  if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT && !create) return LOCKED;
    *error = "open [" + path + "] error [" + strerror(errno) + "]";
    return FAILED;
  }
  if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return BUSY;
    // A file system without locks guards nothing, and stops nothing.
    if (err == ENOLCK || err == EINVAL || err == ENOTSUP) return LOCKED;
    *error = "lock [" + path + "] error [" + strerror(err) + "]";
    return FAILED;
  }
  handle_ = fd;
  return LOCKED;
}

std::string dd_host_utf8(std::string_view text) {
  if (dd_utf8_valid(text)) return std::string(text);
  const std::string charset = locale_charset();
  std::string out;
  if (!charset.empty() && strcasecmp(charset.c_str(), "UTF-8") != 0 &&
      strcasecmp(charset.c_str(), "utf8") != 0 && from_charset(text, charset, &out))
    return out;
  return dd_utf8_escape(text, false);
}

int64_t dd_host_free_bytes(const std::string& path) {
  struct statvfs vs;
  std::string p = path;
  if (statvfs(p.c_str(), &vs) != 0) {
    const size_t slash = p.rfind('/');
    p = slash == 0 ? "/" : slash == std::string::npos ? "." : p.substr(0, slash);
    if (statvfs(p.c_str(), &vs) != 0) return -1;
  }
  return static_cast<int64_t>(vs.f_bavail) * static_cast<int64_t>(vs.f_frsize);
}

bool dd_host_image_in_source(const std::string& source, const std::string& image, std::string* why) {
  struct stat ss, si;
  if (stat(source.c_str(), &ss) != 0) return false;
  bool image_there = stat(image.c_str(), &si) == 0;
  if (image_there && ss.st_dev == si.st_dev && ss.st_ino == si.st_ino) {
    *why = "the image is the source itself";
    return true;
  }
  if (!S_ISBLK(ss.st_mode)) return false;
  if (image_there && S_ISBLK(si.st_mode)) {
    if (device_on(si.st_rdev, ss.st_rdev, 0) || device_on(ss.st_rdev, si.st_rdev, 0)) {
      *why = "the image device and the source overlap";
      return true;
    }
    return false;
  }
  struct stat backing;
  if (image_there && loop_backing(ss.st_rdev, &backing) && backing.st_dev == si.st_dev &&
      backing.st_ino == si.st_ino) {
    *why = "the image is the file behind the source loop device";
    return true;
  }
  // The file system the image is (or would be) written to.
  struct stat where = si;
  if (!image_there) {
    const size_t slash = image.rfind('/');
    const std::string folder = slash == 0 ? "/" : slash == std::string::npos ? "." : image.substr(0, slash);
    if (stat(folder.c_str(), &where) != 0) return false;
  }
  if (device_on(where.st_dev, ss.st_rdev, 0)) {
    *why = "the image would be written to a file system on the source";
    return true;
  }
  return false;
}

std::string dd_host_system() {
  struct utsname u {};
  if (uname(&u) != 0) return "Linux";
  return std::string(u.sysname) + " " + u.release;
}

dd_host_private_files::dd_host_private_files() {
  const mode_t old = umask(077);
  umask(old | 027);
  saved_ = old;
}

dd_host_private_files::~dd_host_private_files() { umask(static_cast<mode_t>(saved_)); }
