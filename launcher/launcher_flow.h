// The launcher flow, written once for any set of buffer sizes and any
// provider of the Windows calls. The executable uses LauncherBufferSizes
// (launcher.h) and Win32Api; tests instantiate it with the Platform interface
// and smaller buffers to reach the failures that guard the formatting steps.
#pragma once

#include "bounded_format.h"
#include "child_environment.h"
#include "command_line.h"
#include "folder_guard.h"
#include "launcher.h"
#include "launcher_result.h"

namespace orvelle {

namespace launcher_detail {

// Shows the failure's message when showBox is set (see CanShowMessageBox)
// and returns its code, which is the launcher's exit code.
template <class P>
int Fail(P& platform, bool showBox, LauncherResult result) {
  if (showBox) {
    platform.MessageBoxW(MessageForResult(result), kMessageCaption,
                         kMessageStyle);
  }
  return result;
}

// False where nobody could answer a message box: in session 0, where
// services and tasks running as SYSTEM live, or on a window station that is
// not visible. A box there would block the run until something kills it.
// When Windows cannot tell, the box is shown as on any desktop.
template <class P>
bool CanShowMessageBox(P& platform) {
  DWORD session = 1;
  if (platform.ProcessIdToSessionId(platform.GetCurrentProcessId(),
                                    &session) &&
      session == 0) {
    return false;
  }
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  HWINSTA station = platform.GetProcessWindowStation();
  return station == nullptr ||
         !platform.GetUserObjectInformationW(station, UOI_FLAGS, &flags,
                                             sizeof(flags), &needed) ||
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The vendor, product and bootstrap folders under ProgramData (launcher.h),
// from the outermost in, each inside the one before. Each stays open, with
// listing access and without delete sharing, for as long as the launcher
// works in them, so that none of them can be renamed or replaced underneath
// it.
struct FolderChain {
  static constexpr int kCount = 3;
  static constexpr const wchar_t* kNames[kCount] = {
      ORVELLE_VENDOR_FOLDER_NAME, ORVELLE_PRODUCT_FOLDER_NAME,
      ORVELLE_BOOTSTRAP_FOLDER_NAME};
  HANDLE handles[kCount] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                            INVALID_HANDLE_VALUE};

  template <class P>
  void Close(P& platform) {
    for (int i = kCount - 1; i >= 0; --i) {
      if (handles[i] != INVALID_HANDLE_VALUE) {
        platform.CloseHandle(handles[i]);
        handles[i] = INVALID_HANDLE_VALUE;
      }
    }
  }
};

// The one way out for every failure once the folders have been opened:
// delete the script file if it has been created (scriptFile is null before),
// close the folders, then show the failure's message. Inlined at each failure,
// so that each passes its own constant and the code is what it would be with
// the clean-up written out there.
template <class P>
__attribute__((always_inline)) inline int FailAndCleanUp(
    P& platform, bool showBox, FolderChain& folders, const wchar_t* scriptFile,
    LauncherResult result) {
  if (scriptFile != nullptr) {
    platform.DeleteFileW(scriptFile);
  }
  folders.Close(platform);
  return Fail(platform, showBox, result);
}

}  // namespace launcher_detail

// P is the Platform interface in tests and Win32Api in the executable, which
// so calls Windows directly.
template <class Sizes, class P>
int RunLauncherWithSizes(P& platform, HMODULE module,
                         const wchar_t* arguments) {
  using launcher_detail::CanShowMessageBox;
  using launcher_detail::Fail;
  using launcher_detail::FailAndCleanUp;
  using launcher_detail::FolderChain;

  // Players start the setup from their Downloads folder, where other files may
  // sit beside it: load system DLLs from the system folder only.
  platform.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  // A deployment tool asks for a quiet run: its exit code alone tells a
  // failure. Without it, a box is shown only where somebody can see it.
  wchar_t switchFolders[kFolderSwitchCount][Sizes::kFolderArgument];
  const ArgumentsRead read =
      ReadArguments(arguments, switchFolders[0], Sizes::kFolderArgument);
  const bool quiet = read.quiet;
  const bool showBox = !quiet && CanShowMessageBox(platform);

  // A folder for /layout or /source that cannot be used stops the run before
  // anything is written or started; the message names what was given.
  if (read.refused >= 0) {
    wchar_t message[Sizes::kFolderMessage];
    if (showBox &&
        FormatBounded(message, Sizes::kFolderMessage, kFolderRefusedMessage,
                      kFolderSwitches[read.refused].name,
                      switchFolders[read.refused], read.cut ? L"..." : L"",
                      static_cast<unsigned long>(Sizes::kFolderArgument - 1)) >=
            0) {
      platform.MessageBoxW(message, kMessageCaption, kMessageStyle);
    }
    return kFolderArgumentRefused;
  }

  wchar_t programData[Sizes::kProgramData];
  const DWORD programDataLength = platform.GetEnvironmentVariableW(
      L"ProgramData", programData, Sizes::kProgramData);
  if (programDataLength == 0 || programDataLength >= Sizes::kProgramData) {
    return Fail(platform, showBox, kProgramDataMissing);
  }
  // Only a local drive's folder: a share path would put the private folders
  // on another computer.
  if (!IsDrivePath(programData)) {
    return Fail(platform, showBox, kBootstrapFolderFailed);
  }

  // The bootstrap folder's usual path must fit before anything is made.
  wchar_t paths[FolderChain::kCount][Sizes::kBootstrapPath];
  if (FormatBounded(paths[0], Sizes::kBootstrapPath,
                    L"%s\\" ORVELLE_VENDOR_FOLDER_NAME
                    L"\\" ORVELLE_PRODUCT_FOLDER_NAME
                    L"\\" ORVELLE_BOOTSTRAP_FOLDER_NAME,
                    programData) < 0) {
    return Fail(platform, showBox, kBootstrapPathTooLong);
  }

  // From here on every failure leaves through FailAndCleanUp, which deletes
  // scriptFile once it is set.
  FolderChain folders;
  const wchar_t* scriptFile = nullptr;
  // Each level is made private where it belongs or, when somebody keeps it
  // from that, in a fresh folder beside it; the levels below go inside
  // whichever was used. Only a ProgramData that holds no private folder at
  // all stops the run.
  const wchar_t* parent = programData;
  for (int i = 0; i < FolderChain::kCount; ++i) {
    wchar_t* const path = paths[i];
    const wchar_t* const name = FolderChain::kNames[i];
    if (FormatBounded(path, Sizes::kBootstrapPath, L"%s\\%s", parent, name) <
        0) {
      return FailAndCleanUp(platform, showBox, folders, scriptFile,
                            kBootstrapPathTooLong);
    }
    HANDLE folder = SecureFolder(platform, path);
    if (folder == INVALID_HANDLE_VALUE) {
      folder = SecureFallbackFolder(platform, path, Sizes::kBootstrapPath,
                                    parent, name);
    }
    if (folder == INVALID_HANDLE_VALUE) {
      return FailAndCleanUp(platform, showBox, folders, scriptFile,
                            kBootstrapFolderFailed);
    }
    folders.handles[i] = folder;
    parent = path;
  }
  const wchar_t* const bootstrapPath = paths[FolderChain::kCount - 1];

  wchar_t scriptPath[Sizes::kScriptPath];
  const DWORD processId = platform.GetCurrentProcessId();
  if (FormatBounded(scriptPath, Sizes::kScriptPath,
                    L"%s\\" ORVELLE_SCRIPT_FILE_PREFIX L"%lu.ps1",
                    bootstrapPath, static_cast<unsigned long>(processId)) < 0) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile, kScriptPathTooLong);
  }

  HRSRC resource = platform.FindResourceW(
      module, MAKEINTRESOURCEW(kScriptResourceId), RT_RCDATA);
  if (resource == nullptr) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile, kResourceMissing);
  }
  HGLOBAL loaded = platform.LoadResource(module, resource);
  const DWORD scriptSize = platform.SizeofResource(module, resource);
  const void* scriptBytes = platform.LockResource(loaded);
  if (loaded == nullptr || scriptSize == 0 || scriptBytes == nullptr) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile, kResourceUnloadable);
  }

  // A file of that name left by an earlier run is removed and the script is
  // written to a file that cannot have existed before: a pre-existing file
  // would keep its old owner and permissions.
  platform.DeleteFileW(scriptPath);
  HANDLE script = platform.CreateFileW(scriptPath, GENERIC_WRITE, 0,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  if (script == INVALID_HANDLE_VALUE) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile, kScriptCreateFailed);
  }
  scriptFile = scriptPath;

  const BYTE* bytes = static_cast<const BYTE*>(scriptBytes);
  DWORD total = 0;
  while (total < scriptSize) {
    DWORD written = 0;
    if (!platform.WriteFile(script, bytes + total, scriptSize - total,
                            &written) ||
        written == 0) {
      break;
    }
    total += written;
  }
  platform.FlushFileBuffers(script);
  platform.CloseHandle(script);
  if (total != scriptSize) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile,
                          kScriptWriteIncomplete);
  }

  wchar_t systemDirectory[Sizes::kSystemDirectory];
  wchar_t powerShellPath[Sizes::kPowerShellPath];
  const UINT systemLength =
      platform.GetSystemDirectoryW(systemDirectory, Sizes::kSystemDirectory);
  if (systemLength == 0 || systemLength >= Sizes::kSystemDirectory ||
      FormatBounded(powerShellPath, Sizes::kPowerShellPath,
                    L"%s\\WindowsPowerShell\\v1.0\\powershell.exe",
                    systemDirectory) < 0) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile, kPowerShellNotFound);
  }

  // The script's path parameters: the folders of /layout and /source, and
  // the folder the executable is in, where the script looks for packages
  // beside it. That last one is left out when it cannot be read whole: the
  // setup runs without it.
  wchar_t parameters[kFolderSwitchCount + 1][Sizes::kPathParameter];
  for (int i = 0; i < kFolderSwitchCount; ++i) {
    if (!FormatPathParameter(parameters[i], Sizes::kPathParameter,
                             kFolderSwitches[i].parameter, switchFolders[i])) {
      return FailAndCleanUp(platform, showBox, folders, scriptFile,
                            kCommandTooLong);
    }
  }
  wchar_t ownFolder[Sizes::kModulePath];
  const DWORD modulePathLength =
      platform.GetModuleFileNameW(module, ownFolder, Sizes::kModulePath);
  if (modulePathLength == 0 || modulePathLength >= Sizes::kModulePath) {
    ownFolder[0] = L'\0';
  }
  RemoveFileName(ownFolder);
  if (!FormatPathParameter(parameters[kFolderSwitchCount],
                           Sizes::kPathParameter, kLauncherFolderParameter,
                           ownFolder)) {
    parameters[kFolderSwitchCount][0] = L'\0';
  }

  wchar_t commandLine[Sizes::kCommandLine];
  if (FormatBounded(commandLine, Sizes::kCommandLine, kCommandLineFormat,
                    powerShellPath, scriptPath,
                    quiet ? kUnattendedParameter : L"", parameters[0],
                    parameters[1], parameters[kFolderSwitchCount]) < 0) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile, kCommandTooLong);
  }

  // PowerShell inherits the launcher's environment, without the variables
  // that would load foreign code into it.
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!RemoveForeignCodeVariables(platform) ||
      !platform.CreateProcessW(powerShellPath, commandLine,
                               quiet ? kQuietPowerShellCreationFlags
                                     : kPowerShellCreationFlags,
                               bootstrapPath,
                               &startup, &process)) {
    return FailAndCleanUp(platform, showBox, folders, scriptFile,
                          kPowerShellStartFailed);
  }

  platform.WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  platform.GetExitCodeProcess(process.hProcess, &exitCode);
  platform.CloseHandle(process.hThread);
  platform.CloseHandle(process.hProcess);

  folders.Close(platform);
  platform.DeleteFileW(scriptPath);
  // Succeeds only when the folder is empty: another launcher's script keeps
  // it. ORVELLE and Game Support stay; the setup script keeps its work and
  // log folders there.
  platform.RemoveDirectoryW(bootstrapPath);
  return static_cast<int>(exitCode);
}

}  // namespace orvelle
