// The dialog's per-user settings in the registry: key
// HKEY_CURRENT_USER\Software\korin\krii, a subkey per group, string values
// (REG_SZ); the window placement a binary value (REG_BINARY).
#pragma once

#include <string>

#include "krii_logic.h"

// The key of the settings, below HKEY_CURRENT_USER.
inline constexpr const wchar_t* KRII_REGISTRY_KEY = L"Software\\korin\\krii";

class win_store : public krii_store {
 public:
  // Values stored as UTF-16; the image path (a narrow name, krii_view) is
  // converted through the ANSI code page, every other value through UTF-8.
  bool get(const char* group, const char* name, std::string* value) override;
  void set(const char* group, const char* name, const std::string& value) override;
  // Each value is written when set.
  void flush() override {}

  // The raw bytes of a binary value; false when there is none.
  static bool get_binary(const char* group, const char* name, std::string* bytes);
  static void set_binary(const char* group, const char* name, const std::string& bytes);

 private:
  // A stored image path the code page cannot spell reads with '?' in its
  // place; stored back unchanged, it would replace the name it stands for.
  std::string unspelt_;
};
