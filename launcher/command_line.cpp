#include "command_line.h"

#include "bounded_format.h"

namespace orvelle {

namespace {

// Longest switch ("/layout", "/source") and its null: a longer argument is
// no switch.
constexpr size_t kSwitchChars = 8;

// "/name" or "-name", the name in any letter case.
bool IsSwitch(const wchar_t* argument, const wchar_t* name) {
  if (*argument != L'/' && *argument != L'-') return false;
  ++argument;
  for (; *name != L'\0'; ++argument, ++name) {
    if ((*argument | 0x20) != *name) return false;
  }
  return *argument == L'\0';
}

}  // namespace

bool NextArgument(const wchar_t** at, wchar_t* out, size_t outChars,
                  bool* fits) {
  const wchar_t* s = *at;
  while (*s == L' ' || *s == L'\t') ++s;
  size_t used = 0;
  out[0] = L'\0';
  *fits = true;
  *at = s;
  if (*s == L'\0') return false;
  auto put = [&](wchar_t c, size_t count) {
    for (; count != 0; --count) {
      if (used + 1 < outChars) {
        out[used++] = c;
      } else {
        *fits = false;
      }
    }
  };
  // quotes: 1 inside a quoted part; 2 right after a quote that ended one,
  // where one more quote is a literal quote.
  int quotes = 0;
  size_t backslashes = 0;
  for (; *s != L'\0' && (quotes != 0 || (*s != L' ' && *s != L'\t')); ++s) {
    if (*s == L'\\') {
      ++backslashes;
      continue;
    }
    if (*s == L'"') {
      put(L'\\', backslashes / 2);
      if (backslashes % 2 != 0) {
        put(L'"', 1);
      } else if (++quotes == 3) {
        put(L'"', 1);
        quotes = 0;
      }
      backslashes = 0;
      if (quotes == 2 && s[1] != L'"') quotes = 0;
      continue;
    }
    put(L'\\', backslashes);
    backslashes = 0;
    put(*s, 1);
  }
  put(L'\\', backslashes);
  out[used] = L'\0';
  *at = s;
  return true;
}

ArgumentsRead ReadArguments(const wchar_t* arguments, wchar_t* folders,
                            size_t folderChars) {
  ArgumentsRead read = {false, -1, false};
  for (int i = 0; i < kFolderSwitchCount; ++i) folders[i * folderChars] = L'\0';
  wchar_t argument[kSwitchChars];
  bool fits = true;
  const wchar_t* at = arguments;
  while (NextArgument(&at, argument, kSwitchChars, &fits)) {
    if (!fits) continue;
    if (IsSwitch(argument, L"quiet")) read.quiet = true;
    for (int i = 0; i < kFolderSwitchCount && read.refused < 0; ++i) {
      if (!IsSwitch(argument, kFolderSwitches[i].name)) continue;
      // Empty when the switch is the last argument.
      wchar_t* const folder = folders + i * folderChars;
      NextArgument(&at, folder, folderChars, &fits);
      if (IsSwitch(folder, L"quiet")) read.quiet = true;
      if (!fits || !IsFullFolderPath(folder)) {
        read.refused = i;
        read.cut = !fits;
      }
    }
  }
  return read;
}

bool IsDrivePath(const wchar_t* path) {
  const wchar_t drive = path[0];
  return ((drive >= L'A' && drive <= L'Z') ||
          (drive >= L'a' && drive <= L'z')) &&
         path[1] == L':' && path[2] == L'\\';
}

bool IsFullFolderPath(const wchar_t* path) {
  for (const wchar_t* c = path; *c != L'\0'; ++c) {
    if (*c == L'"') return false;
  }
  if (IsDrivePath(path)) return true;
  if (path[0] != L'\\' || path[1] != L'\\') return false;
  // "\\server\share": a server name, not "?" or ".", and a share name.
  const wchar_t* const server = path + 2;
  size_t length = 0;
  while (server[length] != L'\0' && server[length] != L'\\') ++length;
  if (length == 0 || server[length] != L'\\' ||
      (length == 1 && (server[0] == L'?' || server[0] == L'.'))) {
    return false;
  }
  const wchar_t share = server[length + 1];
  return share != L'\0' && share != L'\\';
}

void RemoveFileName(wchar_t* path) {
  wchar_t* cut = path;
  for (wchar_t* c = path; *c != L'\0'; ++c) {
    if (*c == L'\\') cut = c;
  }
  if (cut != path && cut[-1] == L':') ++cut;
  *cut = L'\0';
}

bool FormatPathParameter(wchar_t* dest, size_t destChars,
                         const wchar_t* parameter, const wchar_t* path) {
  if (*path == L'\0') {
    dest[0] = L'\0';
    return true;
  }
  const wchar_t* trailing = path;
  while (*trailing != L'\0') ++trailing;
  while (trailing != path && trailing[-1] == L'\\') --trailing;
  return FormatBounded(dest, destChars, L" -%s \"%s%s\"", parameter, path,
                       trailing) >= 0;
}

}  // namespace orvelle
