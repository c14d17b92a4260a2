// End to end with the daemon's fault injection standing in for bad media,
// vanished devices, lost links and stalls; resuming a broken run; a local
// block device with bad sectors.
#include <nlohmann/json.hpp>

#include "e2e_common.h"

namespace e2e {
namespace {

// The daemon answers reads of single sectors the same way: only the sectors
// of a bad range are lost, not the blocks around them.
TEST_F(E2e, UnreadableRangesBecomeZeros) {
  device(1000000);
  // Two bad spots: one inside block 2, one straddling blocks 5 and 6.
  serve({"--bad-range", "250000:10", "--bad-range", std::to_string(6 * 102400 - 5) + ":10"});
  auto want = data_;
  for (auto [start, end] : {std::pair<long, long>{249856, 250368}, {613888, 614912}})
    std::fill(want.begin() + start, want.begin() + end, 0);
  ToolRun r = acquire(url());
  expect_identical(r, want);
  // One line per run of unreadable sectors, also across a block boundary;
  // the failed reads behind it are details.
  EXPECT_EQ(kit::count_of(r.log, "ioerr=1"), 0u) << r.log;
  EXPECT_EQ(kit::count_of(r.log, "errno=5"), 0u) << r.log;
  EXPECT_EQ(kit::count_of(r.log, "unreadable error:written as zeros"), 2u) << r.log;
  EXPECT_NE(r.log.find("offset=613888 end=614912 bytes=1024 unreadable"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("1536 字节无法读取, 已写零\n"), std::string::npos) << r.log;
  // The report beside the image names the zeroed bytes, merged.
  auto report = nlohmann::json::parse(kit::read_file(out_ + ".json"), nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << kit::read_file(out_ + ".json");
  EXPECT_EQ(report["image"]["unreadable"], nlohmann::json::parse("[[249856,250368],[613888,614912]]"))
      << report.dump(2);
  EXPECT_EQ(report["image"]["md5"], md5_hex(want));
}

// A block device with bad sectors: only they are lost, not the page of the
// system's cache around each of them (nor the daemon's read-ahead window);
// a piece that starts off the sector grid (a resumed image) and the
// device's last sector included. Read by krimg itself, and served by the
// host's and the ARMv7 daemon.
TEST_F(E2e, BlockDeviceLosesOnlyItsBadSectors) {
  const int64_t size = 245 * 4096;
  struct Row {
    int sector_bytes;
    std::vector<int64_t> bad;
    std::vector<std::pair<int64_t, int64_t>> zeros;
    int64_t resume_at;
  } rows[] = {
      {512,
       {250000, 300000, 300600, size - 1},
       {{249856, 250368}, {299520, 300032}, {300544, 301056}, {size - 512, size}},
       0},
      {4096, {250000}, {{249856, 253952}}, 0},
      {512, {250100}, {{250001, 250368}}, 250001},
  };
  std::string why_arm;
  const std::string arm = krsd_test::armv7_daemon(&why_arm);
  if (arm.empty()) fprintf(stderr, "note: not through the ARMv7 daemon: %s\n", why_arm.c_str());
  device(size);
  for (const Row& row : rows) {
    for (const std::string& daemon : {std::string("-"), kit::bin_path("krsd"), arm}) {
      if (daemon.empty()) continue;
      SCOPED_TRACE(std::to_string(row.sector_bytes) + " " + std::to_string(row.resume_at) + " " + daemon);
      // A disk of its own each time: nothing read before is in its cache.
      krsd_test::BadSectorDisk disk(img_, row.bad, row.sector_bytes);
      if (disk.path().empty()) GTEST_SKIP() << disk.why();
      std::string source = disk.path();
      Daemon served;
      if (daemon != "-") {
        served.program = daemon;
        ASSERT_TRUE(served.start({"--map", "/dev/rdisk0s1s2=" + disk.path()})) << daemon;
        source = "krp://127.0.0.1:" + std::to_string(served.port) + "/dev/rdisk0s1s2";
      }
      auto want = data_;
      for (auto [start, end] : row.zeros) std::fill(want.begin() + start, want.begin() + end, 0);
      ToolRun r;
      if (row.resume_at) {
        // An image that ends off the sector grid, with a record of all of it.
        const std::vector<uint8_t> head(data_.begin(), data_.begin() + row.resume_at);
        ASSERT_TRUE(kit::write_file(out_, head));
        std::ofstream(out_ + ".krii", std::ios::trunc)
            << "krii-pieces 2\nsource " << size << "\n"
            << row.resume_at << " " << md5_hex(head) << " " << sha256_hex(head) << "\n";
        r = acquire(source, "--resume");
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_TRUE(kit::read_bytes(out_) == want) << r.log;
      } else {
        r = acquire(source);
        expect_identical(r, want);
      }
      EXPECT_EQ(kit::count_of(r.log, "unreadable error:written as zeros"), row.zeros.size()) << r.log;
    }
  }
}

TEST_F(E2e, VanishedDeviceEndsWithOne) {
  device(1000000);
  serve({"--vanish-at", "500000"});
  ToolRun r = acquire(url());
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("ioerr=2"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
  auto got = kit::read_bytes(out_);
  EXPECT_LE(got.size(), 500000u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data_.begin()));
}

TEST_F(E2e, OneDroppedConnectionIsRetried) {
  device((5 << 20) + 999);
  serve({"--drop-after", "1000000,once"});
  ToolRun r = acquire(url());
  expect_identical(r, data_);
  EXPECT_EQ(kit::count_of(kit::read_file(d_.log), "fault: dropping"), 1u);
  EXPECT_NE(r.log.find("error"), std::string::npos) << "the lost connection is logged";
}

// A read error line over krp says why: the daemon's errno text, or the
// transport's words for a lost connection.
TEST_F(E2e, ReadErrorLinesSayWhy) {
  device(1000000);
  struct Row {
    std::vector<std::string> faults;
    std::string line;                  // part of the first read error line
    std::vector<std::string> reasons;  // one of them ends it
  } rows[] = {
      {{"--bad-range", "250000:10"}, "offset=204800 bs=102400 ioerr=1 error ", {"Input/output error"}},
      {{"--vanish-at", "500000"}, " ioerr=2 error ", {"No such device or address"}},
      // A request sent after the reset meets a broken pipe instead.
      {{"--drop-after", "300000"}, " ioerr=0 error ", {"Connection reset by peer", "Broken pipe"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.faults[0]);
    serve(row.faults);
    // The failed block read behind a salvage is a detail: shown with --debug.
    ToolRun r = krimg({"acquire", "--source", url(), "--image", out_, "--restart", "--debug"},
                      dir_.file("krimg.log"));
    const size_t at = r.log.find("read [" + url() + "] offset=");
    ASSERT_NE(at, std::string::npos) << r.log;
    const std::string line = r.log.substr(at, r.log.find('\n', at) - at);
    EXPECT_NE(line.find(row.line), std::string::npos) << line;
    bool named = false;
    for (const std::string& why : row.reasons)
      named = named || (line.size() >= why.size() + 2 &&
                        line.substr(line.size() - why.size() - 2) == "[" + why + "]");
    EXPECT_TRUE(named) << line;
    d_.kill_now();
  }
}

TEST_F(E2e, StalledDaemonHitsTheReadTimeout) {
  device(1000000);
  // Stalls inside the first read answer, longer than the read time-out, on
  // every connection: retried once although nothing was copied yet.
  serve({"--stall-after", "1000:4000"});
  ToolRun r = acquire(url("read-timeout=1"));
  EXPECT_EQ(r.status, 3) << r.log;
  EXPECT_NE(r.log.find("offset=0 bs=102400 ioerr=0 error [the answer did not come whole within the "
                       "read time-out]\n"),
            std::string::npos)
      << r.log;
  EXPECT_EQ(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("镜像失败: 读取设备出错, 重试后仍未成功"), std::string::npos) << r.log;
  EXPECT_EQ(kit::read_bytes(out_).size(), 0u);
  EXPECT_EQ(kit::count_of(kit::read_file(d_.log), "fault: stalling"), 2u);
}

// A run that loses its daemon half-way leaves a correct partial image, and
// --resume completes it from its end.
TEST_F(E2e, ResumeAfterADroppedRun) {
  device((4 << 20) + 12345);
  auto flaky = std::make_unique<Daemon>();
  ASSERT_TRUE(flaky->start({"--map", "/dev/rdisk0s1s2=" + img_, "--stall-after", "1200000:30000"}));
  std::string u = "krp://127.0.0.1:" + std::to_string(flaky->port) + "/dev/rdisk0s1s2";
  std::thread killer([&] {
    // Once the daemon holds its answer, it goes away for good.
    for (int i = 0; i < 1000 && kit::read_file(flaky->log).find("fault: stalling") == std::string::npos; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    flaky->kill_now();
  });
  ToolRun r = acquire(u);
  killer.join();
  EXPECT_NE(r.status, 0) << r.log;
  EXPECT_EQ(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
  auto part = kit::read_bytes(out_);
  ASSERT_GT(part.size(), 0u);
  ASSERT_LT(part.size(), data_.size());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), data_.begin()));

  serve();
  r = acquire(url(), "--resume");
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_TRUE(kit::read_bytes(out_) == data_);
  EXPECT_NE(r.log.find("md5: " + md5_hex(data_) + "\n"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
}

// A real block device: read by krimg under a stable /dev/disk/by-id name (a
// file like any other, not a numbered disk), and served by the daemon,
// which tells its length.
TEST_F(E2e, LoopDeviceByItsStableNameAndThroughTheDaemon) {
  device(4 << 20);
  krsd_test::LoopDevice loop(img_);
  if (loop.path().empty()) GTEST_SKIP() << loop.why();

  const std::string dir = "/dev/disk/by-id";
  const bool made = access("/dev/disk", F_OK) != 0;
  ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
  const std::string link = dir + "/krii-test-" + std::to_string(getpid());
  ASSERT_EQ(symlink(loop.path().c_str(), link.c_str()), 0);
  ToolRun r = acquire(link);
  unlink(link.c_str());
  if (made) {
    EXPECT_EQ(system("rm -r /dev/disk"), 0);
  }
  expect_identical(r, data_);

  ASSERT_TRUE(d_.start({"--map", "/dev/rdisk0s1s2=" + loop.path()})) << "krsd did not start";
  r = acquire(url());
  expect_identical(r, data_);
  EXPECT_NE(r.log.find("设备存储大小：4194304 (4.0M)"), std::string::npos) << r.log;
}

// An image completed in three runs, the first two killed while the daemon
// holds an answer: each resume verifies the pieces on record, re-hashes the
// unrecorded tail, and the last ends with the digests of the whole image.
TEST_F(E2e, ThreeRunsWithKillsEndWithTheWholeImagesDigests) {
  constexpr int64_t kPiece = int64_t{64} << 20;
  device(static_cast<size_t>(2 * kPiece + (20 << 20) + 12345));
  // Every connection stalls a little past one piece (without packing, the
  // bytes sent are about the bytes read).
  serve({"--stall-after", std::to_string(kPiece + (3 << 20)) + ":60000"});
  const std::string side = out_ + ".krii", log = dir_.file("run.log");
  int64_t ends[2] = {0, 0};
  for (int run = 0; run < 2; ++run) {
    KrimgProcess krimg({"acquire", "--source", url("pack=none"), "--image", out_,
                        run == 0 ? "--restart" : "--resume"}, log);
    // Killed once the piece it passed is on record.
    const std::string record = std::to_string((run + 1) * kPiece) + " ";
    for (int i = 0; i < 3000 && kit::read_file(side).find("\n" + record) == std::string::npos; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    krimg.signal(SIGKILL);
    krimg.wait();
    ASSERT_NE(kit::read_file(side).find("\n" + record), std::string::npos) << kit::read_file(log);
    ends[run] = static_cast<int64_t>(kit::read_bytes(out_).size());
    ASSERT_GT(ends[run], (run + 1) * kPiece);
  }
  ToolRun r = acquire(url("pack=none"), "--resume");
  expect_identical(r, data_);
  EXPECT_NE(r.log.find("已有数据 0 - " + std::to_string(2 * kPiece) + " 与记录一致; " +
                       std::to_string(2 * kPiece) + " - " + std::to_string(ends[1]) +
                       " 无记录, 将从设备重新读取并比对"),
            std::string::npos)
      << r.log;
  // Every run is on record, the killed ones as never ended.
  auto report = nlohmann::json::parse(kit::read_file(out_ + ".json"), nullptr, false);
  ASSERT_TRUE(report.contains("runs")) << kit::read_file(out_ + ".json");
  ASSERT_EQ(report["runs"].size(), 3u);
  EXPECT_EQ(report["runs"][0]["result"], -1);
  EXPECT_EQ(report["runs"][2]["resume_check"]["verified_to"], 2 * kPiece);
  EXPECT_EQ(report["image"]["sha256"], sha256_hex(data_));
}

// A byte changed in the image between two runs refuses the resume, named.
TEST_F(E2e, ChangedPrefixRefusesTheResume) {
  device(3 << 20);
  serve();
  ASSERT_EQ(acquire(url()).status, 0);
  std::string img = kit::read_file(out_);
  img.resize(2 << 20);
  img[4242] ^= 1;
  std::ofstream(out_, std::ios::binary | std::ios::trunc) << img;
  ToolRun r = acquire(url(), "--resume");
  EXPECT_EQ(r.status, 1) << r.log;
  EXPECT_NE(r.log.find("piece 1 bytes 0-3145728 differs from its record error"), std::string::npos) << r.log;
  EXPECT_EQ(kit::read_file(out_), img);
}

}  // namespace
}  // namespace e2e
