// Runs a job of the engine on the calling thread, as the worker would.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "krdd.h"

namespace kt {

struct job_outcome {
  int result = -1;
  int64_t total_bytes = 0, i_offset = 0, o_offset = 0, in_size = 0;
  int64_t count = 0, off_count = 0, all_count = 0, in_full = 0, in_part = 0;
  int32_t flags = 0;
  std::vector<dd_range> bad_ranges;
};

// Sets the job up with krsd_job_setup, lets tweak change G (the retry pause
// is 0 unless tweak sets it), runs krdd_work and releases the job.
job_outcome run_job(const std::string& source, const std::string& target, int resume,
                    const std::function<void()>& tweak = {});

}  // namespace kt
