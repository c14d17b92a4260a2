// Allocation wrappers that must never hand back null, and the trim.
#include "os/os_safe.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kit.h"
#include "os/os_log.h"

namespace {

TEST(SafeAlloc, MallocZeroFillsAndReallocKeepsContents) {
  auto* p = static_cast<unsigned char*>(safe_malloc(16));
  for (int i = 0; i < 16; i++) EXPECT_EQ(p[i], 0) << i;
  memcpy(p, "0123456789abcdef", 16);
  p = static_cast<unsigned char*>(safe_realloc(p, 1 << 20));
  EXPECT_EQ(memcmp(p, "0123456789abcdef", 16), 0);
  p = static_cast<unsigned char*>(safe_realloc(p, 4));
  EXPECT_EQ(memcmp(p, "0123", 4), 0);
  // Size 0 is a valid (tiny) block, not a failure.
  p = static_cast<unsigned char*>(safe_realloc(p, 0));
  EXPECT_NE(p, nullptr);
  free(p);
  void* z = safe_malloc(0);
  EXPECT_NE(z, nullptr);
  free(z);
  void* r = safe_realloc(nullptr, 8);
  EXPECT_NE(r, nullptr);
  free(r);
}

TEST(SafeAlloc, StrdupCopies) {
  char* s = safe_strdup("镜像");
  EXPECT_STREQ(s, "镜像");
  free(s);
}

std::string g_alert_line;
int alert_cb(const char* line) {
  g_alert_line = line;
  return 0;
}
int info_cb(const char*) { return 0; }

class SafeDeathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pal_safe_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
    os_log_ctl(OS_LOG_SET_LEVEL, OS_LOG_DEBUG);
    os_log_ctl(OS_LOG_SET_PREFIX, OS_LOG_PREFIX_FUNC);
    ASSERT_EQ(os_log_ctl(OS_LOG_OPEN_FILE, path_.c_str()), 0);
    os_log_ctl(OS_LOG_SET_FILE, 1);
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(SafeDeathTest, StrdupOfNullReachesEverySinkAndExitsOne) {
  EXPECT_EXIT(
      {
        os_log_ctl(OS_LOG_SET_INFO_CALLBACK, &info_cb);
        os_log_ctl(OS_LOG_SET_ALERT_CALLBACK, &alert_cb);
        os_log_ctl(OS_LOG_SET_CONSOLE, 1);
        safe_strdup(nullptr);
      },
      ::testing::ExitedWithCode(1),
      "^safe_strdup\\(\\): safe_strdup called with NULL which would have crashed "
      "strdup\\. Bailing out\n$");
  EXPECT_EQ(kit::read_file(path_),
            "safe_strdup(): safe_strdup called with NULL which would have crashed strdup. "
            "Bailing out\n");
}

TEST_F(SafeDeathTest, FailedMallocNamesSizeAndReason) {
  EXPECT_EXIT(safe_malloc(-1), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(kit::read_file(path_),
            "safe_malloc(): Failed to malloc -1 bytes of memory: Cannot allocate memory.  "
            "Bailing out\n");
}

TEST_F(SafeDeathTest, FailedReallocNamesSize) {
  EXPECT_EXIT(safe_realloc(nullptr, -7), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(kit::read_file(path_),
            "safe_realloc(): Failed to realloc buffer to -7 bytes of memory: Cannot "
            "allocate memory. Bailing out\n");
}

TEST_F(SafeDeathTest, WrapperEndsTheProcessEvenWhenTheLineIsFiltered) {
  // A threshold below 2 drops the critical line; the wrapper must still not
  // return null to a caller that never checks.
  EXPECT_EXIT(
      {
        os_log_ctl(OS_LOG_SET_LEVEL, 1);
        safe_strdup(nullptr);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(kit::read_file(path_), "");
}

std::string trim(const char* s) {
  std::string buf(s);
  return os_strtrim(buf.data());
}

TEST(StrTrim, AsciiWhiteSpaceOnly) {
  EXPECT_EQ(trim("    "), "");
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim("\t ok \r\n"), "ok");
  EXPECT_EQ(trim("\v\fa b\f\v"), "a b");
  EXPECT_EQ(trim("x"), "x");
  // GBK text: lead and trail bytes are 0x80 and above and never white space,
  // even where a locale would call 0xA0 a space.
  EXPECT_EQ(trim("\xD6\xD0\xCE\xC4 "), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(trim(" \x85\xA0"), "\x85\xA0");
  EXPECT_EQ(trim("\xA0"), "\xA0");
  char buf[] = "  moved";
  EXPECT_EQ(os_strtrim(buf), buf);  // trimmed in place
  EXPECT_STREQ(buf, "moved");
  EXPECT_EQ(os_strtrim(nullptr), nullptr);
}

}  // namespace

// A text for a log is cut between characters: never half an escape or half
// of a UTF-8 character, and always terminated; what would break or reorder
// the lines on screen is escaped.
TEST(Printable, CutsOnlyBetweenCharacters) {
  struct Row {
    const char* text;
    size_t size;
    const char* shown;
  } rows[] = {
      {"a\tb\x7f", 16, "a\\tb\\x7f"},  {"abc\x01", 6, "abc"},       {"ab\xc3\xa9", 4, "ab"},
      {"ab\xc3\xa9", 5, "ab\xc3\xa9"}, {"\xe2\x82", 16, "\\xe2\\x82"}, {"x", 1, ""},
      // A paragraph separator, a right-to-left override; a dash beside them stays.
      {"\xe2\x80\xa9\xe2\x80\xae\xe2\x80\x94", 32, "\\xe2\\x80\\xa9\\xe2\\x80\\xae\xe2\x80\x94"},
  };
  for (const Row& r : rows) {
    char out[32];
    memset(out, 'z', sizeof out);
    os_printable_copy(out, r.size, r.text);
    EXPECT_STREQ(out, r.shown) << r.text << " in " << r.size;
  }
}
