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
    "  --idle-timeout S    close a connection without a request for S seconds\n"
    "                      (default 300)\n"
    "  --login-timeout S   close a connection not logged in S seconds after it\n"
    "                      came (the TLS handshake and the login; default 30)\n"
    "  --request-timeout S close a connection whose request does not come in\n"
    "                      whole, or whose answer is not taken in, within S\n"
    "                      seconds (default 60)\n"
    "  --mem-limit N       memory for request bodies and answers of all\n"
    "                      connections together, beyond 512k each (default 64m,\n"
    "                      at least 24m); what goes beyond waits or is refused\n"
    "                      (errno 12)\n"
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

namespace {

// What the parser carries between options: "--tls-port 0" turns TLS off
// only once every option was read (a later "--tls-port any" turns it on).
struct Parse {
  krsd_opts* opts;
  bool tls_off = false;
};

// How an option takes its word: a switch sets a flag, a text is kept as
// given, a number is checked against its bounds, a value goes through its
// own rule (false: a bad value).
enum class Kind { Help, Switch, Text, Number, Value };

struct Option {
  const char* name;
  Kind kind;
  bool krsd_opts::*flag = nullptr;  // Switch: set to on
  bool on = true;
  std::string krsd_opts::*text = nullptr;  // Text
  int krsd_opts::*number = nullptr;        // Number, within [lo, hi]
  int64_t lo = 0, hi = 0;
  bool (*value)(Parse&, const std::string&) = nullptr;  // Value
};

bool set_allow(Parse& p, const std::string& v) {
  krsd_addr unused;
  if (!krsd_parse_addr(v, &unused)) return false;
  p.opts->allow.push_back(v);
  return true;
}

bool set_tls_port(Parse& p, const std::string& v) {
  int64_t n = 0;
  if (v == "any") {
    p.opts->tls_port = 0;
    p.tls_off = false;
    return true;
  }
  if (!parse_int(v, 0, 65535, &n)) return false;
  p.tls_off = n == 0;
  p.opts->tls_port = static_cast<int>(n);
  return true;
}

bool set_root(Parse& p, const std::string& v) {
  if (v.empty()) return false;
  p.opts->root = v;
  return true;
}

bool set_map(Parse& p, const std::string& v) {
  std::string a, b;
  if (!split(v, '=', &a, &b) || a.empty() || b.empty()) return false;
  p.opts->maps.push_back({a, b});
  return true;
}

bool set_user(Parse& p, const std::string& v) {
  p.opts->user = v;
  p.opts->require_login = true;
  return true;
}

bool set_password(Parse& p, const std::string& v) {
  p.opts->password = v;
  p.opts->require_login = true;
  return true;
}

bool set_mem_limit(Parse& p, const std::string& v) {
  int64_t n = krsd_parse_size(v);
  // At least what one connection's largest read or write takes.
  if (n < (24 << 20) || n > (int64_t(1) << 30)) return false;
  p.opts->mem_limit = n;
  return true;
}

bool set_sock_buf(Parse& p, const std::string& v) {
  int64_t n = krsd_parse_size(v);
  if (n < 0 || n > (256 << 20)) return false;
  p.opts->sock_buf = static_cast<int>(n);
  return true;
}

bool set_bad_range(Parse& p, const std::string& v) {
  std::string a, b;
  if (!split(v, ':', &a, &b)) return false;
  krsd_range r{krsd_parse_size(a), krsd_parse_size(b)};
  if (r.off < 0 || r.len <= 0 || r.off > INT64_MAX - r.len) return false;
  p.opts->bad.push_back(r);
  return true;
}

bool set_vanish_at(Parse& p, const std::string& v) {
  int64_t n = krsd_parse_size(v);
  if (n < 0) return false;
  p.opts->vanish_at = n;
  return true;
}

bool set_drop_after(Parse& p, const std::string& v) {
  std::string t = v;
  p.opts->drop_once = strip_once(&t);
  int64_t n = krsd_parse_size(t);
  if (n < 0) return false;
  p.opts->drop_after = n;
  return true;
}

bool set_stall_after(Parse& p, const std::string& v) {
  std::string t = v, a, b;
  p.opts->stall_once = strip_once(&t);
  int64_t ms = 0;
  if (!split(t, ':', &a, &b)) return false;
  int64_t n = krsd_parse_size(a);
  if (n < 0 || !parse_int(b, 1, 3600 * 1000, &ms)) return false;
  p.opts->stall_after = n;
  p.opts->stall_ms = static_cast<int>(ms);
  return true;
}

constexpr int64_t kDay = 86400;

const Option kOptions[] = {
    {.name = "-h", .kind = Kind::Help},
    {.name = "--help", .kind = Kind::Help},
    {.name = "-d", .kind = Kind::Switch, .flag = &krsd_opts::daemonize},
    {.name = "-v", .kind = Kind::Switch, .flag = &krsd_opts::verbose},
    {.name = "--read-only", .kind = Kind::Switch, .flag = &krsd_opts::read_only},
    {.name = "--read-write", .kind = Kind::Switch, .flag = &krsd_opts::read_only, .on = false},
    {.name = "--allow", .kind = Kind::Value, .value = set_allow},
    {.name = "--listen", .kind = Kind::Text, .text = &krsd_opts::listen},
    {.name = "--port", .kind = Kind::Number, .number = &krsd_opts::port, .lo = 0, .hi = 65535},
    {.name = "--tls-port", .kind = Kind::Value, .value = set_tls_port},
    {.name = "--cert", .kind = Kind::Text, .text = &krsd_opts::cert},
    {.name = "--key", .kind = Kind::Text, .text = &krsd_opts::key},
    {.name = "--root", .kind = Kind::Value, .value = set_root},
    {.name = "--map", .kind = Kind::Value, .value = set_map},
    {.name = "--user", .kind = Kind::Value, .value = set_user},
    {.name = "--password", .kind = Kind::Value, .value = set_password},
    {.name = "--port-file", .kind = Kind::Text, .text = &krsd_opts::port_file},
    {.name = "--max-conn", .kind = Kind::Number, .number = &krsd_opts::max_conn, .lo = 1, .hi = 1024},
    {.name = "--idle-timeout", .kind = Kind::Number, .number = &krsd_opts::idle_timeout_s, .lo = 1,
     .hi = kDay},
    {.name = "--login-timeout", .kind = Kind::Number, .number = &krsd_opts::login_timeout_s, .lo = 1,
     .hi = kDay},
    {.name = "--request-timeout", .kind = Kind::Number, .number = &krsd_opts::request_timeout_s,
     .lo = 1, .hi = kDay},
    {.name = "--mem-limit", .kind = Kind::Value, .value = set_mem_limit},
    {.name = "--exit-idle", .kind = Kind::Number, .number = &krsd_opts::exit_idle_s, .lo = 0,
     .hi = 30 * kDay},
    {.name = "--sock-buf", .kind = Kind::Value, .value = set_sock_buf},
    {.name = "--log", .kind = Kind::Text, .text = &krsd_opts::log_file},
    {.name = "--bad-range", .kind = Kind::Value, .value = set_bad_range},
    {.name = "--vanish-at", .kind = Kind::Value, .value = set_vanish_at},
    {.name = "--drop-after", .kind = Kind::Value, .value = set_drop_after},
    {.name = "--stall-after", .kind = Kind::Value, .value = set_stall_after},
};

const Option* find_option(const std::string& name) {
  for (const Option& o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// The words of KRSD_ARGS (split at blanks), then the command line's.
std::vector<std::string> option_words(int argc, const char* const* argv, const char* env_args) {
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
  return words;
}

// Applies one option whose value (when it takes one) is v: 0, or -1 with
// the reason in err.
int apply_option(const Option& o, const std::string& v, Parse* p, std::string* err) {
  int64_t n = 0;
  switch (o.kind) {
    case Kind::Help:
      break;
    case Kind::Switch:
      p->opts->*o.flag = o.on;
      return 0;
    case Kind::Text:
      p->opts->*o.text = v;
      return 0;
    case Kind::Number:
      if (!parse_int(v, o.lo, o.hi, &n)) break;
      p->opts->*o.number = static_cast<int>(n);
      return 0;
    case Kind::Value:
      if (!o.value(*p, v)) break;
      return 0;
  }
  *err = std::string("bad value for ") + o.name + ": '" + v + "'";
  return -1;
}

}  // namespace

int krsd_opts_parse(int argc, const char* const* argv, const char* env_args,
                    krsd_opts* opts, std::string* err) {
  const std::vector<std::string> words = option_words(argc, argv, env_args);
  *opts = krsd_opts{};
  Parse p{opts};
  for (size_t i = 0; i < words.size(); i++) {
    std::string w = words[i];
    std::string v;
    // "--opt=value" is the same as "--opt value".
    bool inline_val = false;
    if (w.rfind("--", 0) == 0) {
      size_t eq = w.find('=');  // "--map=PATH=FILE" splits at the first '='
      if (eq != std::string::npos) {
        v = w.substr(eq + 1);
        w.resize(eq);
        inline_val = true;
      }
    }
    const Option* o = find_option(w);
    if (!o) {
      *err = "unknown option '" + w + "' (see krsd --help)";
      return -1;
    }
    if (o->kind == Kind::Help) {
      *err = kHelp;
      return 1;
    }
    if (o->kind != Kind::Switch && !inline_val) {
      if (i + 1 >= words.size()) {
        *err = "option " + w + " needs a value";
        return -1;
      }
      v = words[++i];
    }
    if (apply_option(*o, v, &p, err) != 0) return -1;
  }
  if (p.tls_off) opts->tls_port = -1;
  if (!opts->cert.empty() != !opts->key.empty()) {
    *err = "--cert and --key go together";
    return -1;
  }
  return 0;
}
