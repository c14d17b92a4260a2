// A build without libewf (KRII_E01=OFF): the format is known, every image
// of it is refused with the reason.
#include "dd_ewf.h"

namespace {

const char kOff[] = "[E01] this program was built without libewf error";

}  // namespace

bool dd_ewf_available() { return false; }
bool dd_ewf_is_image(const std::string&) { return false; }
int32_t dd_ewf_sector_for(int64_t, int32_t source_sector) { return source_sector > 0 ? source_sector : 512; }
bool dd_ewf_compressible(int64_t, int32_t) { return true; }
std::vector<std::string> dd_ewf_later_segments(const std::string&) { return {}; }
bool dd_ewf_remove_later_segments(const std::string&, std::string*) { return true; }

struct dd_ewf_writer::impl {};
dd_ewf_writer::dd_ewf_writer() = default;
dd_ewf_writer::~dd_ewf_writer() = default;
bool dd_ewf_writer::open(const std::string&, const dd_ewf_params&, std::string* error) {
  *error = kOff;
  return false;
}
bool dd_ewf_writer::write(const uint8_t*, int64_t) { return false; }
bool dd_ewf_writer::flush() { return false; }
bool dd_ewf_writer::finish(const dd_digests&, const std::vector<dd_range>&) { return false; }
std::string dd_ewf_writer::error() const { return kOff; }
void dd_ewf_writer::run() {}
void dd_ewf_writer::fail(const std::string&) {}

struct dd_ewf_reader::impl {};
dd_ewf_reader::dd_ewf_reader() = default;
dd_ewf_reader::~dd_ewf_reader() = default;
bool dd_ewf_reader::open(const std::string&, std::string* error) {
  *error = kOff;
  return false;
}
long dd_ewf_reader::read(uint8_t*, size_t, std::string* error) {
  *error = kOff;
  return -1;
}
