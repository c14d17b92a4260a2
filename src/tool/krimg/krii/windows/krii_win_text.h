// Text between the dialog's logic and the system's wide (UTF-16) calls.
// The logic's texts are UTF-8; the names of files are the system's narrow
// names, in the ANSI code page, as the engine opens them (krii_view); log
// lines and questions carry both.
#pragma once

#include <string>
#include <string_view>

// UTF-8 and UTF-16; a byte that is not UTF-8 becomes U+FFFD.
std::wstring krii_wide(std::string_view utf8);
std::string krii_utf8(std::wstring_view wide);

// A narrow name of code page cp as UTF-16.
std::wstring krii_wide_from_narrow(std::string_view narrow, unsigned cp);
// The narrow name of code page cp for wide; false when the code page cannot
// spell every character: those are '?' in *narrow then, never a look-alike
// (a best-fit character would name another file), and '?' is no character
// of a Windows file name, so the name cannot open any file.
bool krii_narrow_from_wide(std::wstring_view wide, unsigned cp, std::string* narrow);

// A text where UTF-8 and narrow names of code page cp meet (a log line, a
// question naming a file), as UTF-16. Each run of bytes above 0x7f is read
// as UTF-8 when it is UTF-8 throughout, else in the code page. On a code
// page of double-byte characters only sequences of three and four bytes
// count as UTF-8 (the texts' Chinese and punctuation are three), since many
// pairs of double-byte characters also read as two-byte UTF-8. A UTF-8 text
// that touches a narrow name without an ASCII character between them is
// read in the code page.
std::wstring krii_wide_mixed(std::string_view text, unsigned cp);
