// The URL parser over arbitrary bytes: probe, parse, rebuild and parse the
// rebuilt text again; plus the path normaliser and device naming on the same
// text (no file is opened).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tb_file.h"
#include "tb_path.h"
#include "tb_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');

  int probed = tb_url_protocol_probe(text.data());
  if (probed < 1 || probed > 7) abort();

  tb_url_t url;
  tb_url_init(&url);
  if (tb_url_text_set(&url, text.data())) {
    const char* path = tb_url_path(&url);
    // A local name is the system's name as written, backslashes included,
    // absolute unless it is one of the device forms; the path of a URL is
    // "/"-separated.
    if (path && url.local && path[0] != '/' && !tb_path_device_form(path)) abort();
    if (path && !url.local && (path[0] != '/' || std::strchr(path, '\\'))) abort();
    int protocol = tb_url_protocol(&url);
    const char* rebuilt = tb_url_text(&url);
    // A drive text can rebuild to a bare drive ("D:/?" gives "D://"), which
    // does not parse again; every other rebuilt text must.
    if (rebuilt && protocol != TB_URL_PROTOCOL_DATA && !url.drive) {
      std::vector<char> again(rebuilt, rebuilt + std::strlen(rebuilt) + 1);
      tb_url_t second;
      tb_url_init(&second);
      if (!tb_url_text_set(&second, again.data())) abort();
      if (tb_url_protocol(&second) != protocol) abort();
      tb_url_text(&second);
      tb_url_exit(&second);
    }
    tb_url_protocol_text(&url);
  } else if (tb_url_protocol(&url) != TB_URL_PROTOCOL_NONE || tb_url_host(&url)) {
    abort();  // a failed parse leaves the url cleared
  }
  tb_url_exit(&url);

  // The normaliser on the text, in its own buffer and in a tight one.
  if (size < 4096) {
    std::vector<char> buf(text);
    tb_path_normalise(buf.data(), buf.size());
    std::vector<char> tight(text);
    tb_path_normalise(tight.data(), size / 2 + 1);
    char abs[4096];
    tb_path_absolute(text.data(), abs, sizeof abs);
  }
  char name[4096], driver[16];
  tb_file_device_name(text.data(), name, sizeof name, driver, sizeof driver);
  return 0;
}
