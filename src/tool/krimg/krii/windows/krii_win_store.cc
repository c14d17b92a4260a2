#include "krii_win_store.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "krii_schema.h"
#include "krii_win_text.h"

namespace {

std::wstring key_of(const char* group) { return std::wstring(KRII_REGISTRY_KEY) + L"\\" + krii_wide(group); }

bool is_name(const char* group, const char* name) {
  return std::strcmp(group, KRII_GROUP_CONFIG) == 0 && std::strcmp(name, KRII_VALUE_PATH) == 0;
}

// The data of a value of the given type, or false.
bool read(const char* group, const char* name, DWORD type, std::vector<BYTE>* data) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key_of(group).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  const std::wstring value = krii_wide(name);
  bool ok = false;
  for (int attempt = 0; attempt < 4 && !ok; ++attempt) {  // the value may grow in between
    DWORD t = 0, size = 0;
    if (RegQueryValueExW(key, value.c_str(), nullptr, &t, nullptr, &size) != ERROR_SUCCESS || t != type) break;
    data->assign(size, 0);
    const LONG rc = RegQueryValueExW(key, value.c_str(), nullptr, &t, data->data(), &size);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS || t != type) break;
    data->resize(size);
    ok = true;
  }
  RegCloseKey(key);
  return ok;
}

void write(const char* group, const char* name, DWORD type, const void* data, size_t size) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key_of(group).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, krii_wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
  RegCloseKey(key);
}

}  // namespace

bool win_store::get(const char* group, const char* name, std::string* value) {
  std::vector<BYTE> data;
  if (!read(group, name, REG_SZ, &data)) return false;
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  // Stored with or without its terminating null.
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  if (!is_name(group, name))
    *value = krii_utf8(text);
  else if (!krii_narrow_from_wide(text, GetACP(), value))
    unspelt_ = *value;
  return true;
}

void win_store::set(const char* group, const char* name, const std::string& value) {
  if (is_name(group, name) && !unspelt_.empty() && value == unspelt_) return;
  const std::wstring text = is_name(group, name) ? krii_wide_from_narrow(value, GetACP()) : krii_wide(value);
  write(group, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

bool win_store::get_binary(const char* group, const char* name, std::string* bytes) {
  std::vector<BYTE> data;
  if (!read(group, name, REG_BINARY, &data)) return false;
  bytes->assign(data.begin(), data.end());
  return true;
}

void win_store::set_binary(const char* group, const char* name, const std::string& bytes) {
  write(group, name, REG_BINARY, bytes.data(), bytes.size());
}
