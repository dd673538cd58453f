// The operating-system calls the launcher makes, behind one interface so the
// launcher flow and the folder rules can be driven with a fake in tests. Each
// method forwards to the Win32 function of the same name; parameters that the
// launcher always passes with the same value are left out. Notes on a few:
//   MoveFileExW renames a file or folder within its volume; it never replaces
//     an existing target (no MOVEFILE_REPLACE_EXISTING) and never copies.
//   SystemFunction036 is RtlGenRandom, as advapi32 exports it: fills buffer
//     from the system's random number generator.
//   GetTokenInformation asks the current process's own token.
//   GetEnvironmentStringsW, FreeEnvironmentStringsW and
//     SetEnvironmentVariableW work on the launcher's own environment, which
//     PowerShell inherits.
//   GetModuleFileNameW names the executable's own file (module is the
//     instance handle wWinMain receives); the launcher passes its folder on.
//   ProcessIdToSessionId, GetProcessWindowStation and
//     GetUserObjectInformationW tell whether anybody could see a message box:
//     the process's session (0 is where services and SYSTEM tasks run) and
//     its window station's flags.
#pragma once

#include <windows.h>

// Every call of the seam, once: CALL(return type, name, (parameters)).
// Platform declares each pure virtual; the Win32 implementation and the tests'
// fake declare their overrides with ORVELLE_PLATFORM_OVERRIDES.
#define ORVELLE_PLATFORM_CALLS(CALL) \
  CALL(BOOL, SetDefaultDllDirectories, (DWORD flags)) \
  CALL(DWORD, GetEnvironmentVariableW, \
       (LPCWSTR name, LPWSTR buffer, DWORD size)) \
  CALL(DWORD, GetCurrentProcessId, ()) \
  CALL(DWORD, GetLastError, ()) \
  CALL(BOOL, CreateDirectoryW, \
       (LPCWSTR path, SECURITY_ATTRIBUTES* attributes)) \
  CALL(BOOL, GetFileInformationByHandle, \
       (HANDLE file, BY_HANDLE_FILE_INFORMATION* info)) \
  CALL(BOOL, GetKernelObjectSecurity, \
       (HANDLE object, SECURITY_INFORMATION requested, \
        PSECURITY_DESCRIPTOR descriptor, DWORD length, DWORD* needed)) \
  CALL(BOOL, MoveFileExW, (LPCWSTR existing, LPCWSTR target)) \
  CALL(void, GetLocalTime, (SYSTEMTIME* time)) \
  CALL(BOOLEAN, SystemFunction036, (PVOID buffer, ULONG length)) \
  CALL(BOOL, GetTokenInformation, \
       (TOKEN_INFORMATION_CLASS type, LPVOID information, DWORD length, \
        DWORD* needed)) \
  CALL(HRSRC, FindResourceW, (HMODULE module, LPCWSTR name, LPCWSTR type)) \
  CALL(HGLOBAL, LoadResource, (HMODULE module, HRSRC resource)) \
  CALL(DWORD, SizeofResource, (HMODULE module, HRSRC resource)) \
  CALL(LPVOID, LockResource, (HGLOBAL loaded)) \
  CALL(HANDLE, CreateFileW, \
       (LPCWSTR path, DWORD access, DWORD share, DWORD disposition, \
        DWORD flags)) \
  CALL(BOOL, WriteFile, \
       (HANDLE file, const void* data, DWORD size, DWORD* written)) \
  CALL(BOOL, FlushFileBuffers, (HANDLE file)) \
  CALL(BOOL, CloseHandle, (HANDLE object)) \
  CALL(BOOL, DeleteFileW, (LPCWSTR path)) \
  CALL(BOOL, RemoveDirectoryW, (LPCWSTR path)) \
  CALL(LPWCH, GetEnvironmentStringsW, ()) \
  CALL(BOOL, FreeEnvironmentStringsW, (LPWCH block)) \
  CALL(BOOL, SetEnvironmentVariableW, (LPCWSTR name, LPCWSTR value)) \
  CALL(UINT, GetSystemDirectoryW, (LPWSTR buffer, UINT size)) \
  CALL(DWORD, GetModuleFileNameW, \
       (HMODULE module, LPWSTR buffer, DWORD size)) \
  CALL(BOOL, CreateProcessW, \
       (LPCWSTR application, LPWSTR commandLine, DWORD creationFlags, \
        LPCWSTR currentDirectory, STARTUPINFOW* startup, \
        PROCESS_INFORMATION* process)) \
  CALL(DWORD, WaitForSingleObject, (HANDLE object, DWORD milliseconds)) \
  CALL(BOOL, GetExitCodeProcess, (HANDLE process, DWORD* exitCode)) \
  CALL(BOOL, ProcessIdToSessionId, (DWORD processId, DWORD* sessionId)) \
  CALL(HWINSTA, GetProcessWindowStation, ()) \
  CALL(BOOL, GetUserObjectInformationW, \
       (HANDLE object, int index, PVOID information, DWORD length, \
        DWORD* needed)) \
  CALL(int, MessageBoxW, (LPCWSTR text, LPCWSTR caption, UINT style))

#define ORVELLE_PLATFORM_PURE_CALL(type, name, parameters) \
  virtual type name parameters = 0;
#define ORVELLE_PLATFORM_OVERRIDE_CALL(type, name, parameters) \
  type name parameters override;
#define ORVELLE_PLATFORM_OVERRIDES \
  ORVELLE_PLATFORM_CALLS(ORVELLE_PLATFORM_OVERRIDE_CALL)

namespace orvelle {

class Platform {
 public:
  ORVELLE_PLATFORM_CALLS(ORVELLE_PLATFORM_PURE_CALL)

 protected:
  ~Platform() = default;
};

}  // namespace orvelle
