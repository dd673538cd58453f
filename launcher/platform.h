// The operating-system calls the launcher makes, behind one interface so the
// launcher flow and the folder rules can be driven with a fake in tests. Each
// method forwards to the Win32 function of the same name; parameters that the
// launcher always passes with the same value are left out.
#pragma once

#include <windows.h>

namespace orvelle {

class Platform {
 public:
  virtual BOOL SetDefaultDllDirectories(DWORD flags) = 0;
  virtual DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer,
                                        DWORD size) = 0;
  virtual DWORD GetCurrentProcessId() = 0;
  virtual DWORD GetLastError() = 0;

  // Folder creation and the security of existing folders.
  virtual BOOL CreateDirectoryW(LPCWSTR path,
                                SECURITY_ATTRIBUTES* attributes) = 0;
  virtual BOOL GetFileInformationByHandle(HANDLE file,
                                          BY_HANDLE_FILE_INFORMATION* info) = 0;
  virtual BOOL GetKernelObjectSecurity(HANDLE object,
                                       SECURITY_INFORMATION requested,
                                       PSECURITY_DESCRIPTOR descriptor,
                                       DWORD length, DWORD* needed) = 0;
  // Renames a file or folder within its volume; never replaces an existing
  // target (no MOVEFILE_REPLACE_EXISTING) and never copies.
  virtual BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target) = 0;
  virtual void GetLocalTime(SYSTEMTIME* time) = 0;
  // RtlGenRandom, which advapi32 exports as SystemFunction036: fills buffer
  // from the system's random number generator.
  virtual BOOLEAN SystemFunction036(PVOID buffer, ULONG length) = 0;
  // Asks the current process's own token.
  virtual BOOL GetTokenInformation(TOKEN_INFORMATION_CLASS type,
                                   LPVOID information, DWORD length,
                                   DWORD* needed) = 0;

  // Script resource.
  virtual HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) = 0;
  virtual HGLOBAL LoadResource(HMODULE module, HRSRC resource) = 0;
  virtual DWORD SizeofResource(HMODULE module, HRSRC resource) = 0;
  virtual LPVOID LockResource(HGLOBAL loaded) = 0;

  // Files.
  virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                             DWORD disposition, DWORD flags) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* data, DWORD size,
                         DWORD* written) = 0;
  virtual BOOL FlushFileBuffers(HANDLE file) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;
  virtual BOOL DeleteFileW(LPCWSTR path) = 0;
  virtual BOOL RemoveDirectoryW(LPCWSTR path) = 0;

  // The launcher's own environment, which PowerShell inherits.
  virtual LPWCH GetEnvironmentStringsW() = 0;
  virtual BOOL FreeEnvironmentStringsW(LPWCH block) = 0;
  virtual BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) = 0;

  // PowerShell.
  virtual UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) = 0;
  virtual BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                              DWORD creationFlags, LPCWSTR currentDirectory,
                              STARTUPINFOW* startup,
                              PROCESS_INFORMATION* process) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;

  // Whether anybody could see a message box: the process's session (0 is
  // where services and SYSTEM tasks run) and its window station's flags.
  virtual BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) = 0;
  virtual HWINSTA GetProcessWindowStation() = 0;
  virtual BOOL GetUserObjectInformationW(HANDLE object, int index,
                                         PVOID information, DWORD length,
                                         DWORD* needed) = 0;
  virtual int MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) = 0;

 protected:
  ~Platform() = default;
};

}  // namespace orvelle
