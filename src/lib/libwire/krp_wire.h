// The wire format of the remote file service, shared by the client and the
// daemon: command and result codes, the frame head, the limits both sides
// hold to, the default ports and the codes the answers carry. Each request
// and response is an 8-byte head ("KR", version 1, command code; 255 in a
// response) followed by the rest of one blobmsg message. The head's last 4
// bytes are the message root's header word, whose 24-bit length says how
// many bytes follow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blobmsg.h"

// The daemon's default ports: plain and TLS.
enum {
  KRSD_PORT = 6688,
  KRSD_SSL_PORT = 6686,
};

// The most file data one read answers or one write carries (10 MiB).
inline constexpr size_t KRSD_MAX_DATA = 0xA00000;
// The largest request message the daemon accepts: a write of KRSD_MAX_DATA
// bytes packed at its worst, plus its other attributes.
inline constexpr size_t KRSD_MAX_REQUEST = KRSD_MAX_DATA + 0x20000;

// The platform code of a login answer: 1 is a Windows daemon, whose errno
// values the client reads as Windows error codes; any other value is POSIX.
enum {
  KRSD_OS_TYPE_WINDOWS = 1,
  KRSD_OS_TYPE_POSIX = 2,
};

// File type codes of the file information answer.
enum {
  KRSD_FTYPE_REGULAR = 1,
  KRSD_FTYPE_BLOCK = 2,
  KRSD_FTYPE_CHAR = 3,
  KRSD_FTYPE_OTHER = 4,
};

// The open request's mode bits (the file layer's own).
enum {
  KRSD_MODE_READ = 0x1,
  KRSD_MODE_WRITE = 0x2,
  KRSD_MODE_READWRITE = 0x4,
  KRSD_MODE_CREATE = 0x8,
  KRSD_MODE_APPEND = 0x10,
  KRSD_MODE_TRUNCATE = 0x20,
  KRSD_MODE_DIRECT = 0x40,
};

// Command codes (byte 3 of a request frame).
enum {
  KRSD_CMD_INIT = 1,
  KRSD_CMD_EXIT = 2,
  KRSD_CMD_OPEN = 10,
  KRSD_CMD_CLOSE = 11,
  KRSD_CMD_READ = 12,
  KRSD_CMD_WRITE = 13,
  KRSD_CMD_SYNC = 14,
  KRSD_CMD_SEEK = 15,
  KRSD_CMD_TRUNCATE = 16,
  KRSD_CMD_FINFO = 19,
  KRSD_CMD_IOCTL = 20,
};

// The ioctl code that switches the codec of packed data on both sides.
enum { KRSD_IOCTL_PACK = 10001 };

enum {
  KRSD_OK = 0,
  KRSD_ERR_SYS = 1,
  KRSD_ERR_DATA = 2,
  KRSD_ERR_TIMEOUT = 3,
  KRSD_ERR_REMOTE = 4,
  KRSD_ERR_MEMORY = 5,
  KRSD_ERR_PACK = 7,
};

enum {
  KRSD_FRAME_HEAD_LEN = 8,
  KRSD_FRAME_MAGIC0 = 0x4B,  // 'K'
  KRSD_FRAME_MAGIC1 = 0x52,  // 'R'
  KRSD_FRAME_VERSION = 1,
  KRSD_FRAME_RESPONSE = 255,  // command byte of a response
};

// Writes the frame head for a message whose first 4 bytes are msg.
inline void sd_frame_head_encode(uint8_t head[KRSD_FRAME_HEAD_LEN], uint8_t version, uint8_t cmd,
                                 const void* msg) {
  const uint8_t* m = static_cast<const uint8_t*>(msg);
  head[0] = KRSD_FRAME_MAGIC0;
  head[1] = KRSD_FRAME_MAGIC1;
  head[2] = version;
  head[3] = cmd;
  head[4] = m[0];
  head[5] = m[1];
  head[6] = m[2];
  head[7] = m[3];
}

// Checks a received head: KRSD_OK with the command byte, the raw root header
// word and the padded message length (at least 4, at most 0x1000000), or
// KRSD_ERR_DATA for a bad magic or a length below 4. The body that follows
// is padded_len - 4 bytes.
inline int sd_frame_head_decode(const uint8_t head[KRSD_FRAME_HEAD_LEN], uint8_t* cmd,
                                uint32_t* root_word, uint32_t* padded_len) {
  if (head[0] != KRSD_FRAME_MAGIC0 || head[1] != KRSD_FRAME_MAGIC1) return KRSD_ERR_DATA;
  uint32_t w = blob_get_be32(head + 4);
  uint32_t l = w & BLOB_ATTR_LEN_MASK;
  uint32_t pl = (l + 3) & ~uint32_t{3};
  if (pl < 4) return KRSD_ERR_DATA;
  if (cmd) *cmd = head[3];
  if (root_word) *root_word = w;
  if (padded_len) *padded_len = pl;
  return KRSD_OK;
}
