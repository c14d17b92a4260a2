// Packing of file data on the wire: the codec registry that the client and
// the daemon switch between with the pack ioctl.
#pragma once

#include <cstddef>
#include <cstdint>

// One registry entry. Lengths are byte counts; compress and decompress
// return the output length, or a negative value on failure (an output that
// does not fit the capacity is a failure).
struct zcomp_codec {
  const char* name;
  void* (*init)();  // the codec state; null means failure
  void (*exit)(void* state);
  int (*compress)(void* state, const void* in, int in_len, void* out, int out_cap);
  int (*decompress)(void* state, const void* in, int in_len, void* out, int out_cap);
};

// An open codec: its entry and its state.
struct zcomp {
  const zcomp_codec* codec;
  void* state;
};

// The constant registry, null-terminated: "none", "lz4".
extern const zcomp_codec* const zcomp_codecs[];

// Handle, or null when no entry has exactly that name (case-sensitive) or
// the codec's state cannot be made.
zcomp* zcomp_open(const char* name);
void zcomp_close(zcomp* z);  // null is accepted
// Packed / unpacked length, or -1.
int zcomp_compress(zcomp* z, const void* in, int in_len, void* out, int out_cap);
int zcomp_decompress(zcomp* z, const void* in, int in_len, void* out, int out_cap);
// Worst-case packed size of n bytes: n + n / 255 + 16 for n up to
// 0x7E000000, else 0.
size_t zcomp_bound(size_t n);
