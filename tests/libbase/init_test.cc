// Start-up state, the once-only loader, library loading, the clock, text
// conversion, the folders and the trace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/os_log.h"
#include "tb_init.h"
#include "tb_ipaddr.h"

namespace {

TEST(TbInit, StateModeAndRestart) {
  // Fresh process: not started.
  EXPECT_EQ(tb_state(), TB_STATE_END);
  ASSERT_TRUE(tb_init(nullptr, nullptr, 0, 0));
  EXPECT_EQ(tb_state(), TB_STATE_OK);
  EXPECT_TRUE(tb_init(nullptr, nullptr, 0, 0));  // second call: true, nothing changes
  EXPECT_EQ(tb_state(), TB_STATE_OK);

  const tb_version_t* v = tb_version();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->major, 0);
  EXPECT_EQ(v->minor, 0);
  EXPECT_EQ(v->alter, 3);
  EXPECT_EQ(v->build, 0u);

  tb_exit();
  EXPECT_EQ(tb_state(), TB_STATE_END);
  tb_exit();  // not started: nothing to do
  EXPECT_EQ(tb_state(), TB_STATE_END);

  // This build accepts neither mode bit; the state still leaves "not
  // started", so the next call reports success without retrying.
  EXPECT_FALSE(tb_init(nullptr, nullptr, TB_MODE_DEBUG, 0));
  EXPECT_EQ(tb_state(), TB_STATE_OK);
  EXPECT_TRUE(tb_init(nullptr, nullptr, 0, 0));
  tb_exit();
  EXPECT_FALSE(tb_init(nullptr, nullptr, TB_MODE_SMALL, 0));
  EXPECT_TRUE(tb_init(nullptr, nullptr, 0, 0));

  // Even after that half-way start the DNS server list is there to read
  // (it is loaded on first use).
  tb_ipaddr_t servers[4];
  size_t n = tb_dns_servers(servers, 4);
  for (size_t i = 0; i < n && i < 4; ++i) EXPECT_EQ(servers[i].port, 53);
}

struct Table {
  int value = 0;
};
int g_loader_calls = 0;

bool loader_fails(void* table, void* priv) {
  ++g_loader_calls;
  return false;
}

bool loader_fills(void* table, void* priv) {
  ++g_loader_calls;
  static_cast<Table*>(table)->value = *static_cast<int*>(priv);
  return true;
}

TEST(LoadOnce, LoadsOnceAndMarksAFailure) {
  int state = TB_ONCE_NONE;
  Table table;
  int value = 42;
  g_loader_calls = 0;
  EXPECT_TRUE(tb_load_once(&state, &table, loader_fills, &value));
  EXPECT_EQ(table.value, 42);
  EXPECT_EQ(state, TB_ONCE_LOADED);
  value = 7;
  EXPECT_TRUE(tb_load_once(&state, &table, loader_fills, &value));
  EXPECT_EQ(table.value, 42);
  EXPECT_EQ(g_loader_calls, 1);

  // A failed load is not retried, and a later caller does not wait for it:
  // the state says "failed", not "loading".
  int failed = TB_ONCE_NONE;
  g_loader_calls = 0;
  EXPECT_FALSE(tb_load_once(&failed, &table, loader_fails, nullptr));
  EXPECT_EQ(failed, TB_ONCE_FAILED);
  EXPECT_FALSE(tb_load_once(&failed, &table, loader_fails, nullptr));
  EXPECT_FALSE(tb_load_once(&failed, &table, loader_fills, &value));
  EXPECT_EQ(g_loader_calls, 1);
  EXPECT_EQ(table.value, 42);

  EXPECT_FALSE(tb_load_once(nullptr, &table, loader_fills, &value));
  EXPECT_FALSE(tb_load_once(&state, &table, nullptr, &value));
}

TEST(Library, LoadAndResolve) {
  void* libc = tb_library_load("libc.so.6");
  ASSERT_NE(libc, nullptr);
  auto len = reinterpret_cast<size_t (*)(const char*)>(tb_library_symbol(libc, "strlen"));
  ASSERT_NE(len, nullptr);
  EXPECT_EQ(len("krii"), 4u);
  EXPECT_EQ(tb_library_symbol(libc, "no_such_symbol_in_libc_at_all"), nullptr);
  EXPECT_EQ(tb_library_symbol(libc, nullptr), nullptr);
  EXPECT_EQ(tb_library_symbol(nullptr, "strlen"), nullptr);

  EXPECT_EQ(tb_library_load("libno-such-library-krii.so"), nullptr);
  EXPECT_EQ(tb_library_load(nullptr), nullptr);
  EXPECT_EQ(tb_library_load(""), nullptr);
  EXPECT_EQ(tb_library_load("lib\xc3(.so"), nullptr);  // not valid text
  EXPECT_EQ(tb_library_load(std::string(5000, 'a').c_str()), nullptr);
}

TEST(Clock, MonotonicMilliseconds) {
  int64_t prev = tb_clock_ms();
  EXPECT_GT(prev, 0);
  for (int i = 0; i < 1000; ++i) {
    int64_t now = tb_clock_ms();
    ASSERT_GE(now, prev);
    prev = now;
  }
  // Milliseconds, not seconds or microseconds: a 200 ms sleep moves the
  // clock by about 200 (loose upper bound for a loaded machine).
  int64_t t0 = tb_clock_ms();
  tb_msleep(200);
  int64_t d = tb_clock_ms() - t0;
  EXPECT_GE(d, 199);
  EXPECT_LT(d, 20000);
  t0 = tb_clock_ms();
  tb_sleep(0);
  tb_msleep(0);
  EXPECT_GE(tb_clock_ms(), t0);
}

TEST(Text, RoundTripWithoutTouchingTheLocale) {
  std::string before = setlocale(LC_ALL, nullptr);
  const char* chinese = "镜像文件成功完成! 设备初始化完成 \U0001F600";
  wchar_t wide[64];
  long n = tb_text_to_wide(wide, chinese, 64);
  ASSERT_GT(n, 0);
  EXPECT_EQ(wide[0], static_cast<wchar_t>(0x955C));  // 镜
  EXPECT_EQ(wide[n - 1], static_cast<wchar_t>(0x1F600));
  EXPECT_EQ(wide[n], L'\0');
  char back[128];
  long m = tb_text_from_wide(back, wide, sizeof back);
  EXPECT_EQ(m, static_cast<long>(strlen(chinese)));
  EXPECT_STREQ(back, chinese);
  EXPECT_EQ(before, setlocale(LC_ALL, nullptr));

  // Room for exactly the text and its terminator, and one less.
  EXPECT_EQ(tb_text_to_wide(wide, chinese, static_cast<size_t>(n) + 1), n);
  EXPECT_EQ(tb_text_to_wide(wide, chinese, static_cast<size_t>(n)), -1);
  EXPECT_EQ(tb_text_from_wide(back, wide, static_cast<size_t>(m) + 1), m);
  EXPECT_EQ(tb_text_from_wide(back, wide, static_cast<size_t>(m)), -1);
  EXPECT_EQ(tb_text_to_wide(wide, "", 1), 0);
}

TEST(Text, MalformedTextIsRefused) {
  wchar_t wide[16];
  for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                          "\xe9\x95", "a\x80", "\xff", "\xf8\x88\x80\x80\x80"}) {
    EXPECT_EQ(tb_text_to_wide(wide, bad, 16), -1) << bad;
  }
  char text[16];
  const wchar_t surrogate[] = {0xD800, 0};
  const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
  const wchar_t negative[] = {static_cast<wchar_t>(-5), 0};
  EXPECT_EQ(tb_text_from_wide(text, surrogate, 16), -1);
  EXPECT_EQ(tb_text_from_wide(text, beyond, 16), -1);
  EXPECT_EQ(tb_text_from_wide(text, negative, 16), -1);
  EXPECT_EQ(tb_text_to_wide(nullptr, "a", 16), -1);
  EXPECT_EQ(tb_text_to_wide(wide, "a", 0), -1);
  EXPECT_EQ(tb_text_from_wide(text, nullptr, 16), -1);
}

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* v = getenv(name);
    had_ = v != nullptr;
    if (had_) value_ = v;
  }
  ~EnvGuard() {
    if (had_)
      setenv(name_, value_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string value_;
};

TEST(Directory, CurrentAndAppdata) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir("/tmp"), 0);
  char buf[4096];
  EXPECT_EQ(tb_directory_current(buf, sizeof buf), 4u);
  EXPECT_STREQ(buf, "/tmp");
  EXPECT_EQ(tb_directory_current(buf, 4), 0u);  // no room for the terminator
  ASSERT_EQ(chdir(old), 0);

  EnvGuard xdg("XDG_CONFIG_HOME"), home("HOME");
  setenv("XDG_CONFIG_HOME", "/srv/cfg", 1);
  EXPECT_EQ(tb_directory_appdata(buf, sizeof buf), 8u);
  EXPECT_STREQ(buf, "/srv/cfg");
  EXPECT_EQ(tb_directory_appdata(buf, 8), 0u);

  setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // invalid: ignored
  setenv("HOME", "/home/examiner/", 1);
  EXPECT_GT(tb_directory_appdata(buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "/home/examiner/.config");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/用户", 1);
  EXPECT_GT(tb_directory_appdata(buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "/home/用户/.config");
}

std::vector<std::string>* g_lines = nullptr;
int collect(const char* line) {
  if (g_lines) g_lines->push_back(line);
  return 0;
}

TEST(Trace, LevelsUpToInfoReachTheLog) {
  std::vector<std::string> lines;
  g_lines = &lines;
  os_log_ctl(OS_LOG_SET_CONSOLE, 0);
  os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_VERBOSE);
  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, collect);
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, collect);

  tb_trace(OS_LOG_INFO, "base", "init", "ready %d\n", 3);
  tb_trace(OS_LOG_ERR, "base", "heap", "broken\n");
  tb_trace(OS_LOG_DEBUG, "base", "heap", "detail\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[base]: [init]: ready 3\n");
  EXPECT_EQ(lines[1], "[base]: [heap]: broken\n");

  // Name lookup answers "localhost" from the layer's own resolver.
  lines.clear();
  ASSERT_TRUE(tb_init(nullptr, nullptr, 0, 0));
  tb_ipaddr_t a;
  tb_ipaddr_clear(&a);
  ASSERT_TRUE(tb_addrinfo_addr("LocalHost", &a));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "tb_dns_looker_done ==>\n");

  os_log_ctl(OS_LOG_SET_INFO_CALLBACK, static_cast<os_log_callback>(nullptr));
  os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, static_cast<os_log_callback>(nullptr));
  g_lines = nullptr;
}

}  // namespace
