// The sidecar parser over arbitrary bytes: what it accepts must be records
// in strictly increasing order that print back to lines it accepts again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dd_sidecar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const dd_sidecar_data parsed = dd_sidecar_parse(text);
  if (!parsed.error.empty() && !parsed.records.empty()) abort();
  std::string again = dd_sidecar_header();
  int64_t last = 0;
  for (const auto& r : parsed.records) {
    if (r.end <= last) abort();
    last = r.end;
    again += dd_sidecar_line(r);
  }
  if (parsed.error.empty()) {
    const dd_sidecar_data second = dd_sidecar_parse(again);
    if (!second.error.empty() || second.records.size() != parsed.records.size()) abort();
    for (size_t i = 0; i < second.records.size(); ++i)
      if (second.records[i].end != parsed.records[i].end || !(second.records[i].d == parsed.records[i].d))
        abort();
  }
  return 0;
}
