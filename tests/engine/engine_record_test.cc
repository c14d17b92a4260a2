// The job's record: the resume check of the image prefix against the
// sidecar, the whole-image digests after it, verification, and the
// sidecar's parser. Pieces of 1 MiB keep the images small.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "dd_record.h"
#include "dd_sidecar.h"
#include "dd_verify.h"
#include "engine_fixture.h"
#include "engine_job.h"
#include "krdd.h"
#include "krsd_ui.h"
#include "tb_init.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

class RecordTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tb_init(nullptr, nullptr, 0, 0); }
  void SetUp() override {
    kt::log_capture_start();
    krsd_ui_set(nullptr);
    dd_piece_size_set(kMiB);
    data_ = kt::pattern(5 * kMiB + 12345, 7);
    kt::write_file(src_, data_);
  }
  void TearDown() override { dd_piece_size_set(0); }

  // An image of the first part bytes, made by a job of its own: its sidecar
  // holds the records of 1, 2 and 3 MiB and of its end.
  void partial_image(size_t part) {
    const std::string head = tmp_.path("head");
    kt::write_file(head, data_.substr(0, part));
    ASSERT_EQ(kt::run_job(head, img_, 0).result, DD_DONE) << kt::log_dump();
    kt::log_clear();
  }

  kt::TempDir tmp_;
  std::string src_ = tmp_.path("device");
  std::string img_ = tmp_.path("phone.dd");
  std::string side_ = img_ + ".krii";
  std::string data_;
};

void change_byte(const std::string& path, size_t at) {
  std::string s = kt::read_file(path);
  s[at] = static_cast<char>(s[at] ^ 0x5a);
  kt::write_file(path, s);
}

// Everything but the last record: what a kill leaves behind.
void drop_last_record(const std::string& path) {
  std::string s = kt::read_file(path);
  s.erase(s.rfind('\n', s.size() - 2) + 1);
  kt::write_file(path, s);
}

TEST_F(RecordTest, ResumeChecksThePrefixAgainstTheSidecar) {
  const size_t part = 3 * kMiB + 524288;
  struct Case {
    const char* name;
    std::function<void()> damage;
    int result;
    std::string line;  // logged, exactly
  } cases[] = {
      {"untouched", [] {}, DD_DONE, "已有数据 3670016 (3.5M) 与记录一致\n"},
      {"killed before the last record", [this] { drop_last_record(side_); }, DD_DONE,
       "已有数据 0 - 3145728 与记录一致; 3145728 - 3670016 无记录, 未校验\n"},
      {"written by an older version", [this] { std::remove(side_.c_str()); }, DD_DONE,
       "已有数据 3670016 (3.5M): not verified against a record\n"},
      {"a byte changed in piece 2", [this] { change_byte(img_, kMiB + 777); }, DD_FAILED,
       "[" + img_ + "] piece 2 bytes 1048576-2097152 differs from its record error\n"},
      {"cut inside piece 3", [this] { kt::write_file(img_, data_.substr(0, 2 * kMiB + 5)); },
       DD_FAILED, "[" + img_ + "] piece 3 bytes 2097152-3145728 differs from its record error\n"},
      {"sidecar damaged",
       [this] { kt::write_file(side_, dd_sidecar_header() + "1048576 xyz\n"); }, DD_FAILED,
       "[" + side_ + "] line 3 is not a record error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    partial_image(part);
    c.damage();
    const std::string before = kt::read_file(img_);
    auto o = kt::run_job(src_, img_, 1);
    EXPECT_EQ(o.result, c.result) << kt::log_dump();
    EXPECT_TRUE(kt::log_has(c.line)) << kt::log_dump();
    if (c.result != DD_DONE) {
      EXPECT_EQ(kt::read_file(img_), before) << "a refused resume leaves the image alone";
      continue;
    }
    EXPECT_EQ(kt::read_file(img_), data_);
    EXPECT_TRUE(kt::log_has("md5: " + kt::md5_hex(data_) + "\n")) << kt::log_dump();
    EXPECT_TRUE(kt::log_has("sha256: " + kt::sha256_hex(data_) + "\n"));
    // The finished image verifies against both its report and its pieces,
    // and one changed byte is found.
    EXPECT_EQ(dd_verify_image(img_), DD_VERIFY_SAME) << kt::log_dump();
    change_byte(img_, 4 * kMiB + 3);
    kt::log_clear();
    EXPECT_EQ(dd_verify_image(img_), DD_VERIFY_DIFFERS);
    EXPECT_TRUE(kt::log_has("[" + img_ + "] piece 5 bytes 4194304-5242880 differs from its record error\n"))
        << kt::log_dump();
  }
}

TEST_F(RecordTest, SidecarParser) {
  const std::string md5(32, 'a'), sha(64, 'b');
  const std::string h = dd_sidecar_header();
  struct Case {
    std::string text;
    size_t records;
    std::string error;
  } cases[] = {
      {h + "100 " + md5 + " " + sha + "\n200 " + md5 + " " + sha + "\n", 2, ""},
      {h + "100 " + md5 + " " + sha + "\n200 " + md5, 1, ""},  // unfinished append
      {h + "100 " + md5 + " " + sha + "\n100 " + md5 + " " + sha + "\n", 0,
       "line 4 does not follow the record before it"},
      {h + "0 " + md5 + " " + sha + "\n", 0, "line 3 is not a record"},
      {h + "100 " + md5 + "0 " + sha + "\n", 0, "line 3 is not a record"},
      {h + "-5 " + md5 + " " + sha + "\n", 0, "line 3 is not a record"},
      {"krii-pieces 2\n", 0, "not a piece record (first line)"},
      {"", 0, "not a piece record (empty)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    dd_sidecar_data d = dd_sidecar_parse(c.text);
    EXPECT_EQ(d.records.size(), c.records);
    EXPECT_EQ(d.error, c.error);
  }
}

}  // namespace
