// URL parsing, rebuilding and the scheme probe. Every text is untrusted:
// the parser works on a copy cut to 4095 characters.
#include "tb_url.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "krp_wire.h"
#include "tb_path.h"

namespace {

struct scheme {
  const char* prefix;
  int protocol;
  bool secure;
};

// The probe and the parser each have their own order. No prefix is the
// start of another one ("http://" is not the start of "https://"), so the
// order never changes the answer; it only fixes the comparisons made.
const scheme kProbeOrder[] = {
    {"http://", TB_URL_PROTOCOL_HTTP, false},  {"sock://", TB_URL_PROTOCOL_SOCK, false},
    {"file://", TB_URL_PROTOCOL_FILE, false},  {"data://", TB_URL_PROTOCOL_DATA, false},
    {"https://", TB_URL_PROTOCOL_HTTP, true},  {"socks://", TB_URL_PROTOCOL_SOCK, true},
    {"rtsp://", TB_URL_PROTOCOL_RTSP, false},  {"sql://", TB_URL_PROTOCOL_SQL, false},
    {"krp://", TB_URL_PROTOCOL_KRP, false},    {"krps://", TB_URL_PROTOCOL_KRP, true},
};
const scheme kParseOrder[] = {
    {"http://", TB_URL_PROTOCOL_HTTP, false},  {"sock://", TB_URL_PROTOCOL_SOCK, false},
    {"file://", TB_URL_PROTOCOL_FILE, false},  {"rtsp://", TB_URL_PROTOCOL_RTSP, false},
    {"data://", TB_URL_PROTOCOL_DATA, false},  {"https://", TB_URL_PROTOCOL_HTTP, true},
    {"socks://", TB_URL_PROTOCOL_SOCK, true},  {"sql://", TB_URL_PROTOCOL_SQL, false},
    {"krp://", TB_URL_PROTOCOL_KRP, false},    {"krps://", TB_URL_PROTOCOL_KRP, true},
};

const char* const kNames[] = {nullptr, "file", "sock", "http", "data", "rtsp", "sql", "krp"};

bool has_prefix_ci(const char* text, const char* prefix) {
  return tb_path_prefix_ci(text, prefix);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool has_host(int protocol) {
  return protocol == TB_URL_PROTOCOL_SOCK || protocol == TB_URL_PROTOCOL_HTTP ||
         protocol == TB_URL_PROTOCOL_RTSP || protocol == TB_URL_PROTOCOL_SQL ||
         protocol == TB_URL_PROTOCOL_KRP;
}

// Host part starting at p; returns where the host ends (after "]").
const char* parse_host(const char* p, std::string* host) {
  const char* q = p;
  if (*p == '[') {
    ++p;
    q = p;
    while (*q && *q != ']') ++q;
    host->assign(p, q);
    if (*q == ']') ++q;
    return q;
  }
  while (*q && !is_space(*q) && *q != '&' && *q != '/' && *q != ':' && *q != '?' && *q != '\\')
    ++q;
  host->assign(p, q);
  return q;
}

// Path part: returns where it ends (at "?" or the end).
const char* parse_path(const char* p, std::string* path) {
  path->clear();
  while (is_space(*p)) ++p;
  if (*p != '/' && *p != '\\') *path += '/';
  for (; *p && *p != '?'; ++p) *path += (*p == '\\') ? '/' : *p;
  return p;
}

void parse_args(const char* p, std::string* args) {
  while (is_space(*p) || *p == '?') ++p;
  args->assign(p);
}

// The port of a URL, at p (after ":"): a decimal number from 1 to 65535
// that the host's separators end. Anything else names no port the
// examiner can have meant, and connecting to a guess would read another
// source; false then. *end is where the port ends.
bool parse_port(const char* p, uint16_t* port, const char** end) {
  uint32_t value = 0;
  const char* q = p;
  for (; *q >= '0' && *q <= '9'; ++q) {
    value = value * 10 + static_cast<uint32_t>(*q - '0');
    if (value > 65535) return false;
  }
  if (q == p || value == 0 || (*q && *q != '/' && *q != '?' && !is_space(*q))) return false;
  *port = static_cast<uint16_t>(value);
  *end = q;
  return true;
}

// A host that was written in brackets and is no IPv6 address keeps them
// when the text is rebuilt where they are needed to read it back: without
// them, the rest after a ':' would be read as the port.
bool needs_brackets(const std::string& host) {
  return host.find(':') != std::string::npos || (!host.empty() && host[0] == '[');
}

thread_local const char* t_refusal = "";

bool refuse(tb_url_t* url, const char* why) {
  tb_url_clear(url);
  t_refusal = why;
  errno = EINVAL;
  return false;
}

void set_addr_from_host(tb_url_t* url) {
  uint16_t port = tb_ipaddr_port(&url->addr);
  tb_ipaddr_clear(&url->addr);
  if (!url->host.empty()) tb_ipaddr_ip_text_set(&url->addr, url->host.c_str(), 0);
  tb_ipaddr_port_set(&url->addr, port);
}

}  // namespace

bool tb_url_init(tb_url_t* url) {
  if (!url) return false;
  url->protocol = TB_URL_PROTOCOL_NONE;
  url->secure = 0;
  url->drive = 0;
  url->drive_letter = 0;
  url->local = false;
  tb_ipaddr_clear(&url->addr);
  std::string().swap(url->host);
  std::string().swap(url->path);
  std::string().swap(url->args);
  std::string().swap(url->cache);
  return true;
}

void tb_url_exit(tb_url_t* url) {
  if (!url) return;
  std::string().swap(url->host);
  std::string().swap(url->path);
  std::string().swap(url->args);
  std::string().swap(url->cache);
}

void tb_url_clear(tb_url_t* url) {
  if (!url) return;
  url->protocol = TB_URL_PROTOCOL_NONE;
  url->secure = 0;
  url->drive = 0;
  url->drive_letter = 0;
  url->local = false;
  tb_ipaddr_clear(&url->addr);
  url->host.clear();
  url->path.clear();
  url->args.clear();
  url->cache.clear();
}

int tb_url_protocol_probe(const char* text) {
  if (!text) return TB_URL_PROTOCOL_NONE;
  for (const scheme& s : kProbeOrder)
    if (has_prefix_ci(text, s.prefix)) return s.protocol;
  return TB_URL_PROTOCOL_FILE;
}

const char* tb_url_refusal() { return t_refusal; }

bool tb_url_text_set(tb_url_t* url, const char* text) {
  t_refusal = "";
  if (!url || !text) return false;
  tb_url_clear(url);

  std::string work(text, strnlen(text, TB_PATH_MAXN - 1));
  for (char& c : work)
    if (c == '\\') c = '/';

  const char* rest = nullptr;
  for (const scheme& s : kParseOrder) {
    if (has_prefix_ci(work.c_str(), s.prefix)) {
      url->protocol = s.protocol & 0x3f;
      url->secure = s.secure;
      rest = work.c_str() + std::strlen(s.prefix);
      break;
    }
  }

  if (!rest) {
    // A local name is taken whole, as the system will open it: it has no
    // query, and none of its characters is rewritten.
    if (!tb_path_local_name(text, &url->path)) {
      tb_url_clear(url);
      return false;
    }
    url->protocol = TB_URL_PROTOCOL_FILE;
    url->local = true;
    return true;
  }
  // A file URL names one file or none: a query would be dropped from the
  // name, so a different file would be opened than the one written.
  if (url->protocol == TB_URL_PROTOCOL_FILE && std::strchr(rest, '?'))
    return refuse(url, "a file URL names one file and takes no query");
  if (url->protocol == TB_URL_PROTOCOL_FILE) {
    std::string name(rest);
    if (!tb_path_percent_decode(&name))
      return refuse(url, "a file URL's % starts no escape of two hex digits, or one of byte 0");
  }
  if (!*rest) {
    tb_url_clear(url);
    return false;
  }

  const char* p = rest;
  if (has_host(url->protocol)) {
    p = parse_host(p, &url->host);
    if (!url->host.empty()) tb_ipaddr_ip_text_set(&url->addr, url->host.c_str(), 0);
    uint16_t port;
    if (*p == ':') {
      if (!parse_port(p + 1, &port, &p))
        return refuse(url, "invalid port: not a decimal number from 1 to 65535");
    } else if (url->protocol == TB_URL_PROTOCOL_HTTP) {
      port = url->secure ? 443 : 80;
    } else if (url->protocol == TB_URL_PROTOCOL_KRP) {
      port = url->secure ? KRSD_SSL_PORT : KRSD_PORT;
    } else {
      port = 0;
    }
    tb_ipaddr_port_set(&url->addr, port);
  }

  if (url->protocol == TB_URL_PROTOCOL_DATA) {
    while (is_space(*p) || *p == '/' || *p == '\\') ++p;
    const char* q = p;
    while (*q && !is_space(*q)) ++q;
    url->cache.assign(p, q);
    return true;
  }

  p = parse_path(p, &url->path);
  if (*p == '?') parse_args(p, &url->args);
  return true;
}

const char* tb_url_text(tb_url_t* url) {
  if (!url) return nullptr;
  if (!url->cache.empty()) return url->cache.c_str();
  std::string out;
  switch (url->protocol) {
    case TB_URL_PROTOCOL_FILE:
      if (url->path.empty()) return nullptr;
      if (url->local) {
        // The local name itself
      } else if (url->drive) {
        char head[8];
        std::snprintf(head, sizeof head, "%c:/", url->drive_letter);
        out = head;
      } else {
        out = url->secure ? "files://" : "file://";
      }
      out += url->path;
      break;
    case TB_URL_PROTOCOL_SOCK:
    case TB_URL_PROTOCOL_HTTP:
    case TB_URL_PROTOCOL_RTSP:
    case TB_URL_PROTOCOL_KRP: {
      uint16_t port = tb_ipaddr_port(&url->addr);
      if (!port || url->host.empty()) return nullptr;
      out = kNames[url->protocol];
      if (url->secure) out += 's';
      out += "://";
      bool v6 = url->addr.family == TB_IPADDR_FAMILY_IPV6 || needs_brackets(url->host);
      if (v6) out += '[';
      out += url->host;
      if (v6) out += ']';
      bool http_default =
          url->protocol == TB_URL_PROTOCOL_HTTP && port == (url->secure ? 443 : 80);
      if (!http_default) out += ":" + std::to_string(port);
      out += url->path;
      if (!url->args.empty()) out += "?" + url->args;
      break;
    }
    case TB_URL_PROTOCOL_SQL: {
      out = "sql://";
      uint16_t port = tb_ipaddr_port(&url->addr);
      if (!url->host.empty()) {
        out += needs_brackets(url->host) ? "[" + url->host + "]" : url->host;
        if (port) out += ":" + std::to_string(port);
      }
      out += url->path;
      if (!url->args.empty()) out += "?" + url->args;
      break;
    }
    default:  // data and none: the cache as it is
      return nullptr;
  }
  url->cache = std::move(out);
  return url->cache.c_str();
}

int tb_url_protocol(const tb_url_t* url) { return url ? static_cast<int>(url->protocol) : 0; }
bool tb_url_ssl(const tb_url_t* url) { return url && url->secure; }
uint16_t tb_url_port(const tb_url_t* url) { return url ? tb_ipaddr_port(&url->addr) : 0; }
const tb_ipaddr_t* tb_url_addr(const tb_url_t* url) { return url ? &url->addr : nullptr; }
const char* tb_url_host(const tb_url_t* url) {
  return (url && !url->host.empty()) ? url->host.c_str() : nullptr;
}
const char* tb_url_path(const tb_url_t* url) {
  return (url && !url->path.empty()) ? url->path.c_str() : nullptr;
}
const char* tb_url_args(const tb_url_t* url) {
  return (url && !url->args.empty()) ? url->args.c_str() : nullptr;
}

void tb_url_port_set(tb_url_t* url, uint16_t port) {
  if (!url) return;
  tb_ipaddr_port_set(&url->addr, port);
  url->cache.clear();
}

// Keeps the port: only the address part follows the new host.
void tb_url_host_set(tb_url_t* url, const char* host) {
  if (!url) return;
  url->host.clear();
  if (host) {
    std::string work(host, strnlen(host, TB_PATH_MAXN - 1));
    parse_host(work.c_str(), &url->host);
  }
  set_addr_from_host(url);
  url->cache.clear();
}

void tb_url_path_set(tb_url_t* url, const char* path) {
  if (!url) return;
  url->path.clear();
  if (path && *path) {
    std::string work(path, strnlen(path, TB_PATH_MAXN - 1));
    parse_path(work.c_str(), &url->path);
  }
  url->cache.clear();
}

void tb_url_args_set(tb_url_t* url, const char* args) {
  if (!url) return;
  url->args.clear();
  if (args) {
    std::string work(args, strnlen(args, TB_PATH_MAXN - 1));
    parse_args(work.c_str(), &url->args);
  }
  url->cache.clear();
}

void tb_url_addr_set(tb_url_t* url, const tb_ipaddr_t* addr) {
  if (!url || !addr) return;
  if (tb_ipaddr_is_equal(&url->addr, addr)) return;
  tb_ipaddr_copy(&url->addr, addr);
  if (url->host.empty()) {
    char text[80];
    if (tb_ipaddr_ip_text(&url->addr, text, sizeof text)) url->host = text;
  }
  // A new port or address changes the rebuilt text even when a host is set.
  url->cache.clear();
}

void tb_url_ssl_set(tb_url_t* url, bool secure) {
  if (url) url->secure = secure;
}

const char* tb_url_protocol_text(const tb_url_t* url) {
  if (!url || url->protocol == 0 || url->protocol >= 8) return nullptr;
  return kNames[url->protocol];
}

char* tb_url_hide_secret(const char* text, char* out, size_t size) {
  if (!out || size == 0) return out;
  std::string s = text ? text : "";
  const size_t q = s.find('?');
  // Also the driver's own form of such a URL (backslashes for slashes).
  const bool remote = tb_url_protocol_probe(s.c_str()) == TB_URL_PROTOCOL_KRP ||
                      strncasecmp(s.c_str(), "krp:", 4) == 0 || strncasecmp(s.c_str(), "krps:", 5) == 0;
  if (remote && q != std::string::npos) {
    std::string lower = s;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string masked = s.substr(0, q);
    size_t pos = q;
    for (size_t at; (at = lower.find("passwd=", pos)) != std::string::npos;) {
      const size_t value = at + 7;
      const size_t end = std::min(s.find('&', value), s.size());
      masked += s.substr(pos, value - pos);
      if (end > value) masked += "***";
      pos = end;
    }
    s = masked + s.substr(pos);
  }
  snprintf(out, size, "%s", s.c_str());
  return out;
}
