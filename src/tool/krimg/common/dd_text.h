// Text checks of the record: UTF-8 and the escapes of what a text must not
// carry raw.
#pragma once

#include <string>
#include <string_view>

// Whether text is valid UTF-8 (no overlong forms, no surrogates).
bool dd_utf8_valid(std::string_view text);
// text with every byte that is not part of a valid UTF-8 sequence written
// as "\xNN"; with controls, also the control characters (below 0x20 and
// 0x7f: "\n", "\t", "\r", "\x1B", ...), so that a line of it stays one line
// and a terminal shows it as it is.
std::string dd_utf8_escape(std::string_view text, bool controls);
