// Bounded wide-character formatting that fails instead of cutting text.
#pragma once

#include <stddef.h>
#include <windows.h>

namespace orvelle {

constexpr HRESULT kFormatOk = S_OK;
// Same values as the strsafe.h status codes.
constexpr HRESULT kFormatInsufficientBuffer = static_cast<HRESULT>(0x8007007AL);
constexpr HRESULT kFormatInvalidParameter = static_cast<HRESULT>(0x80070057L);

// Formats into dest, which holds destChars characters including the
// terminating null. Understands %s (const wchar_t*), %lu (unsigned long) and
// %%. Succeeds (kFormatOk) only when the whole text and its null fit. When the
// text does not fit it returns kFormatInsufficientBuffer and leaves a cut,
// null-terminated text in dest that callers must not use. An unknown
// conversion, a null string argument or destChars == 0 give
// kFormatInvalidParameter (dest is emptied when it has room for the null).
HRESULT FormatBounded(wchar_t* dest, size_t destChars, const wchar_t* format,
                      ...);

}  // namespace orvelle
