#include "child_environment.h"

namespace orvelle {

namespace {

wchar_t UpperAscii(wchar_t c) {
  return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != L'\0'; ++text, ++prefix) {
    if (UpperAscii(*text) != UpperAscii(*prefix)) return false;
  }
  return true;
}

enum class Found { kNone, kName, kTooLong };

// Looks through the environment block ("NAME=VALUE\0...\0\0") for the first
// runtime-settings variable and copies its name into name.
Found FindRuntimeSettingsVariable(const wchar_t* block, wchar_t* name) {
  for (const wchar_t* entry = block; *entry != L'\0';) {
    size_t length = 0;
    while (entry[length] != L'\0') ++length;
    if (StartsWithNoCase(entry, kRuntimeSettingsPrefix)) {
      size_t nameLength = 0;
      while (nameLength < length && entry[nameLength] != L'=') ++nameLength;
      if (nameLength >= kVariableNameChars) return Found::kTooLong;
      for (size_t i = 0; i < nameLength; ++i) name[i] = entry[i];
      name[nameLength] = L'\0';
      return Found::kName;
    }
    entry += length + 1;
  }
  return Found::kNone;
}

}  // namespace

bool RemoveForeignCodeVariables(Platform& platform) {
  for (const wchar_t* name : kForeignCodeVariables) {
    // Fails only when the variable is not there.
    platform.SetEnvironmentVariableW(name, nullptr);
  }
  wchar_t name[kVariableNameChars];
  for (int removed = 0; removed <= kMaxRuntimeSettingsVariables; ++removed) {
    LPWCH block = platform.GetEnvironmentStringsW();
    if (block == nullptr) return false;
    const Found found = FindRuntimeSettingsVariable(block, name);
    platform.FreeEnvironmentStringsW(block);
    if (found == Found::kNone) return true;
    if (found == Found::kTooLong || removed == kMaxRuntimeSettingsVariables ||
        !platform.SetEnvironmentVariableW(name, nullptr)) {
      return false;
    }
  }
  return false;
}

}  // namespace orvelle
