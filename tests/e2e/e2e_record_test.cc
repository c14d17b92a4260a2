// End to end: what krimg leaves beside an image survives every ending of a
// job (a kill at any moment, a closed terminal, Ctrl-C), and a later resume
// ends with a report that names every zero the device could not give. The
// source has no zero byte, so every zero in the image marks a failed read.
#include <nlohmann/json.hpp>

#include <random>

#include "e2e_common.h"

namespace e2e {
namespace {

std::vector<uint8_t> no_zero_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> d(n);
  for (auto& b : d) b = static_cast<uint8_t>(1 + rng() % 255);
  return d;
}

// The runs of zero bytes of an image, as [from, to) pairs.
nlohmann::json zero_runs(const std::vector<uint8_t>& image) {
  nlohmann::json runs = nlohmann::json::array();
  for (size_t i = 0; i < image.size();) {
    if (image[i]) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < image.size() && !image[j]) ++j;
    runs.push_back({i, j});
    i = j;
  }
  return runs;
}

class Record : public E2e {
 protected:
  nlohmann::json report() { return nlohmann::json::parse(kit::read_file(out_ + ".json"), nullptr, false); }
  void source(size_t size, uint32_t seed) {
    data_ = no_zero_bytes(size, seed);
    ASSERT_TRUE(kit::write_file(img_, data_));
  }
};

// Endings x where the job was when it ended. A daemon with two bad ranges
// stalls after a point of its own per row; the job ends while it waits, and
// a resume against a sound daemon completes the image.
TEST_F(Record, UnreadableRangesSurviveEveryEnding) {
  source(1000003, 21);
  std::mt19937 rng(5);
  struct Row {
    const char* name;
    int sig;
  } rows[] = {{"kill -9", SIGKILL}, {"closed terminal", SIGHUP}, {"Ctrl-C", SIGINT},
              {"kill -9 again", SIGKILL}, {"closed terminal again", SIGHUP}};
  const std::vector<std::string> bad = {"--bad-range", "150000:512", "--bad-range", "500000:512"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char* ext : {"", ".krii", ".json", ".txt", ".log"}) std::remove((out_ + ext).c_str());
    const int64_t stall_at = 160000 + static_cast<int64_t>(rng() % 800000);
    SCOPED_TRACE(stall_at);
    auto args = bad;
    for (const std::string& a : {std::string("--stall-after"), std::to_string(stall_at) + ":60000",
                                 std::string("--map"), "/dev/rdisk0s1s2=" + img_})
      args.push_back(a);
    Daemon stalling;
    ASSERT_TRUE(stalling.start(args));
    const std::string u = "krp://127.0.0.1:" + std::to_string(stalling.port) + "/dev/rdisk0s1s2?pack=none";
    KrimgProcess p({"acquire", "--source", u, "--image", out_, "--restart"}, dir_.file("first.log"));
    for (int i = 0; i < 1000 && kit::read_file(stalling.log).find("fault: stalling") == std::string::npos; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    p.signal(row.sig);
    ToolRun first = p.wait(20);
    if (row.sig == SIGINT) {
      EXPECT_EQ(first.status, 5) << first.log;
    }
    stalling.kill_now();
    // Whatever the ending: one readable report, never set aside.
    EXPECT_FALSE(report().is_discarded()) << kit::read_file(out_ + ".json");
    EXPECT_EQ(system(("ls " + out_ + ".json.unreadable-* >/dev/null 2>&1").c_str()) == 0, false);

    serve(bad);
    ToolRun r = acquire(url("pack=none"), "--resume");
    EXPECT_EQ(r.status, 0) << first.log << r.log;
    const auto image = kit::read_bytes(out_);
    ASSERT_EQ(image.size(), data_.size());
    const nlohmann::json zeros = zero_runs(image);
    EXPECT_EQ(zeros, nlohmann::json::parse("[[149504,150528],[499712,500736]]")) << r.log;
    const nlohmann::json rep = report();
    EXPECT_EQ(rep["image"]["unreadable"], zeros) << rep.dump(2);
    EXPECT_EQ(rep["image"]["complete"], true);
    EXPECT_NE(r.log.find("2048 字节无法读取, 已写零"), std::string::npos) << r.log;
    EXPECT_EQ(krimg({"verify", out_}, dir_.file("verify.log")).status, 0);
    d_.kill_now();
  }
}

// Killed at any moment of a copy at full speed: the resume reads again what
// the record does not vouch for, and the image is the device's.
TEST_F(Record, KilledAtRandomMomentsTheResumeIsTheDevice) {
  source((96 << 20) + 4097, 22);
  serve();
  std::mt19937 rng(9);
  for (int round = 0; round < 3; ++round) {
    const int delay_ms = 15 + static_cast<int>(rng() % 150);
    SCOPED_TRACE(delay_ms);
    KrimgProcess p({"acquire", "--source", url("pack=none"), "--image", out_, round ? "--resume" : "--restart"},
                   dir_.file("killed.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    p.signal(SIGKILL);
    p.wait();
    // What the kill left after the last record, damaged on purpose: it must
    // be read again, not trusted.
    const std::string side = kit::read_file(out_ + ".krii");
    const size_t last = side.rfind('\n', side.size() - 2);
    const int64_t recorded = last == std::string::npos ? 0 : atoll(side.c_str() + last + 1);
    auto part = kit::read_bytes(out_);
    if (static_cast<int64_t>(part.size()) > recorded + 1) {
      std::fill(part.begin() + std::max<int64_t>(recorded, part.size() - 4000), part.end(), 0);
      ASSERT_TRUE(kit::write_file(out_, part));
    }
  }
  ToolRun r = acquire(url("pack=none"), "--resume");
  expect_identical(r, data_);
  EXPECT_EQ(report()["image"]["unreadable"], nlohmann::json::array());
  EXPECT_EQ(krimg({"verify", out_}, dir_.file("verify.log")).status, 0);
}

// The URL of the device is always the same: a resume against another
// device, even of the same size, is refused and the image stays.
TEST_F(Record, AnotherDeviceIsNeverAppended) {
  source(3 << 20, 23);
  serve();
  ASSERT_EQ(acquire(url(), "--restart").status, 0);
  auto image = kit::read_bytes(out_);
  image.resize(1 << 20);
  ASSERT_TRUE(kit::write_file(out_, image));
  std::remove((out_ + ".krii").c_str());  // only the bytes can tell
  d_.kill_now();
  source(3 << 20, 24);
  serve();
  ToolRun r = acquire(url(), "--resume");
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("源设备与镜像不符: 抽样比对 "), std::string::npos) << r.log;
  EXPECT_TRUE(kit::read_bytes(out_) == image);
}

// What an examiner's day brings to the names and fields of a job: text in
// the workstation's character set, an image that cannot hold a record, a
// second job on the same image, an image that backs its own source.
TEST_F(Record, NamesFieldsAndTargetsOfABadDay) {
  source(700001, 25);
  serve({"--stall-after", "300000:60000"});
  const std::string gbk = "\xcd\xf5\xb7\xbc";  // a name in code page 936
  const std::string odd = dir_.file("case\xff.dd");
  ToolRun r = krimg({"acquire", "--source", img_, "--image", odd, "--examiner", gbk, "--notes", "a\nMD5: x"},
                    dir_.file("gbk.log"));
  EXPECT_EQ(r.status, 0) << r.log;
  auto rep = nlohmann::json::parse(kit::read_file(odd + ".json"), nullptr, false);
  ASSERT_FALSE(rep.is_discarded()) << kit::read_file(odd + ".json");
  EXPECT_EQ(rep["case"]["examiner"], "\\xCD\\xF5\\xB7\\xBC");
  EXPECT_EQ(kit::read_file(odd + ".txt").find("\nMD5: x"), std::string::npos);

  r = krimg({"acquire", "--source", img_, "--image", "/dev/null", "--verify"}, dir_.file("null.log"));
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_NE(r.log.find("not a regular file; verification skipped"), std::string::npos) << r.log;

  // A second job on an image that is being written is refused.
  KrimgProcess first({"acquire", "--source", url(), "--image", out_, "--restart"}, dir_.file("first.log"));
  for (int i = 0; i < 1000 && kit::read_file(d_.log).find("fault: stalling") == std::string::npos; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The blocks that came before the stall may still be on their way to the
  // image: it is compared once it stood still for a while.
  auto before = kit::read_bytes(out_);
  for (int still = 0, i = 0; still < 30 && i < 500; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto now = kit::read_bytes(out_);
    still = now == before ? still + 1 : 0;
    before = std::move(now);
  }
  r = krimg({"acquire", "--source", img_, "--image", out_, "--restart"}, dir_.file("second.log"));
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("镜像文件正被另一个任务写入"), std::string::npos) << r.log;
  EXPECT_TRUE(kit::read_bytes(out_) == before);
  first.signal(SIGINT);
  EXPECT_EQ(first.wait(20).status, 5);

  // A loop device imaged into the very file behind it.
  krsd_test::LoopDevice loop(img_);
  if (loop.path().empty()) GTEST_SKIP() << loop.why();
  r = krimg({"acquire", "--source", loop.path(), "--image", img_, "--restart"}, dir_.file("loop.log"));
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("the file behind the source loop device"), std::string::npos) << r.log;
  EXPECT_TRUE(kit::read_bytes(img_) == data_);
}

}  // namespace
}  // namespace e2e
