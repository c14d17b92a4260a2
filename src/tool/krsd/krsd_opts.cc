#include "krsd_opts.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A daemon left running after the examiner went would serve the device to
// whoever comes next; half an hour covers a pause between two jobs.
constexpr int kExitIdleDefault = 30 * 60;

const char kHelp[] =
    "usage: krsd [options]\n"
    "Serves files and devices over the krp protocol (TCP 6688, TLS 6686).\n"
    "\n"
    "  -d                  daemonise: return to the shell at once, keep serving;\n"
    "                      prints the TLS certificate's SHA-256 fingerprint\n"
    "  --listen ADDR       listen on this IPv4/IPv6 address (default: all)\n"
    "  --port N            plain port (default 6688; 0 = a free port)\n"
    "  --tls-port N        TLS port (default 6686; 0 = TLS off; any = a free port)\n"
    "  --cert FILE         TLS certificate (PEM or DER); default: a self-signed\n"
    "  --key FILE          TLS private key (PEM or DER)   one made at start-up\n"
    "  --root DIR          serve requested path P from DIR/P; nothing outside DIR\n"
    "  --map PATH=FILE     serve FILE for the requested PATH (repeatable)\n"
    "  --user U            required login user (default: any login accepted)\n"
    "  --password P        required login password\n"
    "  --read-only         the default: refuse every open for writing, write,\n"
    "                      truncate and sync of a written file (errno 30)\n"
    "  --read-write        serve writes too (tests)\n"
    "  --allow ADDR        serve only connections from ADDR (repeatable); default:\n"
    "                      every address, or only the SSH session's when started\n"
    "                      from one and without --listen\n"
    "  --port-file FILE    write the bound ports and the process id, one per line:\n"
    "                      \"port N\", \"tls-port N\" (-1 when off), \"pid N\",\n"
    "                      \"tls-sha256 HEX\" (with TLS)\n"
    "  --max-conn N        concurrent connections (default 16)\n"
    "  --idle-timeout S    close a connection silent for S seconds (default 300)\n"
    "  --exit-idle S       end after S seconds without a connection (0 = never;\n"
    "                      default 1800 with -d, else never)\n"
    "  --sock-buf N        socket send/receive buffer bytes (default: kernel)\n"
    "  --log FILE          append the daemon's log to FILE\n"
    "  -v                  log every request\n"
    "  -h, --help          this text\n"
    "\n"
    "Fault injection (tests):\n"
    "  --bad-range OFF:LEN reads touching [OFF, OFF+LEN) fail with errno 5 (repeatable)\n"
    "  --vanish-at OFF     reads reaching OFF or beyond fail with errno 6\n"
    "  --drop-after N[,once]\n"
    "                      close a connection once N response bytes were sent\n"
    "                      (on every connection, or only the first with ,once)\n"
    "  --stall-after N:MS[,once]\n"
    "                      stop answering for MS ms once N response bytes were sent\n"
    "\n"
    "Sizes take a k, m or g suffix (1024-based) or 0x hex. The environment\n"
    "variable KRSD_ARGS holds further options, taken before the command line.\n"
    "Login answers os_type 2 (a POSIX daemon). File types of the file\n"
    "information: 1 regular file, 2 block device, 3 character device, 4 other.\n";

bool parse_int(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Splits "A<sep>B" at the first separator.
bool split(const std::string& text, char sep, std::string* a, std::string* b) {
  size_t p = text.find(sep);
  if (p == std::string::npos) return false;
  *a = text.substr(0, p);
  *b = text.substr(p + 1);
  return true;
}

// Strips a trailing ",once" and reports whether it was there.
bool strip_once(std::string* text) {
  const char kOnce[] = ",once";
  size_t n = sizeof(kOnce) - 1;
  if (text->size() >= n && text->compare(text->size() - n, n, kOnce) == 0) {
    text->resize(text->size() - n);
    return true;
  }
  return false;
}

}  // namespace

const char* krsd_opts_help() { return kHelp; }

bool krsd_parse_addr(const std::string& text, krsd_addr* out) {
  std::string t = text;
  if (t.size() > 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
  // A link-local peer's zone names an interface of the host that wrote it.
  size_t zone = t.find('%');
  if (zone != std::string::npos && t.find(':') != std::string::npos) t.resize(zone);
  krsd_addr r;
  in_addr a4;
  in6_addr a6;
  if (inet_pton(AF_INET, t.c_str(), &a4) == 1) {
    r.bytes[10] = r.bytes[11] = 0xff;
    memcpy(r.bytes.data() + 12, &a4, 4);
  } else if (inet_pton(AF_INET6, t.c_str(), &a6) == 1) {
    memcpy(r.bytes.data(), &a6, 16);
  } else {
    return false;
  }
  *out = r;
  return true;
}

int krsd_opts_settle(krsd_opts* opts, const char* ssh_connection, const char* ssh_client,
                     std::string* err) {
  if (opts->exit_idle_s < 0) opts->exit_idle_s = opts->daemonize ? kExitIdleDefault : 0;
  opts->allow_from_session = false;
  if (!opts->allow.empty() || !opts->listen.empty()) return 0;
  const char* name = "SSH_CONNECTION";
  const char* text = ssh_connection;
  if (text == nullptr || *text == '\0') {
    name = "SSH_CLIENT";
    text = ssh_client;
  }
  if (text == nullptr || *text == '\0') return 0;
  // "CLIENT-ADDRESS CLIENT-PORT ..." in both.
  std::string all = text;
  std::string addr = all.substr(0, all.find(' '));
  krsd_addr parsed;
  if (!krsd_parse_addr(addr, &parsed)) {
    if (all.size() > 80) all = all.substr(0, 80) + "...";
    *err = std::string("cannot tell the SSH session's address from ") + name + "='" + all +
           "'; name the examiner's with --allow ADDR, or --listen ADDR to serve every peer";
    return -1;
  }
  opts->allow.push_back(addr);
  opts->allow_from_session = true;
  return 0;
}

int64_t krsd_parse_size(const std::string& text) {
  if (text.empty()) return -1;
  errno = 0;
  char* end = nullptr;
  unsigned long long v;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    v = strtoull(text.c_str() + 2, &end, 16);
  } else {
    if (text[0] < '0' || text[0] > '9') return -1;
    v = strtoull(text.c_str(), &end, 10);
  }
  if (errno != 0 || end == text.c_str()) return -1;
  unsigned shift = 0;
  switch (*end) {
    case '\0': break;
    case 'k': case 'K': shift = 10; end++; break;
    case 'm': case 'M': shift = 20; end++; break;
    case 'g': case 'G': shift = 30; end++; break;
    default: return -1;
  }
  if (*end != '\0') return -1;
  if (v > (static_cast<unsigned long long>(INT64_MAX) >> shift)) return -1;
  return static_cast<int64_t>(v << shift);
}

int krsd_opts_parse(int argc, const char* const* argv, const char* env_args,
                    krsd_opts* opts, std::string* err) {
  std::vector<std::string> words;
  if (env_args != nullptr) {
    std::string cur;
    for (const char* p = env_args;; p++) {
      if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\n') {
        if (!cur.empty()) words.push_back(cur);
        cur.clear();
        if (*p == '\0') break;
      } else {
        cur += *p;
      }
    }
  }
  for (int i = 1; i < argc; i++) words.emplace_back(argv[i]);

  *opts = krsd_opts{};
  bool tls_off = false;
  for (size_t i = 0; i < words.size(); i++) {
    std::string w = words[i];
    std::string val;
    // "--opt=value" is the same as "--opt value".
    bool inline_val = false;
    if (w.rfind("--", 0) == 0) {
      size_t eq = w.find('=');  // "--map=PATH=FILE" splits at the first '='
      if (eq != std::string::npos) {
        val = w.substr(eq + 1);
        w.resize(eq);
        inline_val = true;
      }
    }
    auto need = [&](std::string* out) -> bool {
      if (inline_val) {
        *out = val;
        return true;
      }
      if (i + 1 >= words.size()) {
        *err = "option " + w + " needs a value";
        return false;
      }
      *out = words[++i];
      return true;
    };
    auto bad = [&](const std::string& v) {
      *err = "bad value for " + w + ": '" + v + "'";
      return -1;
    };
    int64_t n = 0;
    std::string v, a, b;

    if (w == "-h" || w == "--help") {
      *err = kHelp;
      return 1;
    } else if (w == "-d") {
      opts->daemonize = true;
    } else if (w == "-v") {
      opts->verbose = true;
    } else if (w == "--read-only") {
      opts->read_only = true;
    } else if (w == "--read-write") {
      opts->read_only = false;
    } else if (w == "--allow") {
      if (!need(&v)) return -1;
      krsd_addr unused;
      if (!krsd_parse_addr(v, &unused)) return bad(v);
      opts->allow.push_back(v);
    } else if (w == "--listen") {
      if (!need(&v)) return -1;
      opts->listen = v;
    } else if (w == "--port") {
      if (!need(&v)) return -1;
      if (!parse_int(v, 0, 65535, &n)) return bad(v);
      opts->port = static_cast<int>(n);
    } else if (w == "--tls-port") {
      if (!need(&v)) return -1;
      if (v == "any") {
        opts->tls_port = 0;
        tls_off = false;
      } else {
        if (!parse_int(v, 0, 65535, &n)) return bad(v);
        tls_off = n == 0;
        opts->tls_port = static_cast<int>(n);
      }
    } else if (w == "--cert") {
      if (!need(&v)) return -1;
      opts->cert = v;
    } else if (w == "--key") {
      if (!need(&v)) return -1;
      opts->key = v;
    } else if (w == "--root") {
      if (!need(&v)) return -1;
      if (v.empty()) return bad(v);
      opts->root = v;
    } else if (w == "--map") {
      if (!need(&v)) return -1;
      if (!split(v, '=', &a, &b) || a.empty() || b.empty()) return bad(v);
      opts->maps.push_back({a, b});
    } else if (w == "--user") {
      if (!need(&v)) return -1;
      opts->user = v;
      opts->require_login = true;
    } else if (w == "--password") {
      if (!need(&v)) return -1;
      opts->password = v;
      opts->require_login = true;
    } else if (w == "--port-file") {
      if (!need(&v)) return -1;
      opts->port_file = v;
    } else if (w == "--max-conn") {
      if (!need(&v)) return -1;
      if (!parse_int(v, 1, 1024, &n)) return bad(v);
      opts->max_conn = static_cast<int>(n);
    } else if (w == "--idle-timeout") {
      if (!need(&v)) return -1;
      if (!parse_int(v, 1, 86400, &n)) return bad(v);
      opts->idle_timeout_s = static_cast<int>(n);
    } else if (w == "--exit-idle") {
      if (!need(&v)) return -1;
      if (!parse_int(v, 0, 30 * 86400, &n)) return bad(v);
      opts->exit_idle_s = static_cast<int>(n);
    } else if (w == "--sock-buf") {
      if (!need(&v)) return -1;
      n = krsd_parse_size(v);
      if (n < 0 || n > (256 << 20)) return bad(v);
      opts->sock_buf = static_cast<int>(n);
    } else if (w == "--log") {
      if (!need(&v)) return -1;
      opts->log_file = v;
    } else if (w == "--bad-range") {
      if (!need(&v)) return -1;
      if (!split(v, ':', &a, &b)) return bad(v);
      krsd_range r{krsd_parse_size(a), krsd_parse_size(b)};
      if (r.off < 0 || r.len <= 0 || r.off > INT64_MAX - r.len) return bad(v);
      opts->bad.push_back(r);
    } else if (w == "--vanish-at") {
      if (!need(&v)) return -1;
      n = krsd_parse_size(v);
      if (n < 0) return bad(v);
      opts->vanish_at = n;
    } else if (w == "--drop-after") {
      if (!need(&v)) return -1;
      std::string t = v;
      opts->drop_once = strip_once(&t);
      n = krsd_parse_size(t);
      if (n < 0) return bad(v);
      opts->drop_after = n;
    } else if (w == "--stall-after") {
      if (!need(&v)) return -1;
      std::string t = v;
      opts->stall_once = strip_once(&t);
      int64_t ms = 0;
      if (!split(t, ':', &a, &b)) return bad(v);
      n = krsd_parse_size(a);
      if (n < 0 || !parse_int(b, 1, 3600 * 1000, &ms)) return bad(v);
      opts->stall_after = n;
      opts->stall_ms = static_cast<int>(ms);
    } else {
      *err = "unknown option '" + w + "' (see krsd --help)";
      return -1;
    }
  }
  if (tls_off) opts->tls_port = -1;
  if (!opts->cert.empty() != !opts->key.empty()) {
    *err = "--cert and --key go together";
    return -1;
  }
  return 0;
}
