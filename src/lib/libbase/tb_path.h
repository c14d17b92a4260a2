// Internal helpers of the path code shared by the URL parser and the file
// layer. The public path functions are declared in tb_url.h.
#pragma once

#include <cstddef>
#include <string>

// The separator that normalised results carry: "/" on POSIX ("\" on
// Windows), defined by the platform's path file. Normalising accepts both on
// input.
extern const char TB_PATH_SEP;

// Paths are handled in buffers of this size (4095 characters and the NUL).
inline constexpr size_t TB_PATH_MAXN = 4096;

inline bool tb_path_is_sep(char c) { return c == '/' || c == '\\'; }
inline bool tb_path_is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// ASCII-only, locale-free comparisons (names and schemes are ASCII).
inline char tb_path_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
// True when text begins with prefix, letter case ignored; stops at text's NUL.
inline bool tb_path_prefix_ci(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix)
    if (!*text || tb_path_lower(*text) != tb_path_lower(*prefix)) return false;
  return true;
}
inline bool tb_path_equal_ci(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (tb_path_lower(*a) != tb_path_lower(*b)) return false;
  return *a == *b;
}

// The exact device forms that the file layer gives a meaning of its own:
// "\dev\stdin", "\dev\stdout", "\dev\null", "\dev\zero", "\dev\random"
// and their "/dev/" spellings (letter case ignored), and "\dev\disk"
// followed by digits only (the N-th whole disk).
bool tb_path_device_form(const char* text);
// True for "\dev\disk" followed by one to nine digits.
bool tb_path_disk_form(const char* text);

// The length of a local name as given, into *len: false with errno EINVAL
// for a null or empty name and ENAMETOOLONG for one of TB_PATH_MAXN bytes or
// more. A name is never cut: a shorter name would be another file.
bool tb_path_name_length(const char* text, size_t* len);

// Decodes the percent escapes of a file URL's path in place: "%" and two
// hexadecimal digits (either case) are that byte. false with errno EINVAL,
// text unchanged, for a "%" without two hex digits and for "%00", which no
// file name can hold.
bool tb_path_percent_decode(std::string* text);

// The name the system opens for a local name (not a URL): on POSIX the name
// as written, joined to the current folder when relative; a device form as
// it is. false with errno set when the name cannot be represented (empty:
// EINVAL; 4096 bytes or more once joined: ENAMETOOLONG) - never another,
// shorter name. One implementation per OS (platform/<os>/path_<os>.cc).
bool tb_path_local_name(const char* text, std::string* out);
