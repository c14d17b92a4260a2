// The typed attribute encoding of every request and response of the remote
// file service: a root table of named, typed attributes, big-endian, each
// attribute padded to a multiple of 4. Shared by the client and the daemon.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
  BLOBMSG_TYPE_UNSPEC = 0,
  BLOBMSG_TYPE_ARRAY = 1,
  BLOBMSG_TYPE_TABLE = 2,
  BLOBMSG_TYPE_BINARY = 3,
  BLOBMSG_TYPE_STRING = 4,
  BLOBMSG_TYPE_INT64 = 5,
  BLOBMSG_TYPE_INT32 = 6,
  BLOBMSG_TYPE_INT16 = 7,
  BLOBMSG_TYPE_INT8 = 8,
  BLOBMSG_TYPE_LAST = 8,
};

enum : uint32_t {
  BLOB_ATTR_EXTENDED = 0x80000000u,  // the named flag
  BLOB_ATTR_ID_MASK = 0x7f000000u,
  BLOB_ATTR_ID_SHIFT = 24,
  BLOB_ATTR_LEN_MASK = 0x00ffffffu,
};

// An attribute starts with its 4-byte big-endian header word. The record has
// byte alignment, so a pointer into any received buffer is valid.
struct blob_attr {
  unsigned char id_len[4];
};

// Header word fields.
uint32_t blob_raw_word(const blob_attr* attr);  // the header word, host order
int blob_id(const blob_attr* attr);             // type code 0..127
bool blob_is_named(const blob_attr* attr);
size_t blob_raw_len(const blob_attr* attr);     // L: header + name header + payload
size_t blob_pad_len(const blob_attr* attr);     // L rounded up to 4
// H for a name of n bytes: (n + 6) rounded down to a multiple of 4.
size_t blobmsg_name_hdr_len(size_t name_len);

struct blobmsg_buf;
// Grows the buffer so that at least need more bytes fit; 0 or -1.
typedef int (*blobmsg_grow_fn)(blobmsg_buf* buf, size_t need);

// The message builder. Starts zeroed; owns bytes (release with
// blobmsg_buf_free). Grows in steps of 256 bytes and never shrinks.
struct blobmsg_buf {
  blob_attr* head;  // the attribute new attributes are appended to (the root)
  blobmsg_grow_fn grow;
  size_t capacity;
  uint8_t* bytes;
};

// The default growth: adds ((need / 256) + 1) * 256 zero-filled bytes.
int blobmsg_default_grow(blobmsg_buf* buf, size_t need);
void blobmsg_buf_free(blobmsg_buf* buf);

// Starts a new message (root: type 2, length 4) at the start of bytes,
// reusing what is allocated. 0, or -1 when the buffer cannot grow.
[[nodiscard]] int blobmsg_begin(blobmsg_buf* buf);
// Appends a named attribute with a copy of len payload bytes; a null name is
// the empty name. 0, or -1 when the buffer cannot grow or the attribute or
// the message would exceed the 24-bit length; the message must then not be
// sent.
[[nodiscard]] int blobmsg_put(blobmsg_buf* buf, int type, const char* name,
                              const void* data, size_t len);
[[nodiscard]] int blobmsg_put_u32(blobmsg_buf* buf, const char* name, uint32_t value);
[[nodiscard]] int blobmsg_put_u64(blobmsg_buf* buf, const char* name, uint64_t value);
[[nodiscard]] int blobmsg_put_string(blobmsg_buf* buf, const char* name, const char* text);
// Appends a binary attribute with room for max_len payload bytes; returns the
// attribute and stores its payload address in *payload, or returns null.
// The pointers stay valid until the next append or begin.
blob_attr* blobmsg_reserve(blobmsg_buf* buf, const char* name, size_t max_len,
                           void** payload);
// Sets the payload length of a reserved attribute (at most its reserved
// length) and adjusts the root length. 0, or -1 when len is too large.
int blobmsg_commit(blobmsg_buf* buf, blob_attr* attr, size_t len);
// The padded root length: the number of message bytes to send.
size_t msg_len(const blobmsg_buf* buf);

// One rule of a parse table; an entry without a name is skipped, type 0
// accepts any type.
struct blobmsg_rule {
  const char* name;
  int type;
};

// Picks the attributes that match the rules out of the bytes at data (the
// payload of a received root), into tb[0..n). Every length is checked
// against len before use. 0 when every named rule found its attribute, -1
// otherwise (also for a malformed attribute of a wanted type and name length).
[[nodiscard]] int blobmsg_parse(const blobmsg_rule* rules, int n, const blob_attr** tb,
                                const void* data, size_t len);
// The same over a whole message (root first): checks the root header (named
// flag clear, type 2, length within len) and parses its payload.
[[nodiscard]] int blobmsg_parse_msg(const blobmsg_rule* rules, int n, const blob_attr** tb,
                                    const void* msg, size_t len);

// Payload address and length of an attribute (after the name header when the
// named flag is set).
const void* blobmsg_data(const blob_attr* attr);
size_t blobmsg_data_len(const blob_attr* attr);
// The name of a named attribute (terminated, as validated by the parser).
const char* blobmsg_name(const blob_attr* attr);
// Big-endian integers at the payload, returned as signed values.
int32_t blobmsg_get_u32(const blob_attr* attr);
int64_t blobmsg_get_u64(const blob_attr* attr);
const char* blobmsg_get_string(const blob_attr* attr);

// Big-endian helpers, also used by the framing.
uint32_t blob_get_be32(const void* p);
void blob_put_be32(void* p, uint32_t v);
