// The command runner on Windows (under Wine in CI): exit codes through the
// command processor, captured output, and a time limit that ends the tool
// with the command processor, so that nothing it holds outlives the run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "os/os_system.h"

namespace fs = std::filesystem;

namespace {

// The runner's capture files ("kor*.tmp") in the temporary folder.
std::set<std::string> capture_files() {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    std::string n = e.path().filename().string();
    if (n.rfind("kor", 0) == 0) names.insert(n);
  }
  return names;
}

TEST(Runner, ExitCodesAndCapturedOutput) {
  const struct {
    const char* command;
    int code;
    const char* out;  // null: nothing printed
  } cases[] = {
      {"exit 3", 3, nullptr},
      // The processor echoes the blanks before the appended redirections;
      // the capture file is read as text.
      {"echo abc", 0, "abc  \n"},
      {"no-such-tool-here", 9009, nullptr},  // the processor's "not recognised"
  };
  for (const auto& c : cases) {
    char* out = nullptr;
    EXPECT_EQ(os_system_capture(c.command, 20000, &out, nullptr), c.code) << c.command;
    if (c.out) {
      ASSERT_NE(out, nullptr) << c.command;
      EXPECT_STREQ(out, c.out) << c.command;
    } else {
      EXPECT_EQ(out, nullptr) << c.command;
    }
    free(out);
  }
  char* out = nullptr;
  EXPECT_EQ(os_system_output("echo piped", 20000, &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "piped\r\n");
  free(out);
}

// ping waits a second between its echoes: a tool that runs for half a
// minute unless the time limit ends it. Its capture file can only be
// removed once it is gone.
TEST(Runner, TimeLimitEndsTheToolAndItsCaptureFiles) {
  const std::set<std::string> before = capture_files();
  EXPECT_EQ(os_system_capture("ping -n 30 127.0.0.1", 1000, nullptr, nullptr), 1);
  EXPECT_EQ(capture_files(), before);
}

}  // namespace
