// The cache as PuTTY's Windows tools keep it: values of the registry key
// HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys named
// "<type>@<port>:<host>", the host escaped as the tools escape a registry
// name (%XX for blanks, \ * ? %, what is not printable ASCII, and a leading
// dot).
#include <windows.h>

#include <cstdio>

#include "ssh_cache.h"

namespace {

std::string registry_host(const std::string& host) {
  std::string out;
  for (size_t i = 0; i < host.size(); ++i) {
    const auto c = static_cast<unsigned char>(host[i]);
    if (c == ' ' || c == '\\' || c == '*' || c == '?' || c == '%' || c < ' ' || c > '~' ||
        (c == '.' && i == 0)) {
      char esc[4];
      snprintf(esc, sizeof esc, "%%%02X", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> ssh_cached_key_types(const std::string& host, int port) {
  std::vector<std::string> types;
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\SimonTatham\\PuTTY\\SshHostKeys", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS)
    return types;
  const std::string place = "@" + std::to_string(port) + ":" + registry_host(host);
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD len = sizeof name;
    const LONG r = RegEnumValueA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) continue;
    const std::string value(name, len);
    const size_t at = value.find('@');
    if (at != std::string::npos && at > 0 && value.compare(at, std::string::npos, place) == 0)
      types.push_back(value.substr(0, at));
  }
  RegCloseKey(key);
  return types;
}
