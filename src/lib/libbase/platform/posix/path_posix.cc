// Local names on POSIX. A name is the file it spells: relative names are
// joined to the current folder and nothing else is rewritten. Backslashes,
// colons, "?", "#", "%" and "&" are ordinary characters of a file name here;
// only the exact device forms of the file layer keep their meaning.
#include <cerrno>
#include <cstring>
#include <string>

#include "tb_init.h"
#include "tb_path.h"

const char TB_PATH_SEP = '/';

bool tb_path_local_name(const char* text, std::string* out) {
  size_t len = 0;
  if (!tb_path_name_length(text, &len)) return false;
  if (text[0] == '/' || tb_path_device_form(text)) {
    out->assign(text, len);
    return true;
  }
  char cwd[TB_PATH_MAXN];
  errno = 0;
  const size_t n = tb_directory_current(cwd, sizeof cwd);
  if (!n || cwd[0] != '/') {
    if (!errno) errno = ENOENT;
    return false;
  }
  std::string name(cwd, n);
  if (name.back() != '/') name += '/';
  name.append(text, len);
  if (name.size() >= TB_PATH_MAXN) {
    errno = ENAMETOOLONG;
    return false;
  }
  *out = std::move(name);
  return true;
}
