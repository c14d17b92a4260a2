// The formatters pin the tool's rounding and wording: every example here is
// a text an examiner sees in the status line or the summary.
#include "os/os_human.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string size(uint64_t v, uint32_t d = 0) { return human_size(v, d); }

std::string speed(double x) {
  char buf[16];
  return human_speed(x, buf, sizeof buf);
}

std::string duration(int64_t s) {
  char buf[64];
  return human_duration(s, buf, sizeof buf);
}

TEST(HumanSize, AutomaticUnitsRoundOneDecimal) {
  EXPECT_EQ(size(0), "0");
  EXPECT_EQ(size(1023), "1023");
  EXPECT_EQ(size(1024), "1.0k");
  EXPECT_EQ(size(1536), "1.5k");
  EXPECT_EQ(size(102400), "100.0k");
  EXPECT_EQ(size(52428800), "50.0M");
  EXPECT_EQ(size(34359738368ULL), "32.0G");
}

TEST(HumanSize, RoundingCarryStaysInUnitAndTIsTheLast) {
  EXPECT_EQ(size(1048575), "1024.0k");
  EXPECT_EQ(size(1ULL << 50), "1024.0T");
  // The largest value still fits the 21-byte buffer.
  EXPECT_EQ(size(~0ULL), "16777216.0T");
}

TEST(HumanSize, DivisorGivesRoundedQuotient) {
  EXPECT_EQ(size(5000, 1000), "5");
  EXPECT_EQ(size(1499, 1000), "1");
  EXPECT_EQ(size(1500, 1000), "2");
  EXPECT_EQ(size(0, 1000), "0");
  // No overflow in the rounding near the top of the range.
  EXPECT_EQ(size(~0ULL, 2), "9223372036854775808");
}

TEST(HumanSpeed, ThresholdsAreStrict) {
  EXPECT_EQ(speed(1048576.0), "1024.0 KB/S");
  EXPECT_EQ(speed(1048577.0), "1.00 MB/S");
  EXPECT_EQ(speed(1024.0), "1024 B/S");
  EXPECT_EQ(speed(1536.0), "1.5 KB/S");
  EXPECT_EQ(speed(1073741824.0), "1024.00 MB/S");
  EXPECT_EQ(speed(2147483648.0), "2.00 GB/S");
  EXPECT_EQ(speed(0.0), "0 B/S");
}

TEST(HumanDuration, Examples) {
  EXPECT_EQ(duration(0), "0 second");
  EXPECT_EQ(duration(1), "1 second");
  EXPECT_EQ(duration(45), "45 seconds");
  EXPECT_EQ(duration(60), "1 minute");
  EXPECT_EQ(duration(200), "3 minutes");
  EXPECT_EQ(duration(3725), "1 hour 2 minutes");
  EXPECT_EQ(duration(7200), "2 hours 0 second");
  EXPECT_EQ(duration(86400), "1 day 0 second");
  EXPECT_EQ(duration(90061), "1 day 1 hour 1 minute");
  EXPECT_EQ(duration(2 * 86400 + 7), "2 days 7 seconds");
}

TEST(HumanDuration, NegativeGivesEmptyTextAndSmallBufferIsCut) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_STREQ(human_duration(-5, buf, sizeof buf), "");
  EXPECT_STREQ(human_duration(90061, buf, sizeof buf), "1 day 1");
}

TEST(ParseSize, SuffixesAndRejections) {
  EXPECT_EQ(parse_size("64k"), 65536);
  EXPECT_EQ(parse_size("1KB"), 1000);
  EXPECT_EQ(parse_size("1kb"), 1000);
  EXPECT_EQ(parse_size("1Kb"), 1000);
  EXPECT_EQ(parse_size("1K"), 1024);
  EXPECT_EQ(parse_size("3b"), 1536);
  EXPECT_EQ(parse_size("2m"), 2097152);
  EXPECT_EQ(parse_size("1GB"), 1000000000);
  EXPECT_EQ(parse_size("1T"), 1099511627776LL);
  EXPECT_EQ(parse_size("2w"), 4);
  EXPECT_EQ(parse_size("2kk"), 2 * 1024 * 1024);
  EXPECT_EQ(parse_size("10"), 10);
  EXPECT_EQ(parse_size("-5"), 0);
  EXPECT_EQ(parse_size("+5"), 0);
  EXPECT_EQ(parse_size(" 5"), 0);
  EXPECT_EQ(parse_size("7x"), 0);
  EXPECT_EQ(parse_size("k"), 0);
  EXPECT_EQ(parse_size(""), 0);
  EXPECT_EQ(parse_size(nullptr), 0);
}

TEST(ParseSize, OverflowIsNotASize) {
  EXPECT_EQ(parse_size("9223372036854775807"), 9223372036854775807LL);
  EXPECT_EQ(parse_size("9223372036854775808"), 0);
  EXPECT_EQ(parse_size("99999999999999999999999"), 0);
  EXPECT_EQ(parse_size("16777216T"), 0);
  EXPECT_EQ(parse_size("8388607T"), 8388607LL * 1099511627776LL);
}

TEST(ErrorText, ZeroIsOkOthersAreEnglishAndTrimmed) {
  char buf[256];
  EXPECT_STREQ(os_error_text(0, buf, sizeof buf), "ok");
  EXPECT_STREQ(os_error_text(ENOENT, buf, sizeof buf), "No such file or directory");
  EXPECT_STREQ(os_error_text(EIO, buf, sizeof buf), "Input/output error");
  char small[6];
  EXPECT_STREQ(os_error_text(ENOENT, small, sizeof small), "No su");
}

}  // namespace
