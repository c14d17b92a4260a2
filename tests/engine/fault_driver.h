// A file driver registered in the file layer's one free slot under the name
// "krp", so that a krp:// source reaches it instead of a device. It serves
// plan.data and injects the faults of the plan on demand.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kt {

struct fault_plan {
  std::string data;                 // the device's bytes
  int64_t report_size = -1;         // size to report; -1: data.size()
  std::vector<int64_t> bad_blocks;  // a read covering one of these offsets fails with a data error
  bool short_before_bad = false;    // ... unless it starts before the offset's sector: it then
                                    // returns the bytes up to that sector, as a disk does
  int64_t gone_at = -1;             // a read at or past this offset: the device vanished
  std::vector<int64_t> drop_at;     // each: one read at or past it loses the connection
  int64_t end_early_at = -1;        // reads at or past this offset return 0 ...
  int end_early_times = 0;          // ... this many times (-1: always)
  int open_failures = 0;            // opens that fail before one succeeds
  int max_opens = -1;               // opens after this many fail
  long short_read = 0;              // > 0: no read returns more than this
  int64_t stop_at = -1;             // a read at or past this offset calls krsd_stop()
  int read_delay_us = 0;            // pause in every read
  bool sync_fails = false;          // an output opened for writing cannot be synced
  bool writeback_fails = false;     // ... nor be given a writeback hint
  int64_t seek_elsewhere = 0;       // a seek to a non-zero offset lands this much further
  bool pieces = false;              // reads a bad block's pieces all at once, as a remote source
                                    // does (TB_FILE_CTRL_READ_PIECES); a lost connection fails it whole
};

// What was written to an output opened through the driver, and the ranges
// of its writeback hints ({offset, size}), in order.
extern std::string g_written;
extern std::vector<std::pair<int64_t, int64_t>> g_writebacks;

// Set before a job, read by the driver on the job's thread.
extern fault_plan g_plan;
extern std::atomic<int> g_opens;
extern std::atomic<int64_t> g_high_water;  // highest offset served so far
extern std::atomic<int> g_sector_reads;    // plain reads of at most a sector (pieces one by one)

// Registers the driver (once per process; before krsd_init).
void fault_driver_register();
void fault_reset();

// The fixture of the tests that read through the driver: the file layer up
// with the driver registered, log lines captured, no user interface and an
// empty plan before each test.
class FaultDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
};

}  // namespace kt
