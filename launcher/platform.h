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
  virtual BOOL SetKernelObjectSecurity(HANDLE object,
                                       SECURITY_INFORMATION information,
                                       PSECURITY_DESCRIPTOR descriptor) = 0;
  virtual HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) = 0;
  virtual BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) = 0;
  virtual BOOL FindClose(HANDLE find) = 0;
  // Enables (or, with FALSE, disables again) the privileges an administrator
  // needs to take ownership of and reset objects whose DACL shuts them out:
  // SeTakeOwnershipPrivilege, SeRestorePrivilege and SeBackupPrivilege.
  virtual BOOL AdjustTakeOverPrivileges(BOOL enable) = 0;

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

  // PowerShell.
  virtual UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) = 0;
  virtual BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                              DWORD creationFlags, LPCWSTR currentDirectory,
                              STARTUPINFOW* startup,
                              PROCESS_INFORMATION* process) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;
  virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;

  virtual int MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) = 0;

 protected:
  ~Platform() = default;
};

}  // namespace orvelle
