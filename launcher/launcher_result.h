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
};

constexpr int kFirstLauncherResult = kProgramDataMissing;
constexpr int kLastLauncherResult = kPowerShellStartFailed;

constexpr const wchar_t* kMessageCaption = L"ORVELLE GAME SUPPORT";
// MB_ICONERROR | MB_SETFOREGROUND (OK button only).
constexpr UINT kMessageStyle = MB_ICONERROR | MB_SETFOREGROUND;

// The message for a failure code, or nullptr for a code that is not one of
// the launcher's own.
const wchar_t* MessageForResult(int result);

}  // namespace orvelle
