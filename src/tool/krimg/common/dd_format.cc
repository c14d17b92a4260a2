// The image format of the job and the names of E01 images: the same in a
// build with libewf and in one without.
#include <mutex>

#include "dd_ewf.h"

namespace {

std::mutex g_format_mu;
dd_image_format g_format;  // guarded by g_format_mu

}  // namespace

void dd_format_set(const dd_image_format& f) {
  std::lock_guard<std::mutex> lock(g_format_mu);
  g_format = f;
}

dd_image_format dd_format_get() {
  std::lock_guard<std::mutex> lock(g_format_mu);
  return g_format;
}

bool dd_ewf_name(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".E01") == 0;
}
