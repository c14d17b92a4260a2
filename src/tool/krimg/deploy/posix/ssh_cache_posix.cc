// The cache file as PuTTY's Unix tools find it: $PUTTYSSHHOSTKEYS, else
// sshhostkeys in $PUTTYDIR, else in $XDG_CONFIG_HOME/putty (~/.config/putty)
// when that folder exists, else in ~/.putty. One line per key:
// "<type>@<port>:<host> <key>".
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "ssh_cache.h"

namespace {

std::string cache_file() {
  if (const char* file = getenv("PUTTYSSHHOSTKEYS")) return file;
  std::string dir;
  if (const char* d = getenv("PUTTYDIR")) {
    dir = d;
  } else {
    const char* home = getenv("HOME");
    if (!home) {
      const passwd* pw = getpwuid(getuid());
      home = pw && pw->pw_dir ? pw->pw_dir : "";
    }
    const char* xdg = getenv("XDG_CONFIG_HOME");
    dir = xdg && *xdg ? std::string(xdg) + "/putty" : std::string(home) + "/.config/putty";
    if (access(dir.c_str(), F_OK) != 0) dir = std::string(home) + "/.putty";
  }
  return dir + "/sshhostkeys";
}

}  // namespace

std::vector<std::string> ssh_cached_key_types(const std::string& host, int port) {
  std::vector<std::string> types;
  std::ifstream in(cache_file());
  const std::string place = "@" + std::to_string(port) + ":" + host + " ";
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(place);
    if (at != std::string::npos && at > 0 && line.find('@') == at) types.push_back(line.substr(0, at));
  }
  return types;
}
