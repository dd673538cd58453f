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

}  // namespace

namespace child_environment_detail {

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

}  // namespace child_environment_detail

}  // namespace orvelle
