// End to end against a hostile daemon: the test kit's daemon answering with
// lies of the real protocol. Whatever it answers, krimg never ends with the
// success line, says which operation failed, exits with a failure, and no
// control character of the daemon's texts reaches its log raw.
#include <algorithm>

#include "e2e_common.h"
#include "krp_wire.h"
#include "seq_daemon.h"

namespace e2e {
namespace {

using krsd_test::Faults;
using krsd_test::Lies;

// A newline, a forged outcome line, a window title, a screen clear, a C1
// control sequence introducer, a byte that is no UTF-8 and a paragraph
// separator (a new line in the dialog's log).
const std::string kForged = "\n09:00:01 镜像文件成功完成!\x1b]0;owned\x07\x1b[2J\r\xc2\x9b\xff\xe2\x80\xa9";
const std::string kShown =
    "\\n09:00:01 镜像文件成功完成!\\x1b]0;owned\\x07\\x1b[2J\\r\\xc2\\x9b\\xff\\xe2\\x80\\xa9";

// The raw control characters of a log: any C0 but the line end, DEL, C1
// (U+0080..U+009F, two bytes in UTF-8), the paragraph separator, 0xFF.
size_t raw_controls(const std::string& log) {
  size_t n = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    const auto c = static_cast<unsigned char>(log[i]);
    const auto next = i + 1 < log.size() ? static_cast<unsigned char>(log[i + 1]) : 0;
    n += (c < 0x20 && c != '\n') || c == 0x7f || c == 0xff || (c == 0xc2 && next >= 0x80 && next < 0xa0) ||
         log.compare(i, 3, "\xe2\x80\xa9") == 0;
  }
  return n;
}

TEST_F(E2e, AHostileDaemonNeverYieldsASuccess) {
  // Off the grid of the resume's sample, so that the sample seeks.
  constexpr int64_t kResumeAt = (1 << 20) + 12345;
  constexpr int64_t kSize = 3 * kResumeAt + 4321;
  struct Row {
    const char* name;
    Lies lies;
    Faults faults;
    bool resume;       // continue an image of the device's first kResumeAt bytes
    int status;
    std::string line;  // what the log must hold
  };
  Faults drop;
  drop.drop_after = 5 * 102400;
  Faults bad;
  bad.bad = {{5 * 102400 + 100, 10}};
  // Every request of cmd fails with err and the forged text.
  auto fails = [](int cmd, int err) { return Lies{.fail_cmd = cmd, .fail_errno = err, .errno_text = kForged}; };
  const Row rows[] = {
      // At the bad block the reads sent ahead are given back.
      {"the read-ahead's seek back lands elsewhere", {.seek_skew = 1000}, bad, false, 1, " landed at "},
      {"seek lands elsewhere on a resume", {.seek_skew = 1000}, {}, true, 1,
       " error:Stream cannot be positioned there\n"},
      {"seek lands elsewhere on the retry", {.seek_skew = 1000}, drop, false, 1,
       " error:Stream cannot be positioned there\n"},
      {"read error text", fails(KRSD_CMD_READ, EINVAL), {}, false, 3,
       "offset=0 bs=102400 ioerr=3 error [" + kShown + "]\n"},
      {"seek error text", fails(KRSD_CMD_SEEK, EINVAL), {}, true, 1, "errno=22 [" + kShown + "]\n"},
      {"open error text", fails(KRSD_CMD_OPEN, ENOENT), {}, false, 2, " error [" + kShown + "]\n"},
      {"login refusal text", fails(KRSD_CMD_INIT, EACCES), {}, false, 2,
       "error [login refused: " + kShown + "]\n"},
      {"codec refusal text", fails(KRSD_CMD_IOCTL, EINVAL), {}, false, 2,
       "error [codec lz4 refused: " + kShown + "]\n"},
      {"read answer beyond what was asked", {.read_extra = 1000}, {}, false, 3,
       "error [the daemon's data does not unpack]\n"},
      {"read answer shorter than its length", {.len_short = 1000}, {}, false, 3,
       "error [the daemon's answer is malformed]\n"},
      {"size 0 that delivers data", {.size = 0}, {}, false, 1,
       "] size=0 but the source delivers data: not the device's partition error\n"},
  };
  device(kSize, 3);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char* ext : {"", ".krii", ".json", ".txt", ".log"}) std::remove((out_ + ext).c_str());
    if (row.resume) {
      const std::vector<uint8_t> head(data_.begin(), data_.begin() + kResumeAt);
      ASSERT_TRUE(kit::write_file(out_, head));
      std::ofstream(out_ + ".krii", std::ios::trunc) << "krii-pieces 2\nsource " << data_.size() << "\n"
                                                     << kResumeAt << " " << md5_hex(head) << " "
                                                     << sha256_hex(head) << "\n";
    }
    krsd_test::SeqDaemon hostile(img_, row.faults, row.lies);
    ASSERT_GT(hostile.port(), 0);
    const std::string source = "krp://127.0.0.1:" + std::to_string(hostile.port()) + "/dev/rdisk0s1s2";
    ToolRun r = acquire(source, row.resume ? "--resume" : "--restart");
    EXPECT_EQ(r.status, row.status) << r.log;
    EXPECT_NE(r.log.find(row.line), std::string::npos) << r.log;
    const std::string job_log = kit::read_file(out_ + ".log");
    for (const std::string& log : {r.log, job_log}) {
      EXPECT_EQ(kit::count_of(log, "镜像文件成功完成!"), kit::count_of(log, "\\n09:00:01 镜像文件成功完成!")) << log;
      EXPECT_EQ(raw_controls(log), 0u) << log;
    }
    // Whatever reached the image is the device's.
    const auto got = kit::read_bytes(out_);
    EXPECT_TRUE(got.size() <= data_.size() && std::equal(got.begin(), got.end(), data_.begin()))
        << "the image holds bytes that are not the device's";
  }
}

}  // namespace
}  // namespace e2e
