// Images through the client's pipelined reads are byte-identical whatever
// the source does: unreadable ranges, a vanished device, a connection
// dropped at a random offset, a stall past the read time-out. One table of
// cases runs against krsd and against the test kit's strictly sequential
// daemon, which gives the client nothing but answers in request order.
#include <random>

#include "e2e_common.h"
#include "seq_daemon.h"

namespace e2e {
namespace {

using krsd_test::Faults;

constexpr int64_t kBlock = 102400;

struct FaultCase {
  std::string name;
  size_t size;
  Faults faults;
  std::string query;  // options of the source URL
  bool tls;           // krsd only: the test daemon speaks plain TCP
  int status;         // krimg's exit status
};

// Bad ranges cover whole blocks, so that the image holds the same zeros
// whether a bad block is zero-filled whole or salvaged sector by sector.
std::vector<FaultCase> fault_cases(uint32_t seed) {
  std::mt19937 rng(seed);
  auto between = [&](int64_t lo, int64_t hi) { return lo + int64_t(rng() % uint64_t(hi - lo)); };
  Faults bad;
  bad.bad = {{2 * kBlock, kBlock}, {5 * kBlock, 2 * kBlock}};
  Faults vanish;
  vanish.vanish_at = 10 * kBlock + 5000;
  Faults drop_early, drop_late, stall;
  drop_early.drop_after = between(50000, 600000);
  drop_late.drop_after = between(1000000, 2500000);
  stall.stall_after = between(300000, 1500000);
  stall.stall_ms = 5000;
  const size_t odd = (3 << 20) + 777;  // not a whole number of blocks
  return {
      {"clean", odd, {}, "", false, 0},
      {"clean over TLS", odd, {}, "", true, 0},
      {"bad blocks", 2000000, bad, "", false, 0},
      {"bad blocks, no codec", 2000000, bad, "pack=none", false, 0},
      {"bad blocks over TLS", 2000000, bad, "", true, 0},
      {"vanished device", 2000000, vanish, "", false, 1},
      {"early drop", odd, drop_early, "", false, 0},
      {"late drop", odd, drop_late, "", false, 0},
      {"stall past the time-out", odd, stall, "read-timeout=2", false, 0},
  };
}

class Pipeline : public E2e {
 protected:
  void run_table(bool sequential) {
    const uint32_t seed = std::random_device{}();
    for (const FaultCase& c : fault_cases(seed)) {
      if (sequential && c.tls) continue;
      SCOPED_TRACE(c.name + " (seed " + std::to_string(seed) + ")");
      device(c.size, uint32_t(c.size));
      std::unique_ptr<krsd_test::SeqDaemon> seq;
      std::string source;
      if (sequential) {
        seq = std::make_unique<krsd_test::SeqDaemon>(img_, c.faults);
        ASSERT_GT(seq->port(), 0);
        source = "krp://127.0.0.1:" + std::to_string(seq->port()) + "/dev/rdisk0s1s2";
        if (!c.query.empty()) source += "?" + c.query;
      } else {
        d_.kill_now();
        serve(c.faults.krsd_args());
        source = url(c.query, c.tls);
      }
      ToolRun r = acquire(source);
      auto want = data_;
      for (const auto& b : c.faults.bad)
        std::fill(want.begin() + b.off, want.begin() + std::min<int64_t>(b.off + b.len, int64_t(want.size())), 0);
      if (c.status == 0) {
        expect_identical(r, want);
        continue;
      }
      EXPECT_EQ(r.status, c.status) << r.log;
      EXPECT_EQ(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
      auto got = krsd_test::read_file(out_);
      EXPECT_LE(int64_t(got.size()), c.faults.vanish_at);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << "the image is not a prefix of the device";
    }
  }
};

TEST_F(Pipeline, FaultCasesAgainstKrsd) { run_table(false); }
TEST_F(Pipeline, FaultCasesAgainstStrictlySequentialDaemon) { run_table(true); }

}  // namespace
}  // namespace e2e
