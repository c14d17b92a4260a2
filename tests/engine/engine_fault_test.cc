// Faults of a krp:// source, injected by a driver in the file layer's
// registered slot: bad blocks, a vanished device, lost connections and their
// one retry, a stop request, and an input that ends before its size.
#include <gtest/gtest.h>

#include <string>

#include "engine_fixture.h"
#include "engine_job.h"
#include "fault_driver.h"
#include "krdd.h"
#include "krsd_ui.h"
#include "tb_init.h"

using kt::g_plan;
using kt::run_job;

namespace {

constexpr int64_t kBlock = DD_BLOCK_SIZE;
const char kSource[] = "krp://127.0.0.1/dev/rdisk0s1s2";
const char kSuccess[] = "镜像文件成功完成!\n";

class FaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tb_init(nullptr, nullptr, 0, 0);
    kt::fault_driver_register();
  }
  void SetUp() override {
    kt::log_capture_start();
    krsd_ui_set(nullptr);
    kt::fault_reset();
    data_ = kt::pattern(10 * kBlock + 777, 3);
    g_plan.data = data_;
  }
  kt::TempDir tmp_;
  std::string img_ = tmp_.path("image.dd");
  std::string data_;
};

TEST_F(FaultTest, CleanDeviceCopiesWithItsMd5) {
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kt::log_dump();
  EXPECT_EQ(kt::read_file(img_), data_);
  EXPECT_TRUE(kt::log_has("md5: " + kt::md5_hex(data_) + "\n"));
  EXPECT_EQ(kt::g_opens.load(), 1);
}

TEST_F(FaultTest, BadBlocksBecomeZerosAndBothOffsetsMoveOn) {
  g_plan.bad_blocks = {2 * kBlock, 7 * kBlock + 10, 10 * kBlock + 5};  // the last, short block too
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kt::log_dump();
  std::string want = data_;
  want.replace(2 * kBlock, kBlock, kBlock, '\0');
  want.replace(7 * kBlock, kBlock, kBlock, '\0');
  want.replace(10 * kBlock, 777, 777, '\0');
  EXPECT_EQ(kt::read_file(img_), want);
  EXPECT_EQ(o.i_offset, static_cast<int64_t>(data_.size()));
  EXPECT_EQ(o.o_offset, static_cast<int64_t>(data_.size()));
  EXPECT_TRUE(kt::log_has("md5: " + kt::md5_hex(want) + "\n")) << kt::log_dump();
  EXPECT_TRUE(kt::log_has(std::string("read [") + kSource + "] offset=204800 bs=102400 ioerr=1 error \n"))
      << kt::log_dump();
  EXPECT_TRUE(kt::log_has(std::string("read [") + kSource + "] offset=1024000 bs=777 ioerr=1 error \n"));
  EXPECT_TRUE(kt::log_has(kSuccess));
  EXPECT_EQ(kt::g_opens.load(), 1);  // a bad block is no reason to reconnect
}

TEST_F(FaultTest, VanishedDeviceEndsTheJobWithoutRetry) {
  g_plan.gone_at = 3 * kBlock;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 1);
  EXPECT_EQ(kt::read_file(img_), data_.substr(0, 3 * kBlock));
  EXPECT_EQ(kt::log_count_prefix("307200 bytes (300.0k) copied, "), 1) << kt::log_dump();
  EXPECT_FALSE(kt::log_has(kSuccess));
}

TEST_F(FaultTest, LostConnectionAfterProgressIsRetriedOnceAtTheSameOffset) {
  g_plan.drop_at = {4 * kBlock};
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kt::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kt::read_file(img_), data_);
  EXPECT_TRUE(kt::log_has("i_offset=409600\n"));
  EXPECT_TRUE(kt::log_has("o_offset=409600\n"));
  // Still one run over every byte: the digest holds.
  EXPECT_TRUE(kt::log_has("md5: " + kt::md5_hex(data_) + "\n")) << kt::log_dump();
  EXPECT_TRUE(kt::log_has(kSuccess));
}

TEST_F(FaultTest, EachNewFailureStreakGetsItsOwnRetry) {
  g_plan.drop_at = {2 * kBlock, 6 * kBlock};
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kt::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 3);
  EXPECT_EQ(kt::read_file(img_), data_);
}

TEST_F(FaultTest, TwoFailuresInARowEndWithThree) {
  g_plan.drop_at = {4 * kBlock, 4 * kBlock};
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_READ_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kt::read_file(img_), data_.substr(0, 4 * kBlock));
  EXPECT_EQ(kt::log_count_prefix("409600 bytes (400.0k) copied, "), 1) << kt::log_dump();
  EXPECT_FALSE(kt::log_has(kSuccess));
}

TEST_F(FaultTest, DeviceUnreachableAfterALostConnectionEndsWithTwo) {
  g_plan.drop_at = {4 * kBlock};
  g_plan.max_opens = 1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kt::log_count_prefix("409600 bytes (400.0k) copied, "), 1) << kt::log_dump();
  EXPECT_FALSE(kt::log_has(kSuccess));
}

TEST_F(FaultTest, FailureBeforeTheFirstByteIsNotRetried) {
  g_plan.open_failures = 1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 1);
  EXPECT_TRUE(kt::log_has(std::string("open [") + kSource + "] error \n")) << kt::log_dump();

  kt::log_clear();
  kt::fault_reset();
  g_plan.data = data_;
  g_plan.drop_at = {0};
  o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_READ_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 1);
  EXPECT_EQ(kt::log_count_prefix("0 bytes"), 0);  // nothing written: no summary
}

TEST_F(FaultTest, StopRequestEndsWithFiveAndTheSummaryOnly) {
  g_plan.stop_at = 3 * kBlock;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_STOPPED);
  // The block being read when the stop came is still written.
  EXPECT_EQ(o.total_bytes, 4 * kBlock);
  EXPECT_EQ(kt::read_file(img_), data_.substr(0, 4 * kBlock));
  EXPECT_EQ(kt::log_count_prefix("409600 bytes (400.0k) copied, "), 1) << kt::log_dump();
  EXPECT_EQ(kt::log_count_prefix("md5: "), 0);
  EXPECT_FALSE(kt::log_has(kSuccess));
}

TEST_F(FaultTest, StopDuringAFailedReadLogsNoReadError) {
  g_plan.stop_at = 5 * kBlock;
  g_plan.gone_at = 5 * kBlock;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_STOPPED);
  EXPECT_EQ(kt::log_count_prefix("read ["), 0) << kt::log_dump();
}

// An input that reports a size and ends before it is no success.
TEST_F(FaultTest, InputEndingBeforeItsSizeIsRetriedThenFails) {
  g_plan.end_early_at = 6 * kBlock;
  g_plan.end_early_times = -1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_READ_FAILED) << kt::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 2);
  const std::string line = std::string("[") + kSource +
                           "] i_offset=614400 o_offset=614400 size=1024777 input ended before its "
                           "size error\n";
  EXPECT_EQ(kt::log_count_prefix(line), 2) << kt::log_dump();
  EXPECT_FALSE(kt::log_has(kSuccess));
  EXPECT_EQ(kt::log_count_prefix("md5: "), 0);
}

TEST_F(FaultTest, InputEndingEarlyOnceIsCompletedByTheRetry) {
  g_plan.end_early_at = 6 * kBlock;
  g_plan.end_early_times = 1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kt::log_dump();
  EXPECT_EQ(kt::read_file(img_), data_);
  EXPECT_TRUE(kt::log_has("md5: " + kt::md5_hex(data_) + "\n"));
}

TEST_F(FaultTest, ShortReadsUsingUpTheBlockCountAreNotASuccess) {
  g_plan.short_read = kBlock / 2;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_READ_FAILED) << kt::log_dump();
  EXPECT_LT(o.i_offset, static_cast<int64_t>(data_.size()));
  // What was written is still the device's bytes, in order.
  std::string got = kt::read_file(img_);
  EXPECT_EQ(got, data_.substr(0, got.size()));
  EXPECT_FALSE(kt::log_has(kSuccess));
}

TEST_F(FaultTest, MissingDeviceFileGivesTwo) {
  auto o = run_job("krp://127.0.0.1/dev/missing", img_, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kt::log_count_prefix("open [krp://127.0.0.1/dev/missing] error "), 1);
}

}  // namespace

// The success line must mean the image is on the medium: an output that
// cannot be synced at the end fails the job instead.
TEST_F(FaultTest, OutputThatCannotBeSyncedIsNotASuccess) {
  const std::string src = tmp_.path("source.bin");
  kt::write_file(src, data_);
  const std::string out = "krp://10.0.0.1/out.img";

  auto ok = run_job(src, out, 0);
  EXPECT_EQ(ok.result, DD_DONE) << kt::log_dump();
  EXPECT_EQ(kt::g_written, data_);
  EXPECT_TRUE(kt::log_has("镜像文件成功完成!\n"));

  kt::fault_reset();
  kt::log_clear();
  kt::g_plan.sync_fails = true;
  auto bad = run_job(src, out, 0);
  EXPECT_EQ(bad.result, DD_WRITE_FAILED) << kt::log_dump();
  EXPECT_TRUE(kt::log_has("sync [" + out + "] error \n")) << kt::log_dump();
  EXPECT_FALSE(kt::log_has("镜像文件成功完成!\n")) << kt::log_dump();
}
