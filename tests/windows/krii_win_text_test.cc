// The Windows dialog's text conversions: UTF-8 texts and narrow names of
// the ANSI code page where they meet in a log line or a question, and the
// narrow names the engine opens.
#include <gtest/gtest.h>

#include <string>

#include "krii_win_text.h"

namespace {

std::string u8(const std::wstring& w) { return krii_utf8(w); }

TEST(KriiWinText, MixedLinesShowBothForms) {
  // "证据.img" and "取证" in code page 936; the second also reads as two
  // characters of two-byte UTF-8.
  const std::string gbk_name = "\xd6\xa4\xbe\xdd.img", gbk_pair = "\xc8\xa1\xd6\xa4";
  struct row {
    unsigned cp;
    std::string text;
    std::wstring shown;
  } rows[] = {
      {936, "开始镜像[krp://a/b] 到 [D:\\" + gbk_name + "]\n", L"开始镜像[krp://a/b] 到 [D:\\证据.img]\n"},
      {936, "open [" + gbk_pair + "] error", L"open [取证] error"},
      {936, "镜像报告: D:\\取证.img.txt", L"镜像报告: D:\\取证.img.txt"},
      {936, "\x81\x40!", L"丂!"},  // the second byte of a character is ASCII
      {1252, "caf\xe9 [caf\xc3\xa9]", L"café [café]"},
      {65001, "证据 caf\xc3\xa9", L"证据 café"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(u8(krii_wide_mixed(r.text, r.cp)), u8(r.shown));
  }
}

TEST(KriiWinText, NarrowNamesNeverNameAnotherFile) {
  struct row {
    std::wstring name;
    unsigned cp;
    bool spelt;
    std::string narrow;
  } rows[] = {
      {L"D:\\证据.img", 936, true, "D:\\\xd6\xa4\xbe\xdd.img"},
      {L"D:\\证据.img", 1252, false, "D:\\??.img"},
      // A best fit would turn "ā" into "a", another file.
      {L"D:\\\u0101.img", 1252, false, "D:\\?.img"},
      {L"D:\\café.img", 1252, true, "D:\\caf\xe9.img"},
      {L"D:\\证据.img", 65001, true, "D:\\证据.img"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(u8(r.name) + " in " + std::to_string(r.cp));
    std::string narrow;
    EXPECT_EQ(krii_narrow_from_wide(r.name, r.cp, &narrow), r.spelt);
    EXPECT_EQ(narrow, r.narrow);
    if (r.spelt) {
      EXPECT_EQ(krii_wide_from_narrow(narrow, r.cp), r.name);
    }
  }
}

}  // namespace
