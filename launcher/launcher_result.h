// Result codes of the launcher and the one message shown for each.
#pragma once

#include <windows.h>

namespace orvelle {

// Exit codes for the launcher's own failures. Any other exit code is the
// setup script's, passed through unchanged.
enum LauncherResult : int {
  kProgramDataMissing = 10,
  kBootstrapPathTooLong = 11,
  kBootstrapFolderFailed = 12,
  kScriptPathTooLong = 13,
  kResourceMissing = 14,
  kResourceUnloadable = 15,
  kScriptCreateFailed = 16,
  kScriptWriteIncomplete = 17,
  kPowerShellNotFound = 18,
  kCommandTooLong = 19,
  kPowerShellStartFailed = 20,
  kFolderArgumentRefused = 21,
};

constexpr int kFirstLauncherResult = kProgramDataMissing;
constexpr int kLastLauncherResult = kFolderArgumentRefused;

// The message of kFolderArgumentRefused, which names what was given: a format
// for FormatBounded with the switch's name ("layout", "source"), the folder
// as given (or its start), "..." when it is cut or "" otherwise, and the
// longest folder accepted, in characters.
inline constexpr wchar_t kFolderRefusedMessage[] =
    L"The folder given with /%s cannot be used: \"%s%s\". Give a full path "
    L"of up to %lu characters, such as D:\\ORVELLE-Game-Support-Packages, "
    L"without quotation marks.";

constexpr const wchar_t* kMessageCaption = L"ORVELLE GAME SUPPORT";
// MB_ICONERROR | MB_SETFOREGROUND (OK button only).
constexpr UINT kMessageStyle = MB_ICONERROR | MB_SETFOREGROUND;

// The message for a failure code (kFolderRefusedMessage, a format, for
// kFolderArgumentRefused), or nullptr for a code that is not one of the
// launcher's own.
const wchar_t* MessageForResult(int result);

}  // namespace orvelle
