// Local names on Windows: "/" and "\" are both separators, a bare drive
// ("E:") is its volume (\\.\E:), a name rooted without a drive is on the
// current drive, and relative names are joined to the current folder; the
// device forms of the file layer (\dev\..., \\.\...) stay as they are.
#include <cerrno>
#include <cstring>
#include <string>

#include "tb_init.h"
#include "tb_path.h"
#include "tb_url.h"

const char TB_PATH_SEP = '\\';

bool tb_path_local_name(const char* text, std::string* out) {
  size_t len = 0;
  if (!tb_path_name_length(text, &len)) return false;
  std::string name(text, len);
  for (char& c : name)
    if (c == '/') c = '\\';
  if (name.size() == 2 && tb_path_is_alpha(name[0]) && name[1] == ':') {
    *out = "\\\\.\\" + name;
    return true;
  }
  if (tb_path_device_form(name.c_str()) || name.rfind("\\\\.\\", 0) == 0) {
    *out = name;
    return true;
  }
  if (name[0] == '\\' && (name.size() < 2 || name[1] != '\\')) {
    char cwd[TB_PATH_MAXN];
    if (tb_directory_current(cwd, sizeof cwd) >= 2 && cwd[1] == ':') name.insert(0, cwd, 2);
  }
  char abs[TB_PATH_MAXN];
  errno = 0;
  if (!tb_path_absolute(name.c_str(), abs, sizeof abs)) {
    if (!errno) errno = ENAMETOOLONG;
    return false;
  }
  *out = abs;
  return true;
}
