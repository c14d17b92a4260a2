// URL parsing, rebuilding and scheme probing; plain-path helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tb_ipaddr.h"

enum {
  TB_URL_PROTOCOL_NONE = 0,
  TB_URL_PROTOCOL_FILE = 1,
  TB_URL_PROTOCOL_SOCK = 2,
  TB_URL_PROTOCOL_HTTP = 3,
  TB_URL_PROTOCOL_DATA = 4,
  TB_URL_PROTOCOL_RTSP = 5,
  TB_URL_PROTOCOL_SQL = 6,
  TB_URL_PROTOCOL_KRP = 7,
};

struct tb_url_t {
  uint8_t protocol : 6;
  uint8_t secure : 1;
  uint8_t drive : 1;
  char drive_letter;
  bool local = false;  // a local name (no scheme): path holds the system's name as it is
  tb_ipaddr_t addr;
  std::string host;
  std::string path;   // begins with "/" when not empty, "/" separators (a local name: as it is)
  std::string args;   // text after "?"
  std::string cache;  // rebuilt text; the data text of a data URL
};

bool tb_url_init(tb_url_t* url);
void tb_url_exit(tb_url_t* url);
void tb_url_clear(tb_url_t* url);
// Parses text; on failure the url is cleared and false returned. A port
// that is not a decimal number from 1 to 65535 is refused (errno EINVAL).
bool tb_url_text_set(tb_url_t* url, const char* text);
// Why the calling thread's last tb_url_text_set refused its text, in a few
// English words; empty when it took it (and for refusals it has no words
// for, such as a local name that is too long: errno tells).
const char* tb_url_refusal();
// The rebuilt text (cached), or null when a required part is missing.
const char* tb_url_text(tb_url_t* url);

int tb_url_protocol(const tb_url_t* url);
bool tb_url_ssl(const tb_url_t* url);
uint16_t tb_url_port(const tb_url_t* url);
const tb_ipaddr_t* tb_url_addr(const tb_url_t* url);
// Each null when empty.
const char* tb_url_host(const tb_url_t* url);
const char* tb_url_path(const tb_url_t* url);
const char* tb_url_args(const tb_url_t* url);

void tb_url_port_set(tb_url_t* url, uint16_t port);
void tb_url_host_set(tb_url_t* url, const char* host);
void tb_url_path_set(tb_url_t* url, const char* path);
void tb_url_args_set(tb_url_t* url, const char* args);
void tb_url_addr_set(tb_url_t* url, const tb_ipaddr_t* addr);
void tb_url_ssl_set(tb_url_t* url, bool secure);

// Protocol code of a text without parsing it (1 for anything unknown).
int tb_url_protocol_probe(const char* text);
// text fit for a log line or a record: for a krp:// or krps:// URL, every
// "passwd=" value of its query (the key found without regard to case, as
// the driver finds it) becomes "***"; anything else stays as it is. Cut to
// size - 1 bytes; returns out.
char* tb_url_hide_secret(const char* text, char* out, size_t size);
// "file", "sock", ... or null.
const char* tb_url_protocol_text(const tb_url_t* url);

bool tb_path_is_absolute(const char* text);
// buf, or null when the result does not fit or cannot be made.
char* tb_path_absolute(const char* text, char* buf, size_t size);
// In place; the new length, 0 on failure.
size_t tb_path_normalise(char* buf, size_t size);
