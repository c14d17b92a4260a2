// The layout of every request and answer of the remote file service: for
// each command the attributes of its request and of its answer, by name and
// type, in the order they go out. One table serves both sides. The writer
// walks it (krp::encode, which checks every value against its attribute's
// type as it compiles); the reader parses with it (krp::parse), and the
// numbers of a message (krp::seek::answer::offset) index what the parse
// found. Every attribute of a table is required: the parse refuses a
// message that lacks one or carries it with another type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "blobmsg.h"
#include "krp_wire.h"

namespace krp {

// Every answer begins with the errno of the request (0: done) and its text.
struct answer_head {
  enum : int { error, error_text, count };
  static constexpr blobmsg_rule rules[count] = {{"errno", BLOBMSG_TYPE_INT32},
                                                {"errno_str", BLOBMSG_TYPE_STRING}};
};

// The requests that name only the open file.
struct fd_request {
  enum : int { fd, count };
  static constexpr blobmsg_rule rules[count] = {{"fd", BLOBMSG_TYPE_INT64}};
};

// The answers that give back a handle: the new one, or the one served.
struct fd_answer {
  enum : int { error, error_text, fd, count };
  static constexpr blobmsg_rule rules[count] = {
      {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"fd", BLOBMSG_TYPE_INT64}};
};

// The login; the answer tells the daemon's platform (KRSD_OS_TYPE_*).
struct init {
  static constexpr int command = KRSD_CMD_INIT;
  struct request {
    enum : int { user, passwd, count };
    static constexpr blobmsg_rule rules[count] = {{"user", BLOBMSG_TYPE_STRING},
                                                  {"passwd", BLOBMSG_TYPE_STRING}};
  };
  struct answer {
    enum : int { error, error_text, os_type, count };
    static constexpr blobmsg_rule rules[count] = {{"errno", BLOBMSG_TYPE_INT32},
                                                  {"errno_str", BLOBMSG_TYPE_STRING},
                                                  {"os_type", BLOBMSG_TYPE_INT32}};
  };
};

// The end of a session: an empty request, never answered.
struct exit {
  static constexpr int command = KRSD_CMD_EXIT;
  struct request {
    enum : int { count };
  };
};

// mode: KRSD_MODE_* bits. The answer's fd names the file from then on.
struct open {
  static constexpr int command = KRSD_CMD_OPEN;
  struct request {
    enum : int { path, mode, count };
    static constexpr blobmsg_rule rules[count] = {{"path", BLOBMSG_TYPE_STRING},
                                                  {"mode", BLOBMSG_TYPE_INT64}};
  };
  using answer = fd_answer;
};

struct close {
  static constexpr int command = KRSD_CMD_CLOSE;
  using request = fd_request;
  using answer = answer_head;
};

// The answer's len is the plain length of data, which is packed with the
// session's codec; flags is 0.
struct read {
  static constexpr int command = KRSD_CMD_READ;
  struct request {
    enum : int { fd, len, count };
    static constexpr blobmsg_rule rules[count] = {{"fd", BLOBMSG_TYPE_INT64},
                                                  {"len", BLOBMSG_TYPE_INT32}};
  };
  struct answer {
    enum : int { error, error_text, len, flags, data, count };
    static constexpr blobmsg_rule rules[count] = {
        {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"len", BLOBMSG_TYPE_INT32},
        {"flags", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_BINARY}};
  };
};

// The request as a read answer: len plain bytes packed into data; the
// answer's len is what was written.
struct write {
  static constexpr int command = KRSD_CMD_WRITE;
  struct request {
    enum : int { fd, flags, len, data, count };
    static constexpr blobmsg_rule rules[count] = {{"fd", BLOBMSG_TYPE_INT64},
                                                  {"flags", BLOBMSG_TYPE_INT32},
                                                  {"len", BLOBMSG_TYPE_INT32},
                                                  {"data", BLOBMSG_TYPE_BINARY}};
  };
  struct answer {
    enum : int { error, error_text, len, count };
    static constexpr blobmsg_rule rules[count] = {
        {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"len", BLOBMSG_TYPE_INT32}};
  };
};

struct sync {
  static constexpr int command = KRSD_CMD_SYNC;
  using request = fd_request;
  using answer = fd_answer;
};

// mode: 0 from the start, 1 from the position, 2 from the end. The answer's
// offset is the position reached.
struct seek {
  static constexpr int command = KRSD_CMD_SEEK;
  struct request {
    enum : int { fd, offset, mode, count };
    static constexpr blobmsg_rule rules[count] = {{"fd", BLOBMSG_TYPE_INT64},
                                                  {"offset", BLOBMSG_TYPE_INT64},
                                                  {"mode", BLOBMSG_TYPE_INT64}};
  };
  struct answer {
    enum : int { error, error_text, offset, count };
    static constexpr blobmsg_rule rules[count] = {{"errno", BLOBMSG_TYPE_INT32},
                                                  {"errno_str", BLOBMSG_TYPE_STRING},
                                                  {"offset", BLOBMSG_TYPE_INT64}};
  };
};

// len: the new size of the file.
struct truncate {
  static constexpr int command = KRSD_CMD_TRUNCATE;
  struct request {
    enum : int { fd, len, count };
    static constexpr blobmsg_rule rules[count] = {{"fd", BLOBMSG_TYPE_INT64},
                                                  {"len", BLOBMSG_TYPE_INT64}};
  };
  using answer = fd_answer;
};

// The answer: type (KRSD_FTYPE_*), size (len), position (offset), sector
// size and the daemon's words about the file.
struct finfo {
  static constexpr int command = KRSD_CMD_FINFO;
  using request = fd_request;
  struct answer {
    enum : int { error, error_text, type, len, offset, sector_bytes, info, count };
    static constexpr blobmsg_rule rules[count] = {
        {"errno", BLOBMSG_TYPE_INT32},       {"errno_str", BLOBMSG_TYPE_STRING},
        {"type", BLOBMSG_TYPE_INT32},        {"len", BLOBMSG_TYPE_INT64},
        {"offset", BLOBMSG_TYPE_INT64},      {"sector_bytes", BLOBMSG_TYPE_INT32},
        {"info", BLOBMSG_TYPE_STRING}};
  };
};

// cmd: the ioctl code (KRSD_IOCTL_PACK), with its argument of len bytes.
struct ioctl {
  static constexpr int command = KRSD_CMD_IOCTL;
  struct request {
    enum : int { fd, cmd, len, data, count };
    static constexpr blobmsg_rule rules[count] = {{"fd", BLOBMSG_TYPE_INT64},
                                                  {"cmd", BLOBMSG_TYPE_INT32},
                                                  {"len", BLOBMSG_TYPE_INT32},
                                                  {"data", BLOBMSG_TYPE_BINARY}};
  };
  using answer = answer_head;
};

// A binary value copied into the message.
struct bytes {
  const void* data;
  size_t len;
};
// A binary value written in place: room for cap bytes, whose address lands
// in *payload and whose attribute in *attr; blobmsg_commit gives it its
// length.
struct room {
  size_t cap;
  void** payload;
  blob_attr** attr;
};

namespace detail {

template <int Type, class V>
int put_one(blobmsg_buf* b, const char* name, const V& v) {
  if constexpr (Type == BLOBMSG_TYPE_INT64 || Type == BLOBMSG_TYPE_INT32) {
    static_assert(std::is_integral_v<V> || std::is_enum_v<V>, "a number attribute takes a number");
    if constexpr (Type == BLOBMSG_TYPE_INT64)
      return blobmsg_put_u64(b, name, static_cast<uint64_t>(static_cast<int64_t>(v)));
    else
      return blobmsg_put_u32(b, name, static_cast<uint32_t>(v));
  } else if constexpr (Type == BLOBMSG_TYPE_STRING) {
    if constexpr (std::is_same_v<V, std::string>)
      return blobmsg_put_string(b, name, v.c_str());
    else
      return blobmsg_put_string(b, name, v);
  } else {
    static_assert(Type == BLOBMSG_TYPE_BINARY, "a type the layouts do not use");
    if constexpr (std::is_same_v<V, room>) {
      *v.attr = blobmsg_reserve(b, name, v.cap, v.payload);
      return *v.attr ? 0 : -1;
    } else {
      static_assert(std::is_same_v<V, bytes>, "a binary attribute takes krp::bytes or krp::room");
      return blobmsg_put(b, BLOBMSG_TYPE_BINARY, name, v.data, v.len);
    }
  }
}

template <class M, int From, class... V, size_t... I>
int put_run([[maybe_unused]] blobmsg_buf* b, std::index_sequence<I...>, const V&... v) {
  return (... && (put_one<M::rules[From + I].type>(b, M::rules[From + I].name, v) == 0)) ? 0 : -1;
}

}  // namespace detail

// Appends the attributes From, From + 1, ... of message M with the values v
// (one each). 0, or -1 as blobmsg_put gives it.
template <class M, int From = 0, class... V>
[[nodiscard]] int put(blobmsg_buf* b, const V&... v) {
  static_assert(From >= 0 && From + sizeof...(V) <= size_t(M::count), "more values than attributes");
  return detail::put_run<M, From>(b, std::index_sequence_for<V...>{}, v...);
}

// Builds message M in b from its first attribute to its last, one value each.
template <class M, class... V>
[[nodiscard]] int encode(blobmsg_buf* b, const V&... v) {
  static_assert(sizeof...(V) == size_t(M::count), "one value for each attribute");
  if (blobmsg_begin(b) != 0) return -1;
  return put<M>(b, v...);
}

// The attributes of message M found in the root payload at data (len
// bytes) into tb, as blobmsg_parse does; parse_msg takes the whole message.
template <class M>
[[nodiscard]] int parse(const blob_attr* (&tb)[M::count], const void* data, size_t len) {
  return blobmsg_parse(M::rules, M::count, tb, data, len);
}
template <class M>
[[nodiscard]] int parse_msg(const blob_attr* (&tb)[M::count], const void* msg, size_t len) {
  return blobmsg_parse_msg(M::rules, M::count, tb, msg, len);
}

}  // namespace krp
