#include "tls_suites.h"

#include <cstring>
#include <string_view>

bool sd_tls_suite_allowed(const char* name, bool tls13) {
  if (!name || !*name) return false;
  static constexpr const char* kTls13[] = {"TLS13-CHACHA20-POLY1305-SHA256", "TLS13-AES128-GCM-SHA256",
                                           "TLS13-AES256-GCM-SHA384"};
  if (tls13)
    for (const char* s : kTls13)
      if (strcmp(name, s) == 0) return true;
  const std::string_view list(SD_TLS12_SUITES), want(name);
  for (size_t from = 0; from <= list.size();) {
    size_t to = list.find(':', from);
    if (to == std::string_view::npos) to = list.size();
    if (list.substr(from, to - from) == want) return true;
    from = to + 1;
  }
  return false;
}
