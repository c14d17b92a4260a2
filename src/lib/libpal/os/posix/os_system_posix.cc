// Temporary files of the capturing runner on POSIX: "kor" and six unique
// characters in $TMPDIR, else /tmp.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "os/os_pal_internal.h"

bool pal::temp_file_new(std::string* name, size_t max_dir) {
  const char* dir = getenv("TMPDIR");
  std::string base = (dir && *dir) ? dir : "/tmp";
  if (base.size() > max_dir) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (base.back() != '/') base += '/';
  std::string templ = base + "korXXXXXX";
  int fd = mkstemp(templ.data());
  if (fd < 0) return false;
  close(fd);
  *name = templ;
  return true;
}

void pal::temp_file_remove(const std::string& name) { unlink(name.c_str()); }
