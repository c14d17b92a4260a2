// The host facts of the report on POSIX systems.
#include <pwd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
