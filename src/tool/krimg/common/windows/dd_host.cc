// The host facts of the report on Windows.
#include <windows.h>

#include <cstdio>
#include <ctime>

#include "dd_report.h"

int64_t dd_report_now() { return static_cast<int64_t>(time(nullptr)); }

std::string dd_report_time_text(int64_t s) {
  const time_t t = static_cast<time_t>(s);
  struct tm local {}, utc{};
  if (localtime_s(&local, &t) != 0 || gmtime_s(&utc, &t) != 0) return "";
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  // The offset from the two broken-down times: the system keeps no field
  // for it (the ISO 8601 form has the colon).
  utc.tm_isdst = local.tm_isdst;
  const long off = static_cast<long>(difftime(mktime(&local), mktime(&utc)));
  const long a = off < 0 ? -off : off;
  char zone[48];
  snprintf(zone, sizeof zone, "%c%02ld:%02ld", off < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
  return std::string(text) + zone;
}

std::string dd_report_host() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
}

std::string dd_report_user() {
  char name[256] = "";
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? name : "";
}
