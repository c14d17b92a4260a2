#include <cstddef>
#include <cstring>
#include <string>

#include "krsd_client.h"
#include "os/os_log.h"
#include "os/os_safe.h"
#include "sd_internal.h"
#include "tb_file.h"
#include "tb_url.h"

#define KR_LOG_SRC "src\\lib\\libkrsd\\sd_ops"

static_assert(offsetof(krsd_file_info, type) == offsetof(tb_file_devinfo, ioerr));
static_assert(offsetof(krsd_file_info, size) == offsetof(tb_file_devinfo, size));
static_assert(offsetof(krsd_file_info, offset) == offsetof(tb_file_devinfo, offset));
static_assert(offsetof(krsd_file_info, sector_bytes) == offsetof(tb_file_devinfo, sector_bytes));

namespace {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

const char* find_nocase(const char* text, const char* key) {
  size_t k = strlen(key);
  if (k == 0) return text;
  for (const char* p = text; *p; p++) {
    size_t i = 0;
    while (i < k && p[i] && lower(p[i]) == lower(key[i])) i++;
    if (i == k) return p;
  }
  return nullptr;
}

krsd_client* as_ctx(void* ctx) { return static_cast<krsd_client*>(ctx); }

std::string lowered(std::string text) {
  for (char& c : text) c = lower(c);
  return text;
}

// Whether the key of an item ("key=value") names something of TLS or
// pinning ("ssl_sha256", "sha256", "SSL-Cipher"), punctuation aside.
bool names_security(const std::string& item) {
  std::string letters;
  for (char c : lowered(item.substr(0, item.find('='))))
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) letters += c;
  for (const char* word : {"ssl", "tls", "sha", "cipher", "pin", "cert", "fingerprint"})
    if (letters.find(word) != std::string::npos) return true;
  return false;
}

// The security options of the query, read item by item ("&"-separated):
// one that is empty, given twice or misspelt would otherwise be passed over,
// and the session would go on unpinned, or with suites other than asked.
// Each fills its field from its own item, never from a match inside another
// option's value. The other options are read as always. false, after the
// error line and the reason for the open line, when one is refused.
bool take_security_options(const char* query, krsd_cli_opts* opts) {
  static const char* const kOthers[] = {"user", "passwd", "bs", "pack", "connect-timeout", "read-timeout"};
  struct Option {
    const char* key;
    char* field;
    size_t size;
    bool seen;
  } security[] = {{"ssl-sha256", opts->ssl_sha256, sizeof opts->ssl_sha256, false},
                  {"ssl-cipher", opts->cipher, sizeof opts->cipher, false}};
  const std::string q = query;
  for (size_t from = 0; from <= q.size();) {
    size_t to = q.find('&', from);
    if (to == std::string::npos) to = q.size();
    const std::string item = q.substr(from, to - from);
    from = to + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string key = lowered(item.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    bool other = false;
    for (const char* k : kOthers) other = other || key == k;
    if (other) continue;
    Option* o = nullptr;
    for (Option& s : security)
      if (key == s.key) o = &s;
    if (!o) {
      // Also "x=ssl-sha256=...": an option that slipped into another's value.
      if (!names_security(item) && !(value.find('=') != std::string::npos && names_security(value))) continue;
      char shown[64];
      os_printable_copy(shown, sizeof shown, item.substr(0, eq).c_str());
      KR_LOG(OS_LOG_ERR,
             "option error: [%s] is no option of a krp URL (its TLS options are ssl-sha256= and "
             "ssl-cipher=), connection refused\n",
             shown);
      sd_open_failed("%s is no option of a krp URL", shown);
      return false;
    }
    const char* why = nullptr;
    if (o->seen)
      why = "is given more than once";
    else if (value.empty())
      why = "has no value";
    else if (value.size() >= o->size)
      why = "is too long";
    if (why) {
      KR_LOG(OS_LOG_ERR, "%s error: the option %s, connection refused\n", o->key, why);
      sd_open_failed("%s %s", o->key, why);
      return false;
    }
    o->seen = true;
    memcpy(o->field, value.c_str(), value.size() + 1);
  }
  return true;
}

void* drv_open(const char* path, int mode) { return krsd_file_init(path, mode); }

// Closing always succeeds: the remote file is gone with the session either way.
int drv_close(void* ctx) {
  krsd_cli_close(as_ctx(ctx));
  krsd_cli_exit(as_ctx(ctx));
  return 1;
}

long drv_read(void* ctx, void* buf, size_t size) { return krsd_cli_read(as_ctx(ctx), buf, size); }
long drv_write(void* ctx, const void* buf, size_t size) { return krsd_cli_write(as_ctx(ctx), buf, size); }
int drv_sync(void* ctx) { return krsd_cli_sync(as_ctx(ctx)) == 0; }
int drv_truncate(void* ctx, int64_t length) { return krsd_cli_truncate(as_ctx(ctx), length) == 0; }
int64_t drv_seek(void* ctx, int64_t offset, int whence) { return krsd_cli_seek(as_ctx(ctx), offset, whence); }

// Sizes and positions always come from the daemon.
int64_t drv_offset(void* ctx) {
  krsd_file_info info{};
  if (krsd_cli_ioctl(as_ctx(ctx), KRSD_IOCTL_FINFO, &info, sizeof(info)) != 0) return -1;
  return info.offset;
}

int64_t drv_size(void* ctx) {
  krsd_file_info info{};
  if (krsd_cli_ioctl(as_ctx(ctx), KRSD_IOCTL_FINFO, &info, sizeof(info)) != 0) return -1;
  return info.size;
}

int drv_ctrl(void* ctx, int code, void* arg, size_t arg_size) {
  if (code == KRSD_IOCTL_FINFO) {
    if (!arg) return 0;
    krsd_file_info info{};
    if (krsd_cli_ioctl(as_ctx(ctx), KRSD_IOCTL_FINFO, &info, sizeof(info)) != 0) return 0;
    // The caller's record gets as much of the information as it has room for.
    memcpy(arg, &info, arg_size < sizeof(info) ? arg_size : sizeof(info));
    return 1;
  }
  if (code == TB_FILE_CTRL_LAST_ERROR) {
    // Answered from the session; never sent to the daemon.
    if (!arg || !arg_size) return 0;
    krsd_cli_failure_text(as_ctx(ctx), static_cast<char*>(arg), arg_size);
    return 1;
  }
  if (code == TB_FILE_CTRL_PEER_SHA256) {
    // Answered from the session; never sent to the daemon.
    const char* fp = krsd_cli_peer_sha256(as_ctx(ctx));
    if (!arg || arg_size < 65 || !fp || strlen(fp) != 64) return 0;
    memcpy(arg, fp, 65);
    return 1;
  }
  // The daemon has no such request: nothing goes on the wire for it.
  if (code == TB_FILE_CTRL_WRITEBACK) return 0;
  if (code == TB_FILE_CTRL_READ_PIECES)
    return arg && arg_size >= sizeof(tb_file_pieces) &&
           krsd_cli_read_pieces(as_ctx(ctx), static_cast<tb_file_pieces*>(arg));
  if (code == KRSD_IOCTL_IOERR && (!arg || arg_size < sizeof(int32_t))) return 0;
  return krsd_cli_ioctl(as_ctx(ctx), code, arg, int(arg_size)) == 0;
}

const tb_file_driver kKrpDriver = {
    "krp",      drv_open, drv_close,  drv_read, drv_write, nullptr, nullptr, nullptr, nullptr,
    nullptr,    nullptr,  nullptr,    drv_sync, drv_truncate, drv_seek, drv_offset, drv_size, drv_ctrl,
};

}  // namespace

const tb_file_driver* krsd_file_driver() { return &kKrpDriver; }

void krsd_url_opt_get(const char* query, const char* key, char* field, size_t size) {
  if (!query || !key || !field || size == 0) return;
  const char* p = find_nocase(query, key);
  if (!p) return;
  p += strlen(key);
  size_t n = strcspn(p, "&");
  if (n == 0) return;
  if (n > size - 1) n = size - 1;
  memcpy(field, p, n);
  field[n] = 0;
}

krsd_client* krsd_file_init(const char* path, int mode) {
  KR_LOG(OS_LOG_DEBUG, "file=%s mode=%d\n", path ? path : "", mode);
  sd_open_failed("%s", "");
  krsd_cli_opts opts;
  memset(&opts, 0, sizeof(opts));
  tb_url_t url;
  if (!tb_url_init(&url)) {
    sd_open_failed("out of memory");
    return nullptr;
  }
  if (!path || !tb_url_text_set(&url, path)) {
    sd_open_failed("%s", *tb_url_refusal() ? tb_url_refusal() : "not a krp URL");
    tb_url_exit(&url);
    return nullptr;
  }
  if (const char* q = tb_url_args(&url)) {
    krsd_url_opt_get(q, "user=", opts.user, sizeof(opts.user));
    krsd_url_opt_get(q, "passwd=", opts.passwd, sizeof(opts.passwd));
    krsd_url_opt_get(q, "bs=", opts.bs, sizeof(opts.bs));
    krsd_url_opt_get(q, "pack=", opts.pack, sizeof(opts.pack));
    krsd_url_opt_get(q, "connect-timeout=", opts.connect_timeout, sizeof(opts.connect_timeout));
    krsd_url_opt_get(q, "read-timeout=", opts.read_timeout, sizeof(opts.read_timeout));
    if (!take_security_options(q, &opts)) {
      tb_url_exit(&url);
      return nullptr;
    }
  }
  opts.bssl = tb_url_ssl(&url) ? 1 : 0;
  const char* rpath = tb_url_path(&url);
  krsd_client* ctx = krsd_cli_connect_open(tb_url_host(&url), tb_url_port(&url), &opts, rpath ? rpath : "", mode);
  tb_url_exit(&url);
  return ctx;
}
