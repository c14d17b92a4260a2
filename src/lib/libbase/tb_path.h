// Internal helpers of the path code shared by the URL parser and the file
// layer. The public path functions are declared in tb_url.h.
#pragma once

#include <cstddef>

// The separator that normalised results carry: "/" on POSIX ("\" on
// Windows). Normalising accepts both on input.
#ifdef _WIN32
inline constexpr char TB_PATH_SEP = '\\';
#else
inline constexpr char TB_PATH_SEP = '/';
#endif

// Paths are handled in buffers of this size (4095 characters and the NUL).
inline constexpr size_t TB_PATH_MAXN = 4096;

inline bool tb_path_is_sep(char c) { return c == '/' || c == '\\'; }
inline bool tb_path_is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
