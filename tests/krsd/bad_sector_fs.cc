// A file system with one file, "disk", whose bytes are those of a backing
// file and whose reads fail with EIO wherever they touch a bad 512-byte
// sector. A loop device over "disk" is a block device with bad sectors, as
// far as the kernel's block and cache layers can tell: the fault source for
// tests where nothing lower (device mapper, SCSI debug) is at hand.
//
//   krii_bad_sector_fs BACKING MOUNTPOINT [BAD_OFFSET...]
//
// Runs in the foreground until SIGTERM, then unmounts.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int g_backing = -1;
off_t g_size = 0;
std::vector<off_t> g_bad;  // sector starts

bool is_disk(const char* path) { return std::strcmp(path, "/disk") == 0; }

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (!is_disk(path)) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = g_size;
  return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
  if (!is_disk(path)) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  // Reads reach this process at the offsets and sizes asked, not in the
  // pages of a cache of this file system's own.
  fi->direct_io = 1;
  return 0;
}

int fs_read(const char*, char* buf, size_t size, off_t offset, fuse_file_info*) {
  for (off_t bad : g_bad)
    if (bad < offset + static_cast<off_t>(size) && bad + 512 > offset) return -EIO;
  const ssize_t r = pread(g_backing, buf, size, offset);
  return r < 0 ? -errno : static_cast<int>(r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  g_backing = open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (g_backing < 0 || fstat(g_backing, &st) != 0) return 1;
  g_size = st.st_size;
  for (int i = 3; i < argc; ++i) g_bad.push_back(std::atoll(argv[i]) / 512 * 512);
  fuse_operations ops{};
  ops.getattr = fs_getattr;
  ops.open = fs_open;
  ops.read = fs_read;
  char foreground[] = "-f", single[] = "-s";
  char* args[] = {argv[0], foreground, single, argv[2], nullptr};
  return fuse_main(4, args, &ops, nullptr);
}
