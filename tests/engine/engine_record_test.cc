// The job's record: a resume continues only what its record vouches for,
// reads the rest of the image again and refuses another source; unreadable
// runs and reports survive every ending; a report of any content never
// breaks a job or a verification. Pieces of 1 MiB keep the images small.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "dd_host.h"
#include "dd_record.h"
#include "dd_sidecar.h"
#include "dd_verify.h"
#include "engine_fixture.h"
#include "engine_job.h"
#include "fault_driver.h"
#include "krdd.h"
#include "krsd_ui.h"
#include "tb_init.h"

using nlohmann::json;

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kPart = 35 * DD_BLOCK_SIZE;  // 3584000: where the first job stopped

class RecordTest : public kt::FaultDriverTest {
 protected:
  void SetUp() override {
    kt::FaultDriverTest::SetUp();
    dd_piece_size_set(kMiB);
    data_ = kit::pattern(5 * kMiB + 12345, 7);
    kit::write_file(src_, data_);
  }
  void TearDown() override { dd_piece_size_set(0); }

  // An image of the first blocks of the source, made by a job of its own:
  // its record holds 1, 2 and 3 MiB and the job's end.
  void partial_image(int64_t blocks = kPart / DD_BLOCK_SIZE) {
    auto o = kt::run_job(src_, img_, 0, [blocks] {
      G.flags |= DD_COUNT_PRESET;
      G.count = blocks;
    });
    ASSERT_EQ(o.result, DD_DONE) << kit::log_dump();
    kit::log_clear();
  }
  json report() const { return json::parse(kit::read_file(img_ + ".json"), nullptr, false); }
  void clean() const {
    for (const char* ext : {"", ".krii", ".json", ".txt", ".log"}) std::remove((img_ + ext).c_str());
  }

  kit::TempDir tmp_;
  std::string src_ = tmp_.file("device");
  std::string img_ = tmp_.file("phone.dd");
  std::string side_ = img_ + ".krii";
  std::string data_;
};

void change_bytes(const std::string& path, size_t at, size_t n, char c) {
  std::string s = kit::read_file(path);
  s.replace(at, n, n, c);
  kit::write_file(path, s);
}

// Everything but the last record: what a kill leaves behind.
void drop_last_record(const std::string& path) {
  std::string s = kit::read_file(path);
  s.erase(s.rfind('\n', s.size() - 2) + 1);
  kit::write_file(path, s);
}

bool has_prefix(const std::string& prefix) { return kit::log_count_prefix(prefix) > 0; }

TEST_F(RecordTest, ResumeContinuesOnlyWhatItsRecordVouchesFor) {
  const std::string other = kit::pattern(data_.size(), 8);
  struct Case {
    const char* name;
    std::function<void()> damage;  // of the partial image, its record or the source
    int result;
    std::string line;                 // logged, from its start
    std::function<std::string()> want;  // the image afterwards; null: as it was
  } cases[] = {
      {"untouched", [] {}, DD_DONE, "已有数据 3584000 (3.4M) 与记录一致\n", [this] { return data_; }},
      {"killed before the last record", [this] { drop_last_record(side_); }, DD_DONE,
       "已从设备重新读取 3145728 - 3584000: 与镜像原有数据一致\n", [this] { return data_; }},
      // The tail a kill left after the last record, damaged: read again, and
      // every differing sector named.
      {"tail after the last record damaged",
       [this] {
         drop_last_record(side_);
         change_bytes(img_, 3200000, 200000, 'x');
       },
       DD_DONE, "已从设备重新读取 3145728 - 3584000: 200192 字节 (1 段) 与镜像原有数据不同, 已改写为设备数据\n",
       [this] { return data_; }},
      {"no record (an older version, or deleted)", [this] { std::remove(side_.c_str()); }, DD_DONE,
       "已有数据 3584000 (3.4M) 无记录, 将从设备重新读取并比对\n", [this] { return data_; }},
      // A crash in the middle of an append: the next job cuts the torn line.
      {"torn last line of the record", [this] { kit::write_file(side_, kit::read_file(side_) + "4194304 3f"); },
       DD_DONE, "已有数据 3584000 (3.4M) 与记录一致\n", [this] { return data_; }},
      {"a byte changed in piece 2", [this] { change_bytes(img_, kMiB + 777, 1, 'x'); }, DD_FAILED,
       "[" + img_ + "] piece 2 bytes 1048576-2097152 differs from its record error\n", nullptr},
      {"cut inside piece 3", [this] { kit::write_file(img_, data_.substr(0, 2 * kMiB + 5)); }, DD_FAILED,
       "[" + img_ + "] piece 3 bytes 2097152-3145728 differs from its record error\n", nullptr},
      {"record damaged", [this] { kit::write_file(side_, dd_sidecar_header() + "1048576 xyz\n"); }, DD_FAILED,
       "[" + side_ + "] line 3 is not a record error\n", nullptr},
      // The URL of a device is always the same: only its bytes tell.
      {"another device of the same size", [&] { kit::write_file(src_, other); }, DD_FAILED,
       "源设备与镜像不符: 抽样比对 ", nullptr},
      {"another device of another size", [this] { kit::write_file(src_, data_ + "more"); }, DD_FAILED,
       "源设备大小 5255229 与此镜像的设备大小 5255225 不同", nullptr},
      // A live device moves on in places; it is still the image's device.
      {"the device changed in one place", [this] { change_bytes(src_, 0, 100, 'y'); }, DD_DONE,
       "源设备抽样比对: 32 块中 1 块与镜像不同\n",
       [this] { return data_.substr(0, kPart) + kit::read_file(src_).substr(kPart); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kit::write_file(src_, data_);
    clean();
    partial_image();
    c.damage();
    const std::string before = kit::read_file(img_);
    auto o = kt::run_job(src_, img_, 1);
    EXPECT_EQ(o.result, c.result) << kit::log_dump();
    EXPECT_TRUE(has_prefix(c.line)) << kit::log_dump();
    const json r = report();
    if (!c.want) {
      EXPECT_EQ(kit::read_file(img_), before) << "a refused resume leaves the image alone";
      // The refused run is on record; the image's summary stays the first job's.
      EXPECT_EQ(r["runs"].size(), 2u);
      EXPECT_EQ(r["runs"][1]["wrote_image"], false);
      EXPECT_EQ(r["image"]["runs"], json::array({1})) << r.dump(2);
      continue;
    }
    const std::string image = kit::read_file(img_);
    EXPECT_EQ(image, c.want());
    EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(image) + "\n")) << kit::log_dump();
    EXPECT_TRUE(kit::log_has("sha256: " + kt::sha256_hex(image) + "\n"));
    EXPECT_EQ(r["image"]["md5"], kt::md5_hex(image)) << r.dump(2);
    EXPECT_EQ(r["image"]["runs"], json::array({1, 2}));
    // Where each byte of the image came from.
    const int64_t verified = r["image"]["verified"].empty() ? 0 : r["image"]["verified"][0][1].get<int64_t>();
    const int64_t copied_from = r["image"]["copied"][0][0].get<int64_t>();
    EXPECT_EQ(r["image"]["copied"][0][1], static_cast<int64_t>(data_.size()));
    if (!r["image"]["reread"].empty()) {
      EXPECT_EQ(r["image"]["reread"][0][0], verified);
      EXPECT_EQ(r["image"]["reread"][0][1], copied_from);
    } else {
      EXPECT_EQ(verified, copied_from);
    }
    // The finished image verifies against both its report and its pieces,
    // and one changed byte is found.
    kit::log_clear();
    EXPECT_EQ(dd_verify_image(img_), DD_VERIFY_SAME) << kit::log_dump();
    change_bytes(img_, 4 * kMiB + 3, 1, 'z');
    kit::log_clear();
    EXPECT_EQ(dd_verify_image(img_), DD_VERIFY_DIFFERS);
    EXPECT_TRUE(kit::log_has("[" + img_ + "] piece 5 bytes 4194304-5242880 differs from its record error\n"))
        << kit::log_dump();
    EXPECT_EQ(report()["verifications"].size(), 2u);
  }
}

// The record of the zeros that are not the device's, through every ending
// of a job: a stop, a full disk in the middle of a salvaged block, a failed
// restart that never opened the image, and a second writer.
TEST_F(RecordTest, UnreadableRunsSurviveEveryEnding) {
  const char kSource[] = "krp://127.0.0.1/dev/rdisk0s1s2?passwd=secret";
  constexpr int64_t kBad = 150000, kBad2 = 2500000;  // sectors 149504.. and 2499584..
  const json want = json::parse("[[149504,150016],[2499584,2500096]]");
  auto plan = [&] {
    kt::fault_reset();
    kt::g_plan.data = data_;
    kt::g_plan.bad_blocks = {kBad, kBad2};
  };
  struct Ending {
    const char* name;
    std::function<void()> first;  // the job that ends early
  } endings[] = {
      {"stopped", [&] {
         plan();
         kt::g_plan.stop_at = 3 * kMiB;
         EXPECT_EQ(kt::run_job(kSource, img_, 0).result, DD_STOPPED) << kit::log_dump();
       }},
      // The file system fills up inside the block of the second bad sector:
      // its zeros are on record although the block never reached the image.
      {"full disk inside a salvaged block", [&] {
         plan();
         pid_t pid = fork();
         ASSERT_GE(pid, 0);
         if (pid == 0) {
           signal(SIGXFSZ, SIG_IGN);
           struct rlimit rl = {2520000, 2520000};
           setrlimit(RLIMIT_FSIZE, &rl);
           _exit(kt::run_job(kSource, img_, 0).result == DD_FAILED ? 0 : 1);
         }
         int st = 0;
         waitpid(pid, &st, 0);
         EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
       }},
  };
  for (const auto& e : endings) {
    SCOPED_TRACE(e.name);
    clean();
    e.first();
    dd_sidecar_data side;
    std::string error;
    ASSERT_TRUE(dd_sidecar_load(img_, &side, &error)) << error;
    EXPECT_EQ(side.unreadable.size(), 2u) << kit::read_file(side_);
    // No split report, whatever the ending.
    EXPECT_EQ(report()["runs"].size(), 1u) << kit::read_file(img_ + ".json");
    plan();
    kit::log_clear();
    auto o = kt::run_job(kSource, img_, 1);
    EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
    EXPECT_TRUE(kit::log_has("1024 字节无法读取, 已写零\n")) << kit::log_dump();
    const json r = report();
    EXPECT_EQ(r["runs"].size(), 2u);
    EXPECT_EQ(r["image"]["unreadable"], want) << r.dump(2);
    // The password never reaches the record.
    EXPECT_EQ(r["runs"][1]["source"]["given"], "krp://127.0.0.1/dev/rdisk0s1s2?passwd=***");
    EXPECT_EQ(kit::read_file(img_ + ".json").find("secret"), std::string::npos);
    EXPECT_EQ(kit::read_file(img_ + ".log").find("secret"), std::string::npos);
    EXPECT_EQ(kit::log_dump().find("secret"), std::string::npos) << kit::log_dump();
  }
  // A restart that cannot open its source never wrote the image: the
  // image's history and summary stay.
  const json before = report()["image"];
  kt::fault_reset();
  EXPECT_EQ(kt::run_job("krp://127.0.0.1/missing", img_, 0).result, DD_OPEN_FAILED);
  EXPECT_EQ(report()["image"], before);
  // A second writer on the image is refused while the first holds it.
  dd_image_lock held;
  std::string error;
  ASSERT_EQ(held.acquire(img_, true, false, nullptr, &error), dd_image_lock::LOCKED) << error;
  const std::string image = kit::read_file(img_);
  kit::log_clear();
  EXPECT_EQ(kt::run_job(src_, img_, 0).result, DD_FAILED);
  EXPECT_TRUE(kit::log_has("镜像文件正被另一个任务写入, 拒绝同时写入\n")) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), image);
  EXPECT_EQ(dd_verify_image(img_), DD_VERIFY_NOTHING);
  // What the job made is for the examiner and their group only.
  for (const std::string& f : {img_, side_, img_ + ".json", img_ + ".txt", img_ + ".log"}) {
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_mode & 0137, 0u) << f;
  }
}

// Whatever the report beside an image holds, a job and a verification go
// on: a report that is not one is set aside and announced, digests compare
// without regard to case, and nothing from a field forges a line of the
// text report.
TEST_F(RecordTest, ReportsOfAnyContentNeverBreakAJob) {
  struct Row {
    const char* name;
    std::function<void(json&)> edit;  // null: the text below replaces the report
    const char* text;
    int verify;
  } rows[] = {
      {"as written", [](json&) {}, "", DD_VERIFY_SAME},
      {"digests in capitals",
       [](json& j) {
         std::string m = j["image"]["md5"];
         for (char& c : m) c = static_cast<char>(toupper(c));
         j["image"]["md5"] = m;
       },
       "", DD_VERIFY_SAME},
      // The pieces still cover the image: it verifies against them.
      {"md5 of another kind", [](json& j) { j["image"]["md5"] = 5; }, "", DD_VERIFY_SAME},
      {"complete of another kind", [](json& j) { j["image"]["complete"] = "yes"; }, "", DD_VERIFY_SAME},
      {"runs of another kind", [](json& j) { j["runs"] = "none"; }, "", DD_VERIFY_SAME},
      {"not JSON", nullptr, "{\"runs\": [", DD_VERIFY_SAME},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    dd_case_info info;
    info.notes = "one\nMD5:              forged\x1b]0;title\x07";
    info.examiner = "\xcd\xf5\xb7\xbc";  // a name in code page 936
    dd_case_set(info);
    ASSERT_EQ(kt::run_job(src_, img_, 0).result, DD_DONE) << kit::log_dump();
    dd_case_set({});
    const std::string txt = kit::read_file(img_ + ".txt");
    EXPECT_EQ(txt.find('\x1b'), std::string::npos);
    EXPECT_EQ(txt.find("\nMD5:              forged"), std::string::npos) << txt;
    json j = report();
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["case"]["examiner"], "\\xCD\\xF5\\xB7\\xBC");
    if (row.edit) {
      row.edit(j);
      kit::write_file(img_ + ".json", j.dump());
    } else {
      kit::write_file(img_ + ".json", row.text);
    }
    kit::log_clear();
    EXPECT_EQ(dd_verify_image(img_), row.verify) << kit::log_dump();
    // A resume after it: the report that cannot be read is set aside, said,
    // and a new one begun.
    kit::log_clear();
    EXPECT_EQ(kt::run_job(src_, img_, 1).result, DD_DONE) << kit::log_dump();
    const bool readable = std::string(row.name) == "as written" || std::string(row.name) == "digests in capitals";
    EXPECT_EQ(has_prefix("原报告无法读取, 已另存为 "), !readable) << kit::log_dump();
    EXPECT_FALSE(report().is_discarded());
  }
}

TEST_F(RecordTest, SidecarParser) {
  const std::string md5(32, 'a'), sha(64, 'b');
  const std::string h = dd_sidecar_header();
  const std::string rec = " " + md5 + " " + sha + "\n";
  struct Case {
    std::string text;
    size_t records;
    std::vector<dd_range> unreadable;
    std::string error;
  } cases[] = {
      {h + "100" + rec + "200" + rec, 2, {}, ""},
      {h + "100" + rec + "200 " + md5, 1, {}, ""},  // unfinished append
      {h + "100" + rec + "100" + rec, 0, {}, "line 4 does not follow the record before it"},
      {h + "0" + rec, 0, {}, "line 3 is not a record"},
      {h + "100 " + md5 + "0 " + sha + "\n", 0, {}, "line 3 is not a record"},
      {h + "-5" + rec, 0, {}, "line 3 is not a record"},
      // Unreadable runs merge; a resume drops what lies beyond its offset.
      {h + "unreadable 10 20\nunreadable 20 30\nunreadable 500 600\nresume 550\n", 0, {{10, 30}, {500, 550}}, ""},
      {h + "100" + rec + "resume 50\n", 0, {}, "line 4 is not a record"},
      {h + "unreadable 30 20\n", 0, {}, "line 3 is not a record"},
      {"krii-pieces 1\n100" + rec, 1, {}, ""},
      {"krii-pieces 3\n", 0, {}, "not a piece record (first line)"},
      {"", 0, {}, "not a piece record (empty)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    dd_sidecar_data d = dd_sidecar_parse(c.text);
    EXPECT_EQ(d.records.size(), c.records);
    EXPECT_EQ(d.unreadable, c.unreadable);
    EXPECT_EQ(d.error, c.error);
  }
  EXPECT_FALSE(dd_sidecar_parse("krii-pieces 1\n").unreadable_known());
  EXPECT_TRUE(dd_sidecar_parse(h).unreadable_known());
}

}  // namespace
