#include "zcomp.h"

#include <lz4.h>

#include <cstdlib>
#include <cstring>

namespace {

// "none" has no state; a non-null marker tells success.
int none_marker;
void* none_init() { return &none_marker; }
void none_exit(void*) {}
int none_copy(void*, const void* in, int in_len, void* out, int out_cap) {
  if (in_len < 0 || out_cap < 0 || in_len > out_cap) return -1;
  if (in_len) memcpy(out, in, size_t(in_len));
  return in_len;
}

void* lz4_init() { return calloc(1, size_t(LZ4_sizeofState())); }
void lz4_exit(void* state) { free(state); }
// A fresh block per call: nothing is carried between requests, the state
// only saves the allocation. Acceleration 17 keeps packing ahead of the link.
int lz4_compress(void* state, const void* in, int in_len, void* out, int out_cap) {
  if (in_len < 0 || out_cap <= 0) return -1;
  int r = LZ4_compress_fast_extState(state, static_cast<const char*>(in), static_cast<char*>(out),
                                     in_len, out_cap, 17);
  return r > 0 ? r : -1;
}
int lz4_decompress(void*, const void* in, int in_len, void* out, int out_cap) {
  if (in_len < 0 || out_cap < 0) return -1;
  if (in_len == 0) return 0;  // nothing packed, nothing to unpack
  int r = LZ4_decompress_safe(static_cast<const char*>(in), static_cast<char*>(out), in_len, out_cap);
  return r >= 0 ? r : -1;
}

const zcomp_codec kNone = {"none", none_init, none_exit, none_copy, none_copy};
const zcomp_codec kLz4 = {"lz4", lz4_init, lz4_exit, lz4_compress, lz4_decompress};

}  // namespace

const zcomp_codec* const zcomp_codecs[] = {&kNone, &kLz4, nullptr};

zcomp* zcomp_open(const char* name) {
  if (!name) return nullptr;
  for (const zcomp_codec* const* c = zcomp_codecs; *c; c++) {
    if (strcmp((*c)->name, name) != 0) continue;
    void* state = (*c)->init();
    if (!state) return nullptr;
    zcomp* z = static_cast<zcomp*>(malloc(sizeof(zcomp)));
    if (!z) {
      (*c)->exit(state);
      return nullptr;
    }
    z->codec = *c;
    z->state = state;
    return z;
  }
  return nullptr;
}

void zcomp_close(zcomp* z) {
  if (!z) return;
  z->codec->exit(z->state);
  free(z);
}

int zcomp_compress(zcomp* z, const void* in, int in_len, void* out, int out_cap) {
  if (!z) return -1;
  return z->codec->compress(z->state, in, in_len, out, out_cap);
}

int zcomp_decompress(zcomp* z, const void* in, int in_len, void* out, int out_cap) {
  if (!z) return -1;
  return z->codec->decompress(z->state, in, in_len, out, out_cap);
}

size_t zcomp_bound(size_t n) {
  if (n > 0x7E000000u) return 0;
  return n + n / 255 + 16;
}
