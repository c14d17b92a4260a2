// Temporary files of the capturing runner on Windows: GetTempFileNameA in
// the user's temporary folder, prefix "korin" (the system keeps "kor").
#include <windows.h>

#include <cerrno>
#include <string>

#include "os/os_pal_internal.h"

bool pal::temp_file_new(std::string* name, size_t max_dir) {
  char dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > sizeof dir) {
    errno = ENOENT;
    return false;
  }
  if (n > max_dir) {
    errno = ENAMETOOLONG;
    return false;
  }
  char file[MAX_PATH + 1];
  // Unique number 0: the system picks a name that does not exist and
  // creates the file, so no other run can take it.
  if (GetTempFileNameA(dir, "korin", 0, file) == 0) {
    errno = EACCES;
    return false;
  }
  *name = file;
  return true;
}

void pal::temp_file_remove(const std::string& name) { DeleteFileA(name.c_str()); }
