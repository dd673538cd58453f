// The launcher: writes the embedded setup script to a private bootstrap
// folder under ProgramData, runs it with the system's Windows PowerShell in a
// new console, waits for it, cleans up and returns PowerShell's exit code.
// "/quiet" on the command line makes the run silent for deployment tools: no
// window, no message box, the script started with -Unattended. "/layout
// <folder>" and "/source <folder>" reach the script as -Layout and
// -PackageSource, and the executable's own folder as -LauncherFolder.
#pragma once

#include <windows.h>

#include "command_line.h"
#include "launcher_result.h"
#include "orvelle_version.h"
#include "platform.h"
#include "shared_names.h"

namespace orvelle {

// PowerShell's command line: its path and the script's, each in quotes, then
// kUnattendedParameter for a quiet run, and the path parameters for /layout,
// /source and the executable's own folder (FormatPathParameter).
inline constexpr wchar_t kCommandLineFormat[] =
    L"\"%s\" -NoLogo -NoProfile -ExecutionPolicy Bypass -File \"%s\"%s%s%s%s";
constexpr int kCommandLineStrings = 6;
static_assert(kFolderSwitchCount == 2,
              "kCommandLineFormat has one %s for each folder switch");
inline constexpr wchar_t kUnattendedParameter[] = L" -Unattended";
inline constexpr wchar_t kLauncherFolderParameter[] = L"LauncherFolder";

namespace buffer_size_detail {

constexpr size_t Length(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

constexpr size_t Digits(size_t value) {
  size_t digits = 1;
  for (; value >= 10; value /= 10) ++digits;
  return digits;
}

constexpr size_t LongestParameterName() {
  size_t longest = Length(kLauncherFolderParameter);
  for (const FolderSwitch& folderSwitch : kFolderSwitches) {
    const size_t length = Length(folderSwitch.parameter);
    if (length > longest) longest = length;
  }
  return longest;
}

constexpr size_t LongestSwitchName() {
  size_t longest = 0;
  for (const FolderSwitch& folderSwitch : kFolderSwitches) {
    const size_t length = Length(folderSwitch.name);
    if (length > longest) longest = length;
  }
  return longest;
}

}  // namespace buffer_size_detail

// ' -<name> "<path>"' and the null, for a path from a buffer of pathChars
// characters whose every character might be a doubled trailing backslash.
constexpr size_t PathParameterChars(size_t pathChars) {
  return buffer_size_detail::LongestParameterName() + 5 + 2 * (pathChars - 1) +
         1;
}

// kCommandLineFormat with its strings at their longest.
constexpr size_t CommandLineChars(size_t powerShellPathChars,
                                  size_t scriptPathChars,
                                  size_t pathParameterChars) {
  return buffer_size_detail::Length(kCommandLineFormat) -
         2 * kCommandLineStrings + (powerShellPathChars - 1) +
         (scriptPathChars - 1) + buffer_size_detail::Length(kUnattendedParameter) +
         (kFolderSwitchCount + 1) * (pathParameterChars - 1) + 1;
}

// kFolderRefusedMessage with its values at their longest.
constexpr size_t FolderMessageChars(size_t folderChars) {
  return buffer_size_detail::Length(kFolderRefusedMessage) - 2 * 4 +
         buffer_size_detail::LongestSwitchName() + (folderChars - 1) + 3 +
         buffer_size_detail::Digits(folderChars - 1) + 1;
}

// Buffer sizes in characters, terminating null included.
struct LauncherBufferSizes {
  static constexpr DWORD kProgramData = 260;
  static constexpr size_t kBootstrapPath = 520;
  static constexpr size_t kScriptPath = 520;
  static constexpr UINT kSystemDirectory = 260;
  static constexpr size_t kPowerShellPath = 520;
  // A folder given with /layout or /source; a longer one is refused.
  static constexpr size_t kFolderArgument = 260;
  // The executable's own path; when it is longer, the script is not told the
  // executable's folder.
  static constexpr DWORD kModulePath = 260;
  // One script parameter with a path (FormatPathParameter): the longest
  // parameter name, the path with every character doubled, and the null.
  static constexpr size_t kPathParameter =
      PathParameterChars(kFolderArgument > kModulePath ? kFolderArgument
                                                       : kModulePath);
  // PowerShell's command line with every part at its longest: both paths,
  // -Unattended and the three path parameters (-Layout, -PackageSource,
  // -LauncherFolder): 2716 characters.
  static constexpr size_t kCommandLine =
      CommandLineChars(kPowerShellPath, kScriptPath, kPathParameter);
  // The message of a refused folder: the switch, the folder's start and
  // "...", and the longest folder's length.
  static constexpr size_t kFolderMessage = FolderMessageChars(kFolderArgument);
};

// The launcher's folders under ProgramData, each inside the one before (the
// first two come from the setup script, shared_names.h), and the name of the
// script file in the innermost, before the process id. Macros so that the
// paths built from them are joined at compile time.
#define ORVELLE_BOOTSTRAP_FOLDER_NAME L"Bootstrap"
#define ORVELLE_SCRIPT_FILE_PREFIX \
  L"ORVELLE-Prerequisites-" ORVELLE_VERSION_WIDE L"-"

constexpr wchar_t kVendorFolderName[] = ORVELLE_VENDOR_FOLDER_NAME;
constexpr wchar_t kProductFolderName[] = ORVELLE_PRODUCT_FOLDER_NAME;
constexpr wchar_t kBootstrapFolderName[] = ORVELLE_BOOTSTRAP_FOLDER_NAME;
constexpr wchar_t kScriptFilePrefix[] = ORVELLE_SCRIPT_FILE_PREFIX;

// Resource 101 of type RT_RCDATA holds the setup script.
constexpr WORD kScriptResourceId = 101;

// CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT
constexpr DWORD kPowerShellCreationFlags =
    CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT;
// With /quiet: no window at all. CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT
constexpr DWORD kQuietPowerShellCreationFlags =
    CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;

// Runs the whole launcher and returns the process exit code: PowerShell's exit
// code once it has started, otherwise one of the LauncherResult codes after
// showing its message (unless the run is quiet or nobody could see it).
// arguments is the command line after the program name.
int RunLauncher(Platform& platform, HMODULE module,
                const wchar_t* arguments = L"");

}  // namespace orvelle
