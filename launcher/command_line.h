// Command lines: the launcher's own, which may hold "/quiet" and the two
// switches that name a folder for the setup script, "/layout <folder>" and
// "/source <folder>" (every other argument is ignored), and the paths the
// launcher passes on to the script.
#pragma once

#include <stddef.h>
#include <windows.h>

namespace orvelle {

// The switches that take a folder, in the order their parameters follow on
// the script's command line: the name after "/" or "-" (any letter case) and
// the script parameter that receives the folder.
struct FolderSwitch {
  const wchar_t* name;
  const wchar_t* parameter;
};
constexpr int kFolderSwitchCount = 2;
inline constexpr FolderSwitch kFolderSwitches[kFolderSwitchCount] = {
    {L"layout", L"Layout"}, {L"source", L"PackageSource"}};

// What ReadArguments found.
struct ArgumentsRead {
  bool quiet;
  // Index in kFolderSwitches of the first switch whose folder cannot be
  // used, or -1. Its buffer then holds the folder as given (empty when the
  // switch was the last argument), or its start when it did not fit.
  int refused;
  bool cut;
};

// Reads the arguments (the command line after the program name) as
// CommandLineToArgvW splits them. "/quiet" makes the run quiet wherever it
// stands, even where a switch would take it as its folder. Each folder
// switch takes the next argument as its folder. folders holds
// kFolderSwitchCount buffers of folderChars characters (null included), one
// after the other: buffer i receives the folder of kFolderSwitches[i], and
// stays empty when that switch is not given; a switch given twice keeps the
// last. A folder is refused when it is missing, does not fit, holds a double
// quote or is not a full path (IsFullFolderPath); the first refusal ends the
// reading of folders.
ArgumentsRead ReadArguments(const wchar_t* arguments, wchar_t* folders,
                            size_t folderChars);

// Reads the argument that starts at *at (after any spaces and tabs) by the
// rules CommandLineToArgvW applies after the program name, moves *at past it
// and returns true; false (out empty) when nothing but spaces and tabs is
// left. Double quotes group: 2n backslashes before a quote give n
// backslashes and the quote begins or ends the quoted part, 2n+1 give n
// backslashes and a literal quote; a quote right after the one that ended a
// quoted part is a literal quote; other backslashes are themselves. out
// (outChars characters, null included) receives the argument; *fits is false
// when it was longer, and out then holds its start.
bool NextArgument(const wchar_t** at, wchar_t* out, size_t outChars,
                  bool* fits);

// A drive letter, a colon and a backslash: the only form of a local folder
// the launcher accepts. A relative or drive-relative path would depend on the
// current folder, and the device forms ("\\?\C:", "\\.\C:") skip the checks
// Windows makes on ordinary paths.
bool IsDrivePath(const wchar_t* path);

// A drive path or a share path ("\\server\share..."; not the device forms),
// without a double quote, which no Windows path holds and which could end the
// quoting on the script's command line.
bool IsFullFolderPath(const wchar_t* path);

// Cuts the file name and the backslash before it off path, keeping the
// backslash of a drive's root ("E:\setup.exe" gives "E:\"). A path without
// a backslash becomes empty.
void RemoveFileName(wchar_t* path);

// Formats ' -<parameter> "<path>"' into dest (destChars characters, null
// included), the path's trailing backslashes doubled: the backslashes before
// the closing quote then stand for themselves and the quote still ends the
// path, so that PowerShell reads the path as it is and no part of it as
// another parameter ("E:\" arrives as E:\). The path must hold no double
// quote. An empty path gives an empty dest. False when the text does not fit.
// At most 2 * length + 5 characters besides the parameter's name.
bool FormatPathParameter(wchar_t* dest, size_t destChars,
                         const wchar_t* parameter, const wchar_t* path);

}  // namespace orvelle
