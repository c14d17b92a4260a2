// The copy engine on real local files: whole copies and their MD5, resuming,
// the status texts, the odd-sized swab, the preset count and a full output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dd_ewf.h"
#include "dd_hash.h"
#include "engine_fixture.h"
#include "engine_job.h"
#include "krdd.h"
#include "krsd-client.h"
#include "krsd_ui.h"
#include "tb_init.h"

using kt::run_job;

namespace {

class CopyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tb_init(nullptr, nullptr, 0, 0); }
  void SetUp() override {
    kit::log_capture_start();
    krsd_ui_set(nullptr);
    dd_clock_set(nullptr);
  }
  void TearDown() override { dd_clock_set(nullptr); }
  kit::TempDir tmp_;
};

// The media of the E01 image at path, or the error of reading it.
std::string e01_media(const std::string& path) {
  dd_ewf_reader r;
  std::string error;
  if (!r.open(path, &error)) return "open: " + error;
  std::string media;
  uint8_t buf[65536];
  for (long n; (n = r.read(buf, sizeof buf, &error)) != 0;) {
    if (n < 0) return "read: " + error;
    media.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
  }
  return media;
}

TEST_F(CopyTest, LocalFileCopiesExactlyWithItsMd5) {
  // Around the block size, an empty file and a few MiB with a short tail;
  // raw, and E01 (several batches of chunks packed side by side) where the
  // build has it.
  for (const bool e01 : {false, true}) {
    if (e01 && !dd_ewf_available()) continue;
    dd_image_format format;
    format.kind = e01 ? DD_FORMAT_E01 : DD_FORMAT_RAW;
    dd_format_set(format);
    std::vector<size_t> sizes = {0, 1, 102399, 102400, 102401, 3 * 1048576 + 12345};
    if (e01) sizes.push_back(9 * 1048576 + 512);
    for (size_t size : sizes) {
      SCOPED_TRACE(std::to_string(size) + (e01 ? " E01" : " raw"));
      kit::log_clear();
      const std::string src = tmp_.file("src" + std::to_string(size));
      const std::string img = tmp_.file("img" + std::to_string(size) + (e01 ? ".E01" : ".dd"));
      const std::string data = kit::pattern(size, static_cast<uint32_t>(size));
      kit::write_file(src, data);
      auto o = run_job(src, img, 0);
      EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
      EXPECT_TRUE((e01 ? e01_media(img) : kit::read_file(img)) == data);
      EXPECT_EQ(o.total_bytes, static_cast<int64_t>(size));
      EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data) + "\n")) << kit::log_dump();
      EXPECT_TRUE(kit::log_has("sha256: " + kt::sha256_hex(data) + "\n")) << kit::log_dump();
      EXPECT_TRUE(kit::log_has("镜像文件成功完成!\n"));
      if (size == 102400) {
        // One full block, then the loop ends on the empty read.
        EXPECT_EQ(o.count, 2);
        EXPECT_EQ(o.in_full, 1);
        EXPECT_EQ(o.in_part, 0);
        EXPECT_TRUE(kit::log_has("设备存储大小：102400 (100.0k)\n"));
      }
      if (size == 0) {
        EXPECT_EQ(o.count, -1);
      }
    }
  }
  dd_format_set(dd_image_format{});
}

TEST_F(CopyTest, NewImageEmptiesAnOldLongerFile) {
  const std::string src = tmp_.file("src"), img = tmp_.file("img");
  const std::string data = kit::pattern(150000);
  kit::write_file(src, data);
  kit::write_file(img, kit::pattern(400000, 9));
  auto o = run_job(src, img, 0);
  EXPECT_EQ(o.result, DD_DONE);
  EXPECT_EQ(kit::read_file(img), data);
}

TEST_F(CopyTest, MissingSourceIsNotRetriedAndLeavesNoSummary) {
  const std::string img = tmp_.file("img");
  auto o = run_job(tmp_.file("nope"), img, 0);
  EXPECT_EQ(o.result, DD_OPEN_FAILED);
  EXPECT_EQ(kit::log_count_prefix("open [" + tmp_.file("nope") + "] error ["), 1) << kit::log_dump();
  EXPECT_EQ(kit::log_count_prefix("0 bytes"), 0);
  EXPECT_FALSE(kit::log_has("镜像文件成功完成!\n"));
  // Nothing was acquired: nothing is left where the image would have been.
  for (const char* ext : {"", ".log", ".json", ".krii"}) EXPECT_FALSE(kit::file_exists(img + ext)) << ext;
}

// The resume tests share a 1 MiB source and a question answered by the test.
int g_answer = 1;
std::vector<std::string> g_questions;
std::vector<std::string> g_statuses;
std::vector<int> g_progress;
int answer(const char* q) {
  g_questions.emplace_back(q);
  return g_answer;
}
void status(const char* s) { g_statuses.emplace_back(s); }
void progress(int p) { g_progress.push_back(p); }

class ResumeTest : public CopyTest {
 protected:
  void SetUp() override {
    CopyTest::SetUp();
    g_questions.clear();
    g_statuses.clear();
    g_progress.clear();
    g_answer = 1;
    krsd_ui_ops ops{status, progress, nullptr, answer};
    krsd_ui_set(&ops);
    data_ = kit::pattern(1048576, 5);
    kit::write_file(src_, data_);
  }
  std::string src_ = tmp_.file("device");
  std::string img_ = tmp_.file("image.dd");
  std::string data_;
};

TEST_F(ResumeTest, NoQuestionForMissingOrEmptyImage) {
  EXPECT_EQ(krsd_outfile_ask_continue(img_.c_str()), 0);
  kit::write_file(img_, "");
  EXPECT_EQ(krsd_outfile_ask_continue(img_.c_str()), 0);
  EXPECT_TRUE(g_questions.empty());
}

// The first blocks of the image, made by a job of its own (its record ends
// where the job ended, at blocks * 102400).
void partial_image(const std::string& src, const std::string& img, int64_t blocks) {
  auto o = run_job(src, img, 0, [blocks] {
    G.flags |= DD_COUNT_PRESET;
    G.count = blocks;
  });
  ASSERT_EQ(o.result, DD_DONE) << kit::log_dump();
  kit::log_clear();
  dd_clock_set(nullptr);  // the next job's first progress line is not held back
}

TEST_F(ResumeTest, ContinuesAt204800WithTheBlocksAlreadyThereCounted) {
  partial_image(src_, img_, 2);
  ASSERT_EQ(krsd_outfile_ask_continue(img_.c_str()), 1);
  ASSERT_EQ(g_questions.size(), 1u);
  EXPECT_EQ(g_questions[0], img_ + " 存在，是否继续断点镜像\n");
  EXPECT_TRUE(kit::log_has("偏移文件: 204800 (200.0k)\n")) << kit::log_dump();

  g_statuses.clear();
  auto o = run_job(src_, img_, 1);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_EQ(o.off_count, 3);
  EXPECT_EQ(o.count, 9);  // (102400 + 1048576 - 204800) / 102400
  EXPECT_EQ(o.all_count, 12);
  EXPECT_EQ(o.total_bytes, 1048576 - 204800);
  EXPECT_TRUE(kit::log_has("G.skip: 204800 offset=204800 blocksz=1\n")) << kit::log_dump();
  EXPECT_TRUE(kit::log_has("G.seek: 204800 offset=204800 blocksz=1\n"));
  EXPECT_TRUE(kit::log_has("G.count: 9 all_count=12 off_count=3\n"));
  // The prefix was hashed again from the image: the digests are the whole image's.
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n")) << kit::log_dump();
  EXPECT_TRUE(kit::log_has("sha256: " + kt::sha256_hex(data_) + "\n"));
  EXPECT_TRUE(kit::log_has("镜像文件成功完成!\n"));
  // The first progress line already counts the three blocks: 4 of 12, and
  // the image's bytes. (After the status lines of the prefix's re-hash.)
  auto first = std::find_if(g_statuses.begin(), g_statuses.end(),
                            [](const std::string& s) { return !s.empty() && isdigit(s[0]); });
  ASSERT_NE(first, g_statuses.end());
  EXPECT_NE(first->find(", 33%"), std::string::npos) << *first;
  EXPECT_EQ(first->rfind("307200 bytes (300.0k), ", 0), 0u) << *first;
}

// Nothing vouches for an image without its record: all of it is read again
// from the source and compared, and only then is the hash the whole image's.
TEST_F(ResumeTest, ImageWithoutItsRecordIsReadAgainAndCompared) {
  std::string old = data_.substr(0, 204800);
  old.replace(150000, 1000, 1000, 'x');  // a stretch that is not the source's
  kit::write_file(img_, old);
  auto o = run_job(src_, img_, 1);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_EQ(o.total_bytes, 1048576);
  EXPECT_TRUE(kit::log_has("已有数据 204800 (200.0k) 无记录, 将从设备重新读取并比对\n")) << kit::log_dump();
  EXPECT_TRUE(kit::log_has(
      "已从设备重新读取 0 - 204800: 1536 字节 (1 段) 与镜像原有数据不同, 已改写为设备数据\n"))
      << kit::log_dump();
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
}

TEST_F(ResumeTest, AnswerNoStartsOver) {
  kit::write_file(img_, std::string(204800, 'x'));
  g_answer = 0;
  int resume = krsd_outfile_ask_continue(img_.c_str());
  EXPECT_EQ(resume, 0);
  auto o = run_job(src_, img_, resume);
  EXPECT_EQ(o.result, DD_DONE);
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
}

TEST_F(ResumeTest, CompleteImageCopiesNothingAndSucceedsWithTheWholeImagesDigests) {
  ASSERT_EQ(run_job(src_, img_, 0).result, DD_DONE);
  kit::log_clear();
  auto o = run_job(src_, img_, 1);
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(o.total_bytes, 0);
  EXPECT_EQ(o.count, 1);
  EXPECT_EQ(kit::read_file(img_), data_);
  EXPECT_TRUE(kit::log_has("0 bytes (0) copied, [0 second], 0 B/S\n")) << kit::log_dump();
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data_) + "\n"));
  EXPECT_TRUE(kit::log_has("镜像文件成功完成!\n"));
}

TEST_F(ResumeTest, ImageLargerThanTheSourceIsRefusedAndKept) {
  const std::string bigger = data_ + "tail";
  kit::write_file(img_, bigger);
  auto o = run_job(src_, img_, 1);
  EXPECT_EQ(o.result, DD_FAILED);
  EXPECT_TRUE(kit::log_has("file [" + img_ +
                          "] skip=1048580 size=1048576 error:Offset is larger than file size\n"))
      << kit::log_dump();
  EXPECT_EQ(kit::read_file(img_), bigger);
  EXPECT_FALSE(kit::log_has("镜像文件成功完成!\n"));
}

// A clock the test moves by hand.
int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

class ProgressTest : public CopyTest {
 protected:
  void SetUp() override {
    CopyTest::SetUp();
    g_statuses.clear();
    g_progress.clear();
    krsd_ui_ops ops{status, progress, nullptr, nullptr};
    krsd_ui_set(&ops);
    g_now = 1000000;
    dd_clock_set(fake_clock);
    G = dd_job{};
    G.ibs = G.obs = DD_BLOCK_SIZE;
    G.begin_ms = g_now;
  }
};

TEST_F(ProgressTest, LineTextsAndAtMostOneASecond) {
  G.total_bytes = 52428800;  // 512 blocks in 4 s: 12.50 MB/S
  G.in_full = 512;
  G.count = 2048;
  g_now += 4000;
  dd_show_progress(G.count);
  ASSERT_EQ(g_statuses.size(), 1u);
  EXPECT_EQ(g_statuses[0], "52428800 bytes (50.0M), 12.50 MB/S, 剩余 12 秒, 25%");
  EXPECT_EQ(g_progress, std::vector<int>{25});

  g_now += 999;
  dd_show_progress(G.count);
  EXPECT_EQ(g_statuses.size(), 1u);
  g_now += 1;
  dd_show_progress(G.count);
  EXPECT_EQ(g_statuses.size(), 2u);

  // Without an input size: bytes and speed only; the bar is left alone.
  g_now += 1000;
  G.count = -1;
  dd_show_progress(-1);
  ASSERT_EQ(g_statuses.size(), 3u);
  EXPECT_EQ(g_statuses[2].rfind("52428800 bytes (50.0M), ", 0), 0u) << g_statuses[2];
  EXPECT_EQ(g_statuses[2].find('%'), std::string::npos);
  EXPECT_EQ(g_progress.size(), 2u);
}

TEST_F(ProgressTest, ResumedPercentCountsTheBlocksAlreadyThere) {
  G.flags = DD_RESUME;
  G.off_count = 50;
  G.all_count = 100;
  G.count = 50;
  G.in_full = 1;
  G.total_bytes = 102400;
  g_now += 1000;
  dd_show_progress(G.count);
  EXPECT_EQ(g_progress, std::vector<int>{51});
}

// A source that sends nothing for 3 s: the front end's timer says so, and
// stops saying it once a block comes.
TEST_F(ProgressTest, ASilentSourceIsShownAsWaiting) {
  dd_status_job(true);
  g_now += 2999;
  krsd_status_tick();
  EXPECT_TRUE(g_statuses.empty());
  g_now += 1;
  krsd_status_tick();
  ASSERT_EQ(g_statuses.size(), 1u);
  EXPECT_EQ(g_statuses[0].rfind("等待设备数据: 自 ", 0), 0u) << g_statuses[0];
  EXPECT_NE(g_statuses[0].find(" 起 3 秒没有数据"), std::string::npos) << g_statuses[0];
  G.count = 10;
  dd_show_progress(G.count);
  krsd_status_tick();
  EXPECT_EQ(g_statuses.size(), 2u);
  dd_status_job(false);
  g_now += 10000;
  krsd_status_tick();
  EXPECT_EQ(g_statuses.size(), 2u);
}

TEST_F(ProgressTest, NoSpeedYetAndNoElapsedTimeAreSafe) {
  // Nothing written yet: the remaining time is unknown, not a division by 0.
  G.count = 10;
  dd_show_progress(G.count);
  ASSERT_EQ(g_statuses.size(), 1u);
  EXPECT_EQ(g_statuses[0], "0 bytes (0), 0 B/S, 剩余 --, 0%");
  // Within the first millisecond the speed uses 0.001 s.
  g_now += 1000;
  G.begin_ms = g_now;
  G.total_bytes = 1000;
  G.in_part = 1;
  dd_show_progress(G.count);
  ASSERT_EQ(g_statuses.size(), 2u);
  EXPECT_EQ(g_statuses[1].rfind("1000 bytes (1000), 976.6 KB/S, ", 0), 0u) << g_statuses[1];
}

TEST_F(ProgressTest, StoppedJobGetsSummaryButNoDigestOrSuccess) {
  G.total_bytes = G.o_offset = 204800;
  G.in_size = 409600;
  g_now += 2000;
  dd_output_status(DD_STOPPED);
  EXPECT_TRUE(kit::log_has("204800 bytes (200.0k) copied, [2 seconds], 100.0 KB/S\n"))
      << kit::log_dump();
  EXPECT_EQ(kit::log_count_prefix("md5: "), 0);
  EXPECT_FALSE(kit::log_has("镜像文件成功完成!\n"));
  EXPECT_EQ(g_statuses, std::vector<std::string>{""});
  EXPECT_EQ(g_progress, std::vector<int>{0});
  EXPECT_TRUE(kit::log_has("镜像已停止: 镜像中有 204800 字节, 可以继续断点镜像\n")) << kit::log_dump();
  // A failure before any byte leaves no summary, only its outcome line.
  kit::log_clear();
  G.total_bytes = 0;
  dd_output_status(DD_OPEN_FAILED);
  EXPECT_EQ(kit::log_lines(), std::vector<std::string>{"镜像失败: 无法打开设备\n"});
}

TEST_F(CopyTest, OddBlockWithSwabIsLoggedAndTheJobGoesOn) {
  const std::string src = tmp_.file("src"), img = tmp_.file("img");
  kit::write_file(src, "abcde");
  auto o = run_job(src, img, 0, [] { G.flags |= DD_SWAB; });
  EXPECT_EQ(o.result, DD_DONE);
  EXPECT_EQ(kit::read_file(img), "badce");
  EXPECT_TRUE(kit::log_has("can't swab 5 byte buffer\n")) << kit::log_dump();
}

TEST_F(CopyTest, PresetCountCopiesThatManyBlocksAndNeedsAnInputSize) {
  const std::string src = tmp_.file("src"), img = tmp_.file("img");
  const std::string data = kit::pattern(500000);
  kit::write_file(src, data);
  auto o = run_job(src, img, 0, [] {
    G.flags |= DD_COUNT_PRESET;
    G.count = 2;
  });
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img), data.substr(0, 204800));

  // An endless source without a size cannot be counted in blocks of it.
  kit::log_clear();
  o = run_job("/dev/zero", img, 0, [] {
    G.flags |= DD_COUNT_PRESET;
    G.count = 2;
  });
  EXPECT_EQ(o.result, DD_FAILED);
  EXPECT_EQ(o.total_bytes, 0);
  EXPECT_TRUE(kit::log_has("[/dev/zero] count=2 needs an input of known size error\n"))
      << kit::log_dump();
}

TEST_F(CopyTest, TwoBufferModeCarriesTheTailIntoTheLastWrite) {
  const std::string src = tmp_.file("src"), img = tmp_.file("img");
  const std::string data = kit::pattern(250001);
  kit::write_file(src, data);
  auto o = run_job(src, img, 0, [] {
    G.obs = 65536;
    G.obuf = new uint8_t[65536];  // released by krsd_free_ctx
    G.flags |= DD_TWO_BUFFERS;
  });
  EXPECT_EQ(o.result, DD_DONE) << kit::log_dump();
  EXPECT_EQ(kit::read_file(img), data);
  EXPECT_TRUE(kit::log_has("md5: " + kt::md5_hex(data) + "\n"));
}

// The image's filesystem fills up: with a file-size limit (and SIGXFSZ
// ignored) the third block is written only in part and the rest fails.
TEST_F(CopyTest, FullOutputEndsTheJobAtOnce) {
  const std::string src = tmp_.file("src"), img = tmp_.file("img");
  const std::string data = kit::pattern(1048576);
  kit::write_file(src, data);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {250000, 250000};
    setrlimit(RLIMIT_FSIZE, &rl);
    kit::log_clear();
    auto o = run_job(src, img, 0);
    int bad = 0;
    if (o.result != DD_FAILED) bad |= 1;
    if (kit::log_count_prefix("writing '" + img + "' error [File too large]") != 1) bad |= 2;
    if (kit::log_count_prefix("read [") != 0) bad |= 4;
    if (kit::log_has("镜像文件成功完成!\n")) bad |= 8;
    // The summary counts what the image holds, the part of the third block too.
    if (o.total_bytes != 250000) bad |= 16;
    if (kit::log_count_prefix("250000 bytes (244.1k) copied, ") != 1) bad |= 32;
    _exit(bad);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_EQ(kit::read_file(img), data.substr(0, 250000));
}

// The hash threads take every block in order whatever the pace: blocks far
// smaller than the ring, queued faster than hashed, keep it full (the copy
// loop waits for a batch of buffers, the threads never for more blocks),
// blocks of a MiB give the smallest ring; both end with the digests and the
// mark of hashing on the calling thread.
TEST(HashRing, TakesEveryBlockInOrder) {
  constexpr int64_t kPiece = 1 << 20;
  const struct {
    int32_t block;
    size_t size;
  } rows[] = {{4096, 1000 * 4096 - 123}, {1 << 20, (size_t{12} << 20) + 5}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.block);
    const std::string data = kit::pattern(r.size, 7);
    dd_hashing ring(kPiece);
    std::unique_ptr<uint8_t[]> first(new uint8_t[static_cast<size_t>(r.block)]);
    ASSERT_TRUE(ring.start_threads(first.get(), r.block));
    uint8_t* buf = first.get();
    for (size_t at = 0; at < data.size(); at += static_cast<size_t>(r.block)) {
      const size_t n = std::min(static_cast<size_t>(r.block), data.size() - at);
      memcpy(buf, data.data() + at, n);
      buf = ring.submit(static_cast<int64_t>(n));
    }
    ring.drain();
    EXPECT_EQ(ring.hashed(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(dd_hex(ring.digests().md5), kt::md5_hex(data));
    EXPECT_EQ(dd_hex(ring.digests().sha256), kt::sha256_hex(data));
    dd_digests mark;
    ASSERT_TRUE(ring.mark(kPiece, &mark, false));
    EXPECT_EQ(dd_hex(mark.sha256), kt::sha256_hex(data.substr(0, kPiece)));
    EXPECT_EQ(ring.stop_threads(), first.get());
  }
}

}  // namespace
