// The launcher: writes the embedded setup script to a private bootstrap
// folder under ProgramData, runs it with the system's Windows PowerShell in a
// new console, waits for it, cleans up and returns PowerShell's exit code.
// "/quiet" on the command line makes the run silent for deployment tools: no
// window, no message box, the script started with -Unattended.
#pragma once

#include <windows.h>

#include "orvelle_version.h"
#include "platform.h"
#include "shared_names.h"

namespace orvelle {

// Buffer sizes in characters, terminating null included.
struct LauncherBufferSizes {
  static constexpr DWORD kProgramData = 260;
  static constexpr size_t kBootstrapPath = 520;
  static constexpr size_t kScriptPath = 520;
  static constexpr UINT kSystemDirectory = 260;
  static constexpr size_t kPowerShellPath = 520;
  static constexpr size_t kCommandLine = 1040;
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
