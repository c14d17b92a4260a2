#include "blobmsg.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kMaxLen = BLOB_ATTR_LEN_MASK;

inline const uint8_t* raw(const blob_attr* a) { return reinterpret_cast<const uint8_t*>(a); }
inline uint8_t* raw(blob_attr* a) { return reinterpret_cast<uint8_t*>(a); }

inline size_t pad4(size_t n) { return (n + 3) & ~size_t{3}; }

inline uint16_t get_be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

void set_word(blob_attr* a, bool named, int type, size_t len) {
  uint32_t w = (named ? BLOB_ATTR_EXTENDED : 0u) |
               ((uint32_t(type) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK) |
               (uint32_t(len) & BLOB_ATTR_LEN_MASK);
  blob_put_be32(a, w);
}

void set_len(blob_attr* a, size_t len) {
  uint32_t w = blob_raw_word(a);
  blob_put_be32(a, (w & ~uint32_t{BLOB_ATTR_LEN_MASK}) | (uint32_t(len) & BLOB_ATTR_LEN_MASK));
}

// Appends the header and name header of a named attribute with room for p
// payload bytes; returns the attribute or null.
blob_attr* append(blobmsg_buf* buf, int type, const char* name, size_t p) {
  if (!buf->bytes || !buf->head) return nullptr;
  if (!name) name = "";
  size_t n = strlen(name);
  if (n > 0xffff) return nullptr;
  size_t h = blobmsg_name_hdr_len(n);
  if (p > kMaxLen || 4 + h + p > kMaxLen) return nullptr;
  size_t l = 4 + h + p;
  size_t head_off = size_t(raw(buf->head) - buf->bytes);
  size_t head_pad = blob_pad_len(buf->head);
  if (head_pad + pad4(l) > kMaxLen) return nullptr;
  size_t pos = head_off + head_pad;
  size_t end = pos + l;
  // The padding after the attribute is written too: room for it as well.
  if (pos + pad4(l) > buf->capacity) {
    if (!buf->grow) buf->grow = blobmsg_default_grow;
    if (buf->grow(buf, pos + pad4(l) - buf->capacity) != 0) return nullptr;
    buf->head = reinterpret_cast<blob_attr*>(buf->bytes + head_off);
  }
  blob_attr* a = reinterpret_cast<blob_attr*>(buf->bytes + pos);
  set_word(a, true, type, l);
  memset(buf->bytes + end, 0, pad4(l) - l);
  set_len(buf->head, head_pad + pad4(l));
  uint8_t* q = raw(a) + 4;
  q[0] = uint8_t(n >> 8);
  q[1] = uint8_t(n);
  memcpy(q + 2, name, n);
  memset(q + 2 + n, 0, h - 2 - n);
  return a;
}

}  // namespace

uint32_t blob_get_be32(const void* p) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

void blob_put_be32(void* p, uint32_t v) {
  uint8_t* b = static_cast<uint8_t*>(p);
  b[0] = uint8_t(v >> 24);
  b[1] = uint8_t(v >> 16);
  b[2] = uint8_t(v >> 8);
  b[3] = uint8_t(v);
}

uint32_t blob_raw_word(const blob_attr* attr) { return blob_get_be32(attr); }
int blob_id(const blob_attr* attr) {
  return int((blob_raw_word(attr) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT);
}
bool blob_is_named(const blob_attr* attr) { return (blob_raw_word(attr) & BLOB_ATTR_EXTENDED) != 0; }
size_t blob_raw_len(const blob_attr* attr) { return blob_raw_word(attr) & BLOB_ATTR_LEN_MASK; }
size_t blob_pad_len(const blob_attr* attr) { return pad4(blob_raw_len(attr)); }
size_t blobmsg_name_hdr_len(size_t name_len) { return (name_len + 6) & ~size_t{3}; }

int blobmsg_default_grow(blobmsg_buf* buf, size_t need) {
  size_t add = ((need / 256) + 1) * 256;
  uint8_t* p = static_cast<uint8_t*>(realloc(buf->bytes, buf->capacity + add));
  if (!p) return -1;
  memset(p + buf->capacity, 0, add);
  buf->bytes = p;
  buf->capacity += add;
  return 0;
}

void blobmsg_buf_free(blobmsg_buf* buf) {
  free(buf->bytes);
  buf->bytes = nullptr;
  buf->head = nullptr;
  buf->capacity = 0;
}

int blobmsg_begin(blobmsg_buf* buf) {
  if (!buf->grow) buf->grow = blobmsg_default_grow;
  if (buf->capacity < 4) {
    buf->head = nullptr;
    if (buf->grow(buf, 4 - buf->capacity) != 0) return -1;
  }
  buf->head = reinterpret_cast<blob_attr*>(buf->bytes);
  set_word(buf->head, false, BLOBMSG_TYPE_TABLE, 4);
  return 0;
}

int blobmsg_put(blobmsg_buf* buf, int type, const char* name, const void* data, size_t len) {
  blob_attr* a = append(buf, type, name, len);
  if (!a) return -1;
  if (len) memcpy(const_cast<void*>(blobmsg_data(a)), data, len);
  return 0;
}

int blobmsg_put_u32(blobmsg_buf* buf, const char* name, uint32_t value) {
  uint8_t b[4];
  blob_put_be32(b, value);
  return blobmsg_put(buf, BLOBMSG_TYPE_INT32, name, b, 4);
}

int blobmsg_put_u64(blobmsg_buf* buf, const char* name, uint64_t value) {
  uint8_t b[8];
  blob_put_be32(b, uint32_t(value >> 32));
  blob_put_be32(b + 4, uint32_t(value));
  return blobmsg_put(buf, BLOBMSG_TYPE_INT64, name, b, 8);
}

int blobmsg_put_string(blobmsg_buf* buf, const char* name, const char* text) {
  if (!text) text = "";
  return blobmsg_put(buf, BLOBMSG_TYPE_STRING, name, text, strlen(text) + 1);
}

blob_attr* blobmsg_reserve(blobmsg_buf* buf, const char* name, size_t max_len, void** payload) {
  blob_attr* a = append(buf, BLOBMSG_TYPE_BINARY, name, max_len);
  if (!a) return nullptr;
  if (payload) *payload = const_cast<void*>(blobmsg_data(a));
  return a;
}

int blobmsg_commit(blobmsg_buf* buf, blob_attr* attr, size_t len) {
  size_t hdr = size_t(static_cast<const uint8_t*>(blobmsg_data(attr)) - raw(attr));
  size_t old_l = blob_raw_len(attr);
  if (hdr + len > old_l) return -1;
  size_t new_l = hdr + len;
  size_t root = blob_raw_len(buf->head);
  root = root - pad4(old_l) + pad4(new_l);
  set_len(attr, new_l);
  set_len(buf->head, root);
  // What was reserved beyond the payload may hold an earlier message's
  // bytes: the padding goes out as zeros.
  memset(raw(attr) + new_l, 0, pad4(new_l) - new_l);
  return 0;
}

size_t msg_len(const blobmsg_buf* buf) {
  if (!buf->head) return 0;
  return blob_pad_len(buf->head);
}

const void* blobmsg_data(const blob_attr* attr) {
  const uint8_t* p = raw(attr) + 4;
  if (blob_is_named(attr)) p += blobmsg_name_hdr_len(get_be16(p));
  return p;
}

size_t blobmsg_data_len(const blob_attr* attr) {
  size_t off = size_t(static_cast<const uint8_t*>(blobmsg_data(attr)) - raw(attr));
  size_t l = blob_raw_len(attr);
  return l > off ? l - off : 0;
}

const char* blobmsg_name(const blob_attr* attr) { return reinterpret_cast<const char*>(raw(attr) + 6); }

int32_t blobmsg_get_u32(const blob_attr* attr) {
  return int32_t(blob_get_be32(blobmsg_data(attr)));
}

int64_t blobmsg_get_u64(const blob_attr* attr) {
  const uint8_t* p = static_cast<const uint8_t*>(blobmsg_data(attr));
  return int64_t((uint64_t(blob_get_be32(p)) << 32) | blob_get_be32(p + 4));
}

const char* blobmsg_get_string(const blob_attr* attr) {
  return static_cast<const char*>(blobmsg_data(attr));
}

namespace {

// The checks of an attribute that matched a rule by type and name length.
// l is at least 6 (checked by the caller). Besides the type's payload rule,
// the terminator and, for a named attribute, the whole name header must lie
// inside L, so that nothing is read past the attribute.
bool attr_valid(const uint8_t* a, size_t l, size_t n) {
  if (n == 0 || n > l - 6) return false;
  if (6 + n >= l) return false;  // the terminator must lie inside L
  if (a[6 + n] != 0) return false;
  uint32_t w = blob_get_be32(a);
  int type = int((w & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT);
  if (type > BLOBMSG_TYPE_LAST) return false;
  size_t off = 4;
  if (w & BLOB_ATTR_EXTENDED) off += blobmsg_name_hdr_len(n);
  if (off > l) return false;
  size_t p = l - off;
  switch (type) {
    case BLOBMSG_TYPE_STRING:
      return p >= 1 && a[l - 1] == 0;
    case BLOBMSG_TYPE_INT64:
      return p == 8;
    case BLOBMSG_TYPE_INT32:
      return p == 4;
    case BLOBMSG_TYPE_INT16:
      return p == 2;
    case BLOBMSG_TYPE_INT8:
      return p == 1;
    default:
      return true;
  }
}

}  // namespace

int blobmsg_parse(const blobmsg_rule* rules, int n, const blob_attr** tb, const void* data,
                  size_t len) {
  if (n <= 0) return 0;
  for (int i = 0; i < n; i++) tb[i] = nullptr;
  size_t name_len[256];
  size_t* nl = name_len;
  size_t* heap = nullptr;
  if (n > 256) {
    heap = static_cast<size_t*>(malloc(sizeof(size_t) * size_t(n)));
    if (!heap) return -1;
    nl = heap;
  }
  for (int i = 0; i < n; i++) nl[i] = rules[i].name ? strlen(rules[i].name) : 0;

  const uint8_t* pos = static_cast<const uint8_t*>(data);
  size_t rem = pos ? len : 0;
  int ret = 0;
  while (rem >= 4) {
    uint32_t w = blob_get_be32(pos);
    size_t l = w & BLOB_ATTR_LEN_MASK;
    size_t pl = pad4(l);
    if (pl > rem || pl < 4) break;
    int type = int((w & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT);
    for (int i = 0; i < n; i++) {
      if (!rules[i].name) continue;
      if (rules[i].type != 0 && rules[i].type != type) continue;
      // Too short to hold a name length: malformed, and of a wanted type.
      if (l < 6) {
        ret = -1;
        goto out;
      }
      size_t an = get_be16(pos + 4);
      if (an != nl[i]) continue;
      if (!attr_valid(pos, l, an)) {
        ret = -1;
        goto out;
      }
      if (tb[i]) continue;
      if (memcmp(pos + 6, rules[i].name, an) == 0) tb[i] = reinterpret_cast<const blob_attr*>(pos);
    }
    rem -= pl;
    pos += pl;
  }
  for (int i = 0; i < n; i++) {
    if (rules[i].name && !tb[i]) {
      ret = -1;
      break;
    }
  }
out:
  free(heap);
  return ret;
}

int blobmsg_parse_msg(const blobmsg_rule* rules, int n, const blob_attr** tb, const void* msg,
                      size_t len) {
  for (int i = 0; i < n; i++) tb[i] = nullptr;
  if (!msg || len < 4) return -1;
  const blob_attr* root = static_cast<const blob_attr*>(msg);
  size_t l = blob_raw_len(root);
  if (blob_is_named(root) || blob_id(root) != BLOBMSG_TYPE_TABLE || l < 4 || l > len) return -1;
  return blobmsg_parse(rules, n, tb, static_cast<const uint8_t*>(msg) + 4, l - 4);
}
