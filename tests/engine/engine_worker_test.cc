// The engine's worker thread: hand-over, busy word, stop from another
// thread, the result of the last job and the retry pause of a real job.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "engine_fixture.h"
#include "fault_driver.h"
#include "krdd.h"
#include "krsd-client.h"
#include "krsd_ui.h"

using kt::g_plan;

namespace {

constexpr int64_t kBlock = DD_BLOCK_SIZE;
const char kSource[] = "krp://127.0.0.1/dev/rdisk0s1s2";

// Waits (bounded) until the worker is idle; false on time-out.
bool wait_idle() {
  for (int i = 0; i < 3000 && krsd_is_busy(); ++i) usleep(10000);
  return !krsd_is_busy();
}

class WorkerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kt::fault_driver_register();  // takes the slot before the real driver
    krsd_init();
  }
  void SetUp() override {
    kit::log_capture_start();
    krsd_ui_set(nullptr);
    ASSERT_TRUE(wait_idle());
    kt::fault_reset();
    data_ = kit::pattern(8 * kBlock + 99, 11);
    g_plan.data = data_;
  }
  kit::TempDir tmp_;
  std::string img_ = tmp_.file("image.dd");
  std::string data_;
};

TEST_F(WorkerTest, JobIsBusyFromTheHandOverUntilItEnded) {
  g_plan.read_delay_us = 2000;
  ASSERT_EQ(krsd_get_file(kSource, img_.c_str(), 0), 0);
  EXPECT_EQ(krsd_is_busy(), 1);  // even before the worker has taken it
  // A second job while one runs would overwrite the running job's record.
  EXPECT_EQ(krsd_get_file(kSource, tmp_.file("other").c_str(), 0), 1);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(krsd_last_result(), DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_FALSE(kit::file_exists(tmp_.file("other")));
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
}

TEST_F(WorkerTest, StopFromTheFrontEndThreadEndsWithFive) {
  g_plan.data = kit::pattern(400 * kBlock, 2);
  g_plan.read_delay_us = 1000;
  ASSERT_EQ(krsd_get_file(kSource, img_.c_str(), 0), 0);
  for (int i = 0; i < 2000 && kt::g_high_water.load() < 3 * kBlock; ++i) usleep(5000);
  ASSERT_GE(kt::g_high_water.load(), 3 * kBlock);
  EXPECT_EQ(krsd_stop(), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(krsd_last_result(), DD_STOPPED);
  EXPECT_EQ(kit::log_count_prefix("md5: "), 0);
  EXPECT_FALSE(kit::log_has("镜像文件成功完成!\n"));
  std::string got = kit::read_file(img_);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), g_plan.data.size());
  EXPECT_EQ(got, g_plan.data.substr(0, got.size()));
}

TEST_F(WorkerTest, LostConnectionIsRetriedAfterThePause) {
  g_plan.drop_at = {3 * kBlock};
  ASSERT_EQ(krsd_get_file(kSource, img_.c_str(), 0), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(krsd_last_result(), DD_DONE) << kit::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kit::read_file(img_), data_);
}

TEST_F(WorkerTest, JobWithoutDeviceEndsAndLeavesTheWorkerReady) {
  ASSERT_EQ(krsd_get_file("krp://127.0.0.1/dev/missing", img_.c_str(), 0), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(krsd_last_result(), DD_OPEN_FAILED);
  ASSERT_EQ(krsd_get_file(kSource, img_.c_str(), 0), 0);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(krsd_last_result(), DD_DONE);
}

}  // namespace
