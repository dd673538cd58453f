#include "bounded_format.h"

#include <stdarg.h>

namespace orvelle {

namespace {

// Appends text to dest at *used, keeping one slot for the null. Returns false
// (after writing as much as fits) when the text does not fit.
bool Append(wchar_t* dest, size_t destChars, size_t* used, const wchar_t* text,
            size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (*used + 1 >= destChars) return false;
    dest[(*used)++] = text[i];
  }
  return true;
}

size_t Length(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

}  // namespace

HRESULT FormatBounded(wchar_t* dest, size_t destChars, const wchar_t* format,
                      ...) {
  if (dest == nullptr || destChars == 0 || format == nullptr) {
    return kFormatInvalidParameter;
  }
  va_list args;
  va_start(args, format);
  size_t used = 0;
  HRESULT status = kFormatOk;
  for (const wchar_t* p = format; status == kFormatOk && *p != L'\0'; ++p) {
    if (*p != L'%') {
      if (!Append(dest, destChars, &used, p, 1)) {
        status = kFormatInsufficientBuffer;
      }
      continue;
    }
    ++p;
    if (*p == L'%') {
      if (!Append(dest, destChars, &used, p, 1)) {
        status = kFormatInsufficientBuffer;
      }
    } else if (*p == L's') {
      const wchar_t* text = va_arg(args, const wchar_t*);
      if (text == nullptr) {
        status = kFormatInvalidParameter;
      } else if (!Append(dest, destChars, &used, text, Length(text))) {
        status = kFormatInsufficientBuffer;
      }
    } else if (p[0] == L'l' && p[1] == L'u') {
      ++p;
      unsigned long value = va_arg(args, unsigned long);
      wchar_t digits[24];
      size_t count = 0;
      do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
      } while (value != 0);
      wchar_t ordered[24];
      for (size_t i = 0; i < count; ++i) ordered[i] = digits[count - 1 - i];
      if (!Append(dest, destChars, &used, ordered, count)) {
        status = kFormatInsufficientBuffer;
      }
    } else {
      status = kFormatInvalidParameter;
    }
  }
  va_end(args);
  if (status == kFormatInvalidParameter) used = 0;
  dest[used] = L'\0';
  return status;
}

}  // namespace orvelle
