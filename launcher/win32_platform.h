// The Platform implementation that calls Windows.
#pragma once

#include "platform.h"

namespace orvelle {

class Win32Platform final : public Platform {
 public:
  BOOL SetDefaultDllDirectories(DWORD flags) override;
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer,
                                DWORD size) override;
  DWORD GetCurrentProcessId() override;
  DWORD GetLastError() override;
  BOOL CreateDirectoryW(LPCWSTR path,
                        SECURITY_ATTRIBUTES* attributes) override;
  BOOL GetFileInformationByHandle(HANDLE file,
                                  BY_HANDLE_FILE_INFORMATION* info) override;
  BOOL GetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION requested,
                               PSECURITY_DESCRIPTOR descriptor, DWORD length,
                               DWORD* needed) override;
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target) override;
  void GetLocalTime(SYSTEMTIME* time) override;
  BOOLEAN SystemFunction036(PVOID buffer, ULONG length) override;
  BOOL GetTokenInformation(TOKEN_INFORMATION_CLASS type, LPVOID information,
                           DWORD length, DWORD* needed) override;
  HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) override;
  HGLOBAL LoadResource(HMODULE module, HRSRC resource) override;
  DWORD SizeofResource(HMODULE module, HRSRC resource) override;
  LPVOID LockResource(HGLOBAL loaded) override;
  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                     DWORD disposition, DWORD flags) override;
  BOOL WriteFile(HANDLE file, const void* data, DWORD size,
                 DWORD* written) override;
  BOOL FlushFileBuffers(HANDLE file) override;
  BOOL CloseHandle(HANDLE object) override;
  BOOL DeleteFileW(LPCWSTR path) override;
  BOOL RemoveDirectoryW(LPCWSTR path) override;
  LPWCH GetEnvironmentStringsW() override;
  BOOL FreeEnvironmentStringsW(LPWCH block) override;
  BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) override;
  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) override;
  BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                      DWORD creationFlags, LPCWSTR currentDirectory,
                      STARTUPINFOW* startup,
                      PROCESS_INFORMATION* process) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;
  BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) override;
  HWINSTA GetProcessWindowStation() override;
  BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID information,
                                 DWORD length, DWORD* needed) override;
  int MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) override;
};

}  // namespace orvelle
