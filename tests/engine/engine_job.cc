#include "engine_job.h"

#include <gtest/gtest.h>

namespace kt {

job_outcome run_job(const std::string& source, const std::string& target, int resume,
                    const std::function<void()>& tweak) {
  job_outcome o;
  if (krsd_job_setup(source.c_str(), target.c_str(), resume) != 0) {
    ADD_FAILURE() << "job set-up failed";
    return o;
  }
  G.retry_pause = 0;
  if (tweak) tweak();
  o.result = krdd_work();
  o.total_bytes = G.total_bytes;
  o.i_offset = G.i_offset;
  o.o_offset = G.o_offset;
  o.in_size = G.in_size;
  o.count = G.count;
  o.off_count = G.off_count;
  o.all_count = G.all_count;
  o.in_full = G.in_full;
  o.in_part = G.in_part;
  o.flags = G.flags;
  o.bad_ranges = G.bad_ranges;
  krsd_free_ctx();
  return o;
}

}  // namespace kt
