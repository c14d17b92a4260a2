// The dialog's per-user settings, whatever stores them: groups, value names,
// defaults and limits, and the two values whose stored form needs
// converting (the dotted address and the window placement).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Groups and value names of the per-user store ("korin"/"krii").
inline constexpr const char* KRII_GROUP_CONFIG = "config";
inline constexpr const char* KRII_GROUP_PLACEMENT = "CBrowseDialogDlg";
inline constexpr const char* KRII_VALUE_PLACEMENT = "WindowPlacement";

inline constexpr const char* KRII_VALUE_IP = "ip";
inline constexpr const char* KRII_VALUE_USER = "user";
inline constexpr const char* KRII_VALUE_PASSWD = "passwd";
inline constexpr const char* KRII_VALUE_PORT = "port";
inline constexpr const char* KRII_VALUE_PATH = "LastImgFile";
// The case fields of the report.
inline constexpr const char* KRII_VALUE_CASE = "CaseNumber";
inline constexpr const char* KRII_VALUE_EVIDENCE = "EvidenceNumber";
inline constexpr const char* KRII_VALUE_EXAMINER = "Examiner";
inline constexpr const char* KRII_VALUE_NOTES = "Notes";
// The image format chosen beside the path (krii_formats).
inline constexpr const char* KRII_VALUE_FORMAT = "ImageFormat";

inline constexpr const char* KRII_DEFAULT_IP = "192.168.191.2";
inline constexpr const char* KRII_DEFAULT_USER = "root";
inline constexpr const char* KRII_DEFAULT_PASSWD = "tazmok";
inline constexpr const char* KRII_DEFAULT_PORT = "22";
// Characters that can be typed into the edits: the port, user and password
// (as many as the deployment carries), the case fields.
inline constexpr int KRII_PORT_MAX = 5;
inline constexpr int KRII_CREDENTIAL_MAX = 31;
inline constexpr int KRII_CASE_FIELD_MAX = 127;
inline constexpr int KRII_NOTES_MAX = 1023;

// Reads a stored address the way "%d.%d.%d.%d" does: each number keeps its
// low 8 bits, and every number from the first one that cannot be read on
// counts as 0. The four bytes are packed high to low (first number in bits
// 31..24).
uint32_t krii_parse_address(std::string_view text);
// The dotted form of a packed address.
std::string krii_address_text(uint32_t packed);

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

std::string krii_placement_bytes(const krii_placement& p);
// True and *out filled when raw is exactly 44 bytes; false (out untouched)
// for any other length.
bool krii_placement_parse(std::string_view raw, krii_placement* out);
