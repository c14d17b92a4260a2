// The plain-path helpers: absolute test, joining with the current
// directory, in-place normalising (POSIX results carry "/").
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "kit.h"
#include "tb_url.h"

namespace {

std::string normalise(const char* text, size_t size = 4096) {
  char buf[4096];
  std::strncpy(buf, text, sizeof buf - 1);
  buf[sizeof buf - 1] = 0;
  size_t n = tb_path_normalise(buf, size);
  return n ? std::string(buf) + "|" + std::to_string(n) : "(fail)";
}

TEST(PathAbsolute, Classification) {
  for (const char* t : {"/x", "~", "~/a", "c:", "Z:\\x", "\\\\.\\PhysicalDrive0", "\\dev\\x",
                        "/dev/null"})
    EXPECT_TRUE(tb_path_is_absolute(t)) << t;
  for (const char* t : {"", "x", "./x", "..\\x", "\\x", "1:", "file:x"})
    EXPECT_FALSE(tb_path_is_absolute(t)) << t;
  EXPECT_FALSE(tb_path_is_absolute(nullptr));
}

TEST(PathNormalise, SeparatorsDrivesAndPrefix) {
  EXPECT_EQ(normalise("\\\\srv\\\\share/f\\"), "/srv/share/f|12");
  EXPECT_EQ(normalise("file:///data//x"), "/data/x|7");
  EXPECT_EQ(normalise("FILE:a"), "a|1");
  EXPECT_EQ(normalise("d:\\img\\\\a.img"), "D:/img/a.img|12");
  EXPECT_EQ(normalise("e:"), "E:/|3");
  EXPECT_EQ(normalise("e:\\"), "E:/|3");
  EXPECT_EQ(normalise("/"), "/|1");
  EXPECT_EQ(normalise("a b/./c"), "a b/./c|7");  // no component rules here
  EXPECT_EQ(normalise(""), "(fail)");            // nothing left is length 0
}

TEST(PathNormalise, RefusesWhatDoesNotFit) {
  char buf[8] = "e:";
  EXPECT_EQ(tb_path_normalise(buf, 3), 0u);  // "E:/" needs 4 bytes
  EXPECT_STREQ(buf, "e:");                   // left as it was
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(tb_path_normalise(unterminated, sizeof unterminated), 0u);
  EXPECT_EQ(tb_path_normalise(nullptr, 10), 0u);
}

TEST(PathNormalise, TildeNeedsTheApplicationDataFolder) {
  const char* old = getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", "/tmp/appdata", 1);
  EXPECT_EQ(normalise("~\\krii\\a.img"), "/tmp/appdata/krii/a.img|23");
  if (old)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

class PathCwd : public kit::TempCwdTest {
 protected:
  std::string absolute(const char* text, size_t size = 4096) {
    char buf[4096];
    return tb_path_absolute(text, buf, size) ? buf : "(fail)";
  }
};

TEST_F(PathCwd, RelativeComponents) {
  EXPECT_EQ(absolute("a.img"), dir_ + "/a.img");
  EXPECT_EQ(absolute(".\\a\\\\b\\.\\c"), dir_ + "/a/b/c");
  EXPECT_EQ(absolute("a/../b"), dir_ + "/b");
  // ".." never climbs above the root.
  std::string ups;
  for (int i = 0; i < 40; ++i) ups += "../";
  EXPECT_EQ(absolute((ups + "etc").c_str()), "/etc");
  EXPECT_EQ(absolute(ups.c_str()), "/");
}

TEST_F(PathCwd, AbsoluteTextsAndDeviceNames) {
  EXPECT_EQ(absolute("/data//x/"), "/data/x");
  EXPECT_EQ(absolute("D:\\x\\\\y"), "D:/x/y");
  // Device names are used as they are.
  EXPECT_EQ(absolute("\\\\.\\PhysicalDrive3"), "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(absolute("\\dev\\\\disk1"), "\\dev\\\\disk1");
}

TEST_F(PathCwd, BoundsAreChecked) {
  EXPECT_EQ(absolute("a.img", dir_.size() + 6), "(fail)");  // no room for the NUL
  EXPECT_EQ(absolute("a.img", dir_.size() + 7), dir_ + "/a.img");
  EXPECT_EQ(absolute(std::string(4095, 'x').c_str()), "(fail)");
  EXPECT_EQ(absolute(("/" + std::string(5000, 'x')).c_str()), "(fail)");
  char buf[8];
  EXPECT_EQ(tb_path_absolute(nullptr, buf, sizeof buf), nullptr);
  EXPECT_EQ(tb_path_absolute("x", nullptr, 8), nullptr);
}

}  // namespace
