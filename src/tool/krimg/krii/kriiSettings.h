// The dialog's per-user settings: names, defaults, and the two values whose
// stored form needs converting (the dotted address and the window placement).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string_view>

// Groups and value names of the per-user store ("korin"/"krii").
inline constexpr const char* KRII_GROUP_CONFIG = "config";
inline constexpr const char* KRII_GROUP_PLACEMENT = "CBrowseDialogDlg";
inline constexpr const char* KRII_VALUE_PLACEMENT = "WindowPlacement";

inline constexpr const char* KRII_DEFAULT_IP = "192.168.191.2";
inline constexpr const char* KRII_DEFAULT_USER = "root";
inline constexpr const char* KRII_DEFAULT_PASSWD = "tazmok";
inline constexpr const char* KRII_DEFAULT_PORT = "22";
// Characters that can be typed into the port edit.
inline constexpr int KRII_PORT_MAX = 5;

// The settings file holds the device password: makes it and its folder the
// user's alone before anything is written to it. Missing folders are made
// 0700, a missing file is made empty with 0600, and an existing folder and
// file are set to 0700 and 0600. False when that failed (an error line says
// which); the caller goes on, as the settings are still needed.
bool krii_settings_protect();

// Reads a stored address the way "%d.%d.%d.%d" does: each number keeps its
// low 8 bits, and every number from the first one that cannot be read on
// counts as 0. The four bytes are packed high to low (first number in bits
// 31..24).
uint32_t krii_parse_address(std::string_view text);

// The port as Connect hands it on: the decimal value of the leading digits,
// 0 when there are none. No range test; saturates at INT32_MAX instead of
// overflowing.
int krii_port_from_text(std::string_view text);

// The window-placement record: 11 little-endian int32, 44 bytes.
struct krii_placement {
  int32_t length = 44;
  int32_t flags = 0;
  int32_t show = 1;  // KRII_SHOW_*
  int32_t min_x = -1, min_y = -1;
  int32_t max_x = -1, max_y = -1;
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // normal (restored) rectangle
};
enum { KRII_SHOW_NORMAL = 1, KRII_SHOW_MINIMIZED = 2, KRII_SHOW_MAXIMIZED = 3 };
inline constexpr int KRII_PLACEMENT_SIZE = 44;

QByteArray krii_placement_encode(const krii_placement& p);
// True and *out filled when raw is exactly 44 bytes; false (out untouched)
// for any other length.
bool krii_placement_decode(const QByteArray& raw, krii_placement* out);
