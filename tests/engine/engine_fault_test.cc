// Faults of a krp:// source, injected by a driver in the file layer's
// registered slot: bad blocks, a vanished device, lost connections and their
// one retry, a stop request, and an input that ends before its size.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

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

class FaultTest : public kt::FaultDriverTest {
 protected:
  void SetUp() override {
    kt::FaultDriverTest::SetUp();
    data_ = kit::pattern(10 * kBlock + 777, 3);
    // Every zero of an image then marks a read that failed.
    std::replace(data_.begin(), data_.end(), '\0', '\x5a');
    g_plan.data = data_;
  }
  kit::TempDir tmp_;
  std::string img_ = tmp_.file("image.dd");
  std::string data_;
};

TEST_F(FaultTest, CleanDeviceCopiesWithItsMd5) {
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
  EXPECT_EQ(kt::g_opens.load(), 1);
}

// A bad block is read again sector by sector: the image is the source
// except exactly the sectors that failed, which are zeros; one line per
// unreadable run of a block, and the job record keeps the runs merged. A
// disk that first returns the bytes before a bad sector (a short read) ends
// the same way, and the copy goes on to the size. The same whether the
// source reads the pieces one by one or all at once.
TEST_F(FaultTest, BadBlocksLoseOnlyTheirUnreadableSectors) {
  struct Row {
    std::vector<int64_t> bad;            // failing offsets
    bool short_before_bad;
    std::vector<dd_range> zeros;         // merged runs of the whole job
    int block_lines;                     // debug lines of the failed block reads
  } rows[] = {
      {{2 * kBlock}, false, {{2 * kBlock, 2 * kBlock + 512}}, 1},
      {{2 * kBlock + 4096}, true, {{2 * kBlock + 4096, 2 * kBlock + 4608}}, 1},
      // Adjacent sectors are one run; the last, short block too.
      {{7 * kBlock + 10, 7 * kBlock + 600, 10 * kBlock + 700},
       false,
       {{7 * kBlock, 7 * kBlock + 1024}, {10 * kBlock + 512, 10 * kBlock + 777}},
       2},
      // A run across a block boundary: one run, and one line for it.
      {{3 * kBlock - 1, 3 * kBlock}, false, {{3 * kBlock - 512, 3 * kBlock + 512}}, 2},
  };
  for (size_t i = 0; i < 2 * std::size(rows); ++i) {
    const Row& r = rows[i / 2];
    const bool at_once = i % 2 == 1;
    SCOPED_TRACE(std::to_string(r.bad[0]) + (at_once ? " at once" : " one by one"));
    kt::fault_reset();
    kit::log_clear();
    g_plan.data = data_;
    g_plan.bad_blocks = r.bad;
    g_plan.short_before_bad = r.short_before_bad;
    g_plan.pieces = at_once;
    auto o = run_job(kSource, img_, 0);
    EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
    std::string want = data_;
    for (const dd_range& z : r.zeros)
      want.replace(z.start, z.end - z.start, z.end - z.start, '\0');
    EXPECT_EQ(kit::read_file(img_) == want, true);
    EXPECT_EQ(o.i_offset, static_cast<int64_t>(data_.size()));
    EXPECT_EQ(o.o_offset, static_cast<int64_t>(data_.size()));
    ASSERT_EQ(o.bad_ranges.size(), r.zeros.size());
    for (size_t i = 0; i < r.zeros.size(); ++i) {
      EXPECT_EQ(o.bad_ranges[i].start, r.zeros[i].start);
      EXPECT_EQ(o.bad_ranges[i].end, r.zeros[i].end);
    }
    int block_lines = 0, run_lines = 0;
    for (const std::string& l : kit::log_lines()) {
      block_lines += l.find(" bs=") != std::string::npos && l.find(" ioerr=1 ") != std::string::npos;
      run_lines += l.find(" unreadable error:written as zeros\n") != std::string::npos;
    }
    EXPECT_EQ(block_lines, r.block_lines) << kit::log_dump();
    EXPECT_EQ(run_lines, static_cast<int>(r.zeros.size()));
    EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(want) + "\n")) << kit::log_dump();
    EXPECT_TRUE(kit::log_has(kSuccess));
    EXPECT_EQ(kt::g_opens.load(), 1);  // a bad block is no reason to reconnect
    EXPECT_EQ(kt::g_sector_reads.load() == 0, at_once);
  }
  // The lines of the first row, as the examiner reads them.
  kt::fault_reset();
  kit::log_clear();
  g_plan.data = data_;
  g_plan.bad_blocks = {2 * kBlock + 1000};
  run_job(kSource, img_, 0);
  EXPECT_TRUE(kit::log_has(std::string("read [") + kSource + "] offset=204800 bs=102400 ioerr=1 error \n"))
      << kit::log_dump();
  EXPECT_TRUE(kit::log_has(std::string("read [") + kSource +
                          "] offset=205312 end=205824 bytes=512 unreadable error:written as zeros\n"))
      << kit::log_dump();
}

// A krp:// source that reports size 0 and then delivers data is not the
// device asked for (the daemon tells every device's size): it is refused at
// its first block, before a byte is written, also where the data would not
// need positioning. An empty one is an empty image.
TEST_F(FaultTest, ARemoteSourceOfSizeZeroThatDeliversDataIsRefused) {
  for (const std::string& data : {data_, std::string()}) {
    SCOPED_TRACE(data.size());
    kt::fault_reset();
    kit::log_clear();
    g_plan.data = data;
    g_plan.pieces = true;
    g_plan.report_size = 0;
    auto o = run_job(kSource, img_, 0);
    EXPECT_EQ(o.result, data.empty() ? DD_DONE : DD_FAILED) << kit::log_dump();
    EXPECT_EQ(kit::log_has(std::string("[") + kSource +
                          "] size=0 but the source delivers data: not the device's partition error\n"),
              !data.empty())
        << kit::log_dump();
    EXPECT_EQ(kit::log_has(kSuccess), data.empty());
    EXPECT_EQ(kit::read_file(img_), "");
  }
}

// Whatever else fails while a bad block is read in pieces ends the block as
// a read of that piece failing would: a lost connection is retried and the
// image comes out whole, a vanished device ends the job, and a stop ends it
// as stopped without the block.
TEST_F(FaultTest, FailuresDuringASalvage) {
  const int64_t bad = 3 * kBlock + 5000;
  struct Row {
    const char* name;
    int64_t drop_at, gone_at, stop_at;
    int result;
    const char* line;  // the failed piece
  } rows[] = {
      {"lost connection", 3 * kBlock + 10000, -1, -1, DD_DONE, "] offset=317440 bs=512 ioerr=3 error \n"},
      {"vanished device", -1, 3 * kBlock + 50000, -1, DD_FAILED, "] offset=357376 bs=512 ioerr=2 error \n"},
      {"stop", -1, -1, 3 * kBlock + 1, DD_STOPPED, nullptr},
  };
  for (size_t i = 0; i < 2 * std::size(rows); ++i) {
    const Row& r = rows[i / 2];
    const bool at_once = i % 2 == 1;
    SCOPED_TRACE(std::string(r.name) + (at_once ? " at once" : " one by one"));
    kt::fault_reset();
    kit::log_clear();
    g_plan.data = data_;
    g_plan.pieces = at_once;
    g_plan.bad_blocks = {bad};
    if (r.drop_at >= 0) g_plan.drop_at = {r.drop_at};
    g_plan.gone_at = r.gone_at;
    g_plan.stop_at = r.stop_at;
    auto o = run_job(kSource, img_, 0);
    EXPECT_EQ(o.result, r.result) << kit::log_dump();
    if (r.line) {
      EXPECT_TRUE(kit::log_has(std::string("read [") + kSource + r.line)) << kit::log_dump();
    }
    // Without the retry, the block being salvaged is neither in the image
    // nor on record.
    std::string want = data_.substr(0, 3 * kBlock);
    if (r.result == DD_DONE) want = std::string(data_).replace(3 * kBlock + 4608, 512, 512, '\0');
    EXPECT_EQ(kit::read_file(img_) == want, true);
    EXPECT_EQ(o.bad_ranges.size(), r.result == DD_DONE ? 1u : 0u);
    EXPECT_EQ(kt::g_opens.load(), r.result == DD_DONE ? 2 : 1);
  }
}

TEST_F(FaultTest, VanishedDeviceEndsTheJobWithoutRetry) {
  g_plan.gone_at = 3 * kBlock;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 1);
  EXPECT_EQ(kit::read_file(img_), data_.substr(0, 3 * kBlock));
  EXPECT_EQ(kit::log_count_prefix("307200 bytes (300.0k) copied, "), 1) << kit::log_dump();
  EXPECT_FALSE(kit::log_has(kSuccess));
}

TEST_F(FaultTest, LostConnectionAfterProgressIsRetriedOnceAtTheSameOffset) {
  g_plan.drop_at = {4 * kBlock};
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_TRUE(kit::log_has("i_offset=409600\n"));
  EXPECT_TRUE(kit::log_has("o_offset=409600\n"));
  // Still one run over every byte: the digest holds.
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n")) << kit::log_dump();
  EXPECT_TRUE(kit::log_has(kSuccess));
}

TEST_F(FaultTest, EachNewFailureStreakGetsItsOwnRetry) {
  g_plan.drop_at = {2 * kBlock, 6 * kBlock};
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 3);
  EXPECT_EQ(kit::read_file(img_), data_);
}

TEST_F(FaultTest, TwoFailuresInARowEndWithThree) {
  g_plan.drop_at = {4 * kBlock, 4 * kBlock};
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_READ_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kit::read_file(img_), data_.substr(0, 4 * kBlock));
  EXPECT_EQ(kit::log_count_prefix("409600 bytes (400.0k) copied, "), 1) << kit::log_dump();
  EXPECT_FALSE(kit::log_has(kSuccess));
}

TEST_F(FaultTest, DeviceUnreachableAfterALostConnectionEndsWithTwo) {
  g_plan.drop_at = {4 * kBlock};
  g_plan.max_opens = 1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kit::log_count_prefix("409600 bytes (400.0k) copied, "), 1) << kit::log_dump();
  EXPECT_FALSE(kit::log_has(kSuccess));
}

// A source that could never be opened is not retried; one that was opened
// and lost its connection is, however little had been copied.
TEST_F(FaultTest, OnlyASourceThatWasOpenedIsRetried) {
  g_plan.open_failures = 1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kt::g_opens.load(), 1);
  EXPECT_TRUE(kit::log_has(std::string("open [") + kSource + "] error \n")) << kit::log_dump();

  kit::log_clear();
  kt::fault_reset();
  g_plan.data = data_;
  g_plan.drop_at = {0};
  o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 2);
  EXPECT_EQ(kit::read_file(img_), data_);
}

// A source that answers a seek with another position, and says so: no
// later read is believed, and the job ends with the positioning line,
// whether the seek was a resume's or a retry's.
TEST_F(FaultTest, ASeekThatLandsElsewhereEndsTheJob) {
  struct Case {
    const char* name;
    int resume;
    std::vector<int64_t> drop_at;
  } cases[] = {{"resume", 1, {}}, {"retry after a lost connection", 0, {4 * kBlock}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kt::fault_reset();
    g_plan.data = data_;
    std::remove(img_.c_str());
    std::remove((img_ + ".krii").c_str());
    if (c.resume) {
      ASSERT_EQ(run_job(kSource, img_, 0, [] {
                  G.flags |= DD_COUNT_PRESET;
                  G.count = 3;
                }).result,
                DD_DONE);
    }
    g_plan.seek_elsewhere = 1000;
    g_plan.drop_at = c.drop_at;
    kit::log_clear();
    auto o = run_job(kSource, img_, c.resume);
    EXPECT_EQ(o.result, DD_FAILED) << kit::log_dump();
    EXPECT_TRUE(kit::log_count_prefix(std::string("lseek [") + kSource + "] offset=")) << kit::log_dump();
    EXPECT_FALSE(kit::log_has(kSuccess));
    const std::string image = kit::read_file(img_);
    EXPECT_EQ(image, data_.substr(0, image.size())) << "every byte in the image is the source's";
  }
}

TEST_F(FaultTest, StopRequestEndsWithFiveAndTheSummaryOnly) {
  g_plan.stop_at = 3 * kBlock;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_STOPPED);
  // The block being read when the stop came is still written.
  EXPECT_EQ(o.total_bytes, 4 * kBlock);
  EXPECT_EQ(kit::read_file(img_), data_.substr(0, 4 * kBlock));
  EXPECT_EQ(kit::log_count_prefix("409600 bytes (400.0k) copied, "), 1) << kit::log_dump();
  EXPECT_EQ(kit::log_count_prefix("md5: "), 0);
  EXPECT_FALSE(kit::log_has(kSuccess));
}

TEST_F(FaultTest, StopDuringAFailedReadLogsNoReadError) {
  g_plan.stop_at = 5 * kBlock;
  g_plan.gone_at = 5 * kBlock;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_STOPPED);
  EXPECT_EQ(kit::log_count_prefix("read ["), 0) << kit::log_dump();
}

// An input that reports a size and ends before it is no success.
TEST_F(FaultTest, InputEndingBeforeItsSizeIsRetriedThenFails) {
  g_plan.end_early_at = 6 * kBlock;
  g_plan.end_early_times = -1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_READ_FAILED) << kit::log_dump();
  EXPECT_EQ(kt::g_opens.load(), 2);
  const std::string line = std::string("[") + kSource +
                           "] i_offset=614400 o_offset=614400 size=1024777 input ended before its "
                           "size error\n";
  EXPECT_EQ(kit::log_count_prefix(line), 2) << kit::log_dump();
  EXPECT_FALSE(kit::log_has(kSuccess));
  EXPECT_EQ(kit::log_count_prefix("md5: "), 0);
}

TEST_F(FaultTest, InputEndingEarlyOnceIsCompletedByTheRetry) {
  g_plan.end_early_at = 6 * kBlock;
  g_plan.end_early_times = 1;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
}

// Short reads do not use up the block count: the copy goes on to the size.
TEST_F(FaultTest, ShortReadsGoOnToTheSize) {
  g_plan.short_read = kBlock / 2 + 3;
  auto o = run_job(kSource, img_, 0);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_) == data_, true);
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
}

TEST_F(FaultTest, MissingDeviceFileGivesTwo) {
  auto o = run_job("krp://127.0.0.1/dev/missing", img_, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kit::log_count_prefix("open [krp://127.0.0.1/dev/missing] error "), 1);
}

}  // namespace

// The success line must mean the image is on the medium: an output that
// cannot be synced at the end fails the job instead, whether or not the
// writeback of its pieces could be started during the copy; a writeback
// that could not be started fails nothing.
TEST_F(FaultTest, OutputThatCannotBeSyncedIsNotASuccess) {
  const std::string src = tmp_.file("source.bin");
  kit::write_file(src, data_);
  const std::string out = "krp://10.0.0.1/out.img";
  // Every piece of 3 blocks, once written; not the last, partial one.
  const std::vector<std::pair<int64_t, int64_t>> hints = {
      {0, 3 * kBlock}, {3 * kBlock, 3 * kBlock}, {6 * kBlock, 3 * kBlock}};
  struct Row {
    bool writeback_fails, sync_fails;
    int result;
  } rows[] = {
      {false, false, DD_DONE},
      {true, false, DD_DONE},
      {false, true, DD_WRITE_FAILED},
      {true, true, DD_WRITE_FAILED},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "writeback fails " << r.writeback_fails << ", sync fails " << r.sync_fails);
    kt::fault_reset();
    kit::log_clear();
    kt::g_plan.writeback_fails = r.writeback_fails;
    kt::g_plan.sync_fails = r.sync_fails;
    auto o = run_job(src, out, 0, [] { G.writeback_bytes = 3 * kBlock; });
    EXPECT_EQ(o.result, r.result) << kit::log_dump();
    EXPECT_EQ(kt::g_written, data_);
    EXPECT_EQ(kt::g_writebacks, hints);
    EXPECT_EQ(kit::log_has("sync [" + out + "] error \n"), r.sync_fails) << kit::log_dump();
    EXPECT_EQ(kit::log_has(kSuccess), !r.sync_fails) << kit::log_dump();
  }
}
