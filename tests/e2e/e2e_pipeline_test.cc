// Images through the client's pipelined reads are byte-identical whatever
// the source does: unreadable ranges (salvaged in pieces of a sector kept in
// flight together), a vanished device, a connection dropped at a random
// offset or inside a salvage, a stall past the read time-out. One table of
// cases runs against krsd and against the test kit's strictly sequential
// daemon, which gives the client nothing but answers in request order.
#include <nlohmann/json.hpp>

#include <algorithm>
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
  bool in_salvage = false;  // the drop or stall hits the pieces of a bad block
};

// Salvage answers of 512-byte pieces (without a codec, about 670 bytes a
// piece): 70000 bytes after those of the blocks before block 5 lie past the
// failed reads that were in flight and within the 200 pieces of the block.
constexpr int64_t kInSalvage = 5 * kBlock + 70000;

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
  // The first and the last piece of a block, the first and the last (short)
  // piece of the source's last, short block.
  Faults edges;
  edges.bad = {{3 * kBlock, 10}, {6 * kBlock - 1, 1}, {30 * kBlock + 100, 1}, {int64_t(odd) - 5, 5}};
  Faults mib;
  mib.bad = {{kBlock + 300, 1 << 20}};
  Faults drop_salvage, stall_salvage;
  drop_salvage.bad = stall_salvage.bad = {{5 * kBlock + 300, 10}};
  drop_salvage.drop_after = stall_salvage.stall_after = kInSalvage;
  stall_salvage.stall_ms = 3000;
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
      {"bad sectors at block edges", odd, edges, "", false, 0},
      {"a bad MiB", odd, mib, "", false, 0},
      {"a bad MiB over TLS", odd, mib, "", true, 0},
      {"drop inside a salvage", odd, drop_salvage, "pack=none", false, 0, true},
      {"stall inside a salvage", odd, stall_salvage, "pack=none&read-timeout=2", false, 0, true},
  };
}

// The sectors a bad range touches, clipped to the source, merged: what the
// image holds as zeros and its report names.
std::vector<std::pair<int64_t, int64_t>> zeroed(const Faults& f, int64_t size) {
  std::vector<std::pair<int64_t, int64_t>> runs;
  for (const auto& b : f.bad)
    runs.emplace_back(b.off / 512 * 512, std::min((b.off + b.len + 511) / 512 * 512, size));
  std::sort(runs.begin(), runs.end());
  std::vector<std::pair<int64_t, int64_t>> merged;
  for (const auto& r : runs) {
    if (!merged.empty() && r.first <= merged.back().second)
      merged.back().second = std::max(merged.back().second, r.second);
    else
      merged.push_back(r);
  }
  return merged;
}

class Pipeline : public E2e {
 protected:
  void run_table(bool sequential) {
    const uint32_t seed = std::random_device{}();
    for (const FaultCase& c : fault_cases(seed)) {
      if (sequential && c.tls) continue;
      SCOPED_TRACE(c.name + " (seed " + std::to_string(seed) + ")");
      device(c.size, uint32_t(c.size));
      if (!c.faults.bad.empty()) {
        // Every zero of the image then marks a read that failed.
        std::replace(data_.begin(), data_.end(), uint8_t(0), uint8_t(0x5a));
        ASSERT_TRUE(kit::write_file(img_, data_));
      }
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
      const auto zeros = zeroed(c.faults, int64_t(want.size()));
      for (const auto& [from, to] : zeros) std::fill(want.begin() + from, want.begin() + to, 0);
      if (c.status == 0) {
        expect_identical(r, want);
        auto report = nlohmann::json::parse(kit::read_file(out_ + ".json"), nullptr, false);
        ASSERT_FALSE(report.is_discarded());
        EXPECT_EQ(report["image"]["unreadable"], nlohmann::json(zeros)) << report.dump(2);
        if (c.in_salvage) {
          // One piece read failed with the connection, and the job's retry
          // salvaged the block again.
          EXPECT_EQ(kit::count_of(r.log, " bs=512 ioerr=0 error"), 1u) << r.log;
          EXPECT_EQ(report["runs"].back()["retries"].size(), 1u) << report.dump(2);
        }
        continue;
      }
      EXPECT_EQ(r.status, c.status) << r.log;
      EXPECT_EQ(r.log.find("镜像文件成功完成!"), std::string::npos) << r.log;
      auto got = kit::read_bytes(out_);
      EXPECT_LE(int64_t(got.size()), c.faults.vanish_at);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << "the image is not a prefix of the device";
    }
  }
};

TEST_F(Pipeline, FaultCasesAgainstKrsd) { run_table(false); }
TEST_F(Pipeline, FaultCasesAgainstStrictlySequentialDaemon) { run_table(true); }

}  // namespace
}  // namespace e2e
