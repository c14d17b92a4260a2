// Pipelined reads give the caller exactly what one request at a time gives:
// one script of block reads, reads of other sizes, seeks, position and size
// queries, reads that fail and reads of a block in pieces of a sector, run
// through the krp driver against krsd and against the test kit's strictly
// sequential daemon, checked against the file itself. The sequential daemon
// also shows that reads went ahead, that what was read ahead was given back
// before the position was asked, and that each piece was a seek and a read.
#include <gtest/gtest.h>

#include <algorithm>

#include "krsd_client.h"
#include "krsd_test_util.h"
#include "seq_daemon.h"
#include "tb_file.h"
#include "tb_init.h"

namespace {

constexpr int64_t kBlock = 102400;
constexpr int64_t kBad = 20 * kBlock + 600;  // ten unreadable bytes in block 20

class ReadAhead : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tb_init(nullptr, nullptr, 0, 0);
    krsd_cli_lib_init();
  }

  // Runs the script on the file at url; every step is checked against data.
  void script(const std::string& url, const std::vector<uint8_t>& data) {
    tb_file_ref_t f = tb_file_init(url.c_str(), FILE_MODE_READ);
    ASSERT_NE(f, nullptr) << url;
    const int64_t size = int64_t(data.size());
    int64_t pos = 0;
    std::vector<uint8_t> buf(kBlock);
    auto read = [&](int64_t n, int times = 1) {
      for (int i = 0; i < times; i++) {
        SCOPED_TRACE("read " + std::to_string(n) + " at " + std::to_string(pos));
        long r = tb_file_read(f, buf.data(), size_t(n));
        ASSERT_EQ(r, std::min(n, size - pos));
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + r, data.begin() + pos));
        pos += r;
      }
    };
    auto read_fails = [&](int64_t n) {
      SCOPED_TRACE("failing read at " + std::to_string(pos));
      EXPECT_EQ(tb_file_read(f, buf.data(), size_t(n)), -1);
      int32_t cls = -1;
      EXPECT_NE(tb_file_ctrl(f, TB_FILE_CTRL_IOERR, &cls, sizeof cls), 0);
      EXPECT_EQ(cls, IOERR_DATA);
      EXPECT_EQ(tb_file_offset(f), pos) << "a failed read leaves the position";
    };
    auto seek = [&](int64_t to) {
      ASSERT_EQ(tb_file_seek(f, to, 0), to);
      pos = to;
    };
    // n bytes from pos in pieces of 512: only the piece of the bad bytes
    // fails, those past the end are short; the file stands after them.
    auto pieces = [&](int64_t n) {
      SCOPED_TRACE("pieces of " + std::to_string(n) + " at " + std::to_string(pos));
      std::vector<tb_file_piece> out(size_t(n / 512 + 2));
      tb_file_pieces p{buf.data(), pos, int32_t(n), 512, out.data(), int32_t(out.size()), 0, 0, 0};
      ASSERT_NE(tb_file_ctrl(f, TB_FILE_CTRL_READ_PIECES, &p, sizeof p), 0);
      ASSERT_EQ(p.result, 0);
      int32_t i = 0;
      for (int64_t at = pos; at < pos + n; at = (at / 512 + 1) * 512, ++i) {
        ASSERT_LT(i, p.done);
        const int64_t want = std::max<int64_t>(0, std::min({(at / 512 + 1) * 512, pos + n, size}) - at);
        if (at < kBad + 10 && kBad < at + 512) {
          EXPECT_EQ(out[size_t(i)].result, -1);
          EXPECT_EQ(out[size_t(i)].ioerr, IOERR_DATA);
          continue;
        }
        ASSERT_EQ(out[size_t(i)].result, want) << at;
        ASSERT_TRUE(std::equal(buf.begin() + (at - pos), buf.begin() + (at - pos) + want, data.begin() + at));
      }
      EXPECT_EQ(p.done, i);
      EXPECT_EQ(p.position, pos + n);
      EXPECT_EQ(tb_file_offset(f), p.position);
      pos = std::min(pos + n, size);
    };
    read(kBlock, 8);
    EXPECT_EQ(tb_file_offset(f), pos);
    read(kBlock, 3);
    read(5000);
    read(kBlock, 4);
    seek(19 * kBlock);
    read(kBlock, 1);
    EXPECT_EQ(tb_file_read(f, buf.data(), size_t(kBlock)), -1);
    pieces(kBlock);  // with the reads sent ahead still to come
    read(kBlock, 3);
    seek(20 * kBlock);
    read_fails(kBlock);
    read_fails(kBlock);  // the same read again, without a seek
    // Sector by sector, as a salvage of the block reads it.
    read(512);
    read_fails(512);
    seek(pos + 512);
    read(512, 3);
    seek(size - 700);
    pieces(1000);  // across the end
    seek(21 * kBlock);
    while (pos + kBlock <= size && !HasFatalFailure()) read(kBlock);
    read(size - pos);  // the tail, shorter than the reads in flight
    EXPECT_EQ(tb_file_offset(f), size);
    read(kBlock);  // at the end: 0 bytes
    EXPECT_EQ(tb_file_size(f), size);
    EXPECT_NE(tb_file_close(f), 0);
  }

  kit::TempDir dir_;
};

TEST_F(ReadAhead, ScriptGivesWhatSingleRequestsGive) {
  const std::vector<uint8_t> data = kit::mixed_bytes((3 << 20) + 1234, 11);
  const std::string img = dir_.file("img");
  ASSERT_TRUE(kit::write_file(img, data));
  krsd_test::Faults faults;
  faults.bad = {{kBad, 10}};
  for (const char* query : {"", "?pack=none"}) {
    SCOPED_TRACE(query);
    krsd_test::Daemon d;
    std::vector<std::string> args = faults.krsd_args();
    args.insert(args.end(), {"--map", "/img=" + img});
    ASSERT_TRUE(d.start(args));
    script("krp://127.0.0.1:" + std::to_string(d.port) + "/img" + query, data);
    script("krps://127.0.0.1:" + std::to_string(d.tls_port) + "/img" + query, data);

    krsd_test::SeqDaemon seq(img, faults);
    script("krp://127.0.0.1:" + std::to_string(seq.port()) + "/img" + query, data);
    int reads = 0, given_back = 0, pieces = 0;
    const auto seen = seq.seen();
    for (size_t i = 0; i < seen.size(); i++) {
      const auto& r = seen[i];
      reads += r.cmd == KRSD_CMD_READ;
      given_back += r.cmd == KRSD_CMD_SEEK && r.b == 1 && r.a < 0;
      // The block's pieces in order, each the seek to it and the read of it.
      if (r.cmd == KRSD_CMD_SEEK && r.b == 0 && r.a == 20 * kBlock + 512 * pieces && i + 1 < seen.size() &&
          seen[i + 1].cmd == KRSD_CMD_READ && seen[i + 1].a == 512)
        pieces++;
    }
    const int calls = 8 + 3 + 1 + 4 + 1 + 1 + 3 + 2 + 1 + 1 + 3 + 10 + 1;  // the script's reads
    EXPECT_GT(reads, calls) << "no read went ahead";
    EXPECT_GT(given_back, 0) << "what was read ahead was not given back";
    EXPECT_EQ(pieces, kBlock / 512);
  }
}

}  // namespace
