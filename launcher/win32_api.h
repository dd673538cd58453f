// The Windows calls the launcher makes, called directly. The executable runs
// the launcher flow on this class, so every call is a plain function call;
// Win32Platform (win32_platform.h) offers the same calls through the Platform
// interface, for tests. Parameters the launcher always passes with the same
// value are filled in here.
#pragma once

#include <windows.h>

// RtlGenRandom under its exported name (ntsecapi.h declares it only through a
// macro).
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace orvelle {

class Win32Api {
 public:
  BOOL SetDefaultDllDirectories(DWORD flags) {
    return ::SetDefaultDllDirectories(flags);
  }
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    return ::GetEnvironmentVariableW(name, buffer, size);
  }
  DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }
  DWORD GetLastError() { return ::GetLastError(); }

  BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* attributes) {
    return ::CreateDirectoryW(path, attributes);
  }
  BOOL GetFileInformationByHandle(HANDLE file,
                                  BY_HANDLE_FILE_INFORMATION* info) {
    return ::GetFileInformationByHandle(file, info);
  }
  BOOL GetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION requested,
                               PSECURITY_DESCRIPTOR descriptor, DWORD length,
                               DWORD* needed) {
    return ::GetKernelObjectSecurity(object, requested, descriptor, length,
                                     needed);
  }
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target) {
    return ::MoveFileExW(existing, target, 0);
  }
  void GetLocalTime(SYSTEMTIME* time) { ::GetLocalTime(time); }
  BOOLEAN SystemFunction036(PVOID buffer, ULONG length) {
    return ::SystemFunction036(buffer, length);
  }
  BOOL GetTokenInformation(TOKEN_INFORMATION_CLASS type, LPVOID information,
                           DWORD length, DWORD* needed) {
    return ::GetTokenInformation(::GetCurrentProcessToken(), type, information,
                                 length, needed);
  }

  HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    return ::FindResourceW(module, name, type);
  }
  HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    return ::LoadResource(module, resource);
  }
  DWORD SizeofResource(HMODULE module, HRSRC resource) {
    return ::SizeofResource(module, resource);
  }
  LPVOID LockResource(HGLOBAL loaded) { return ::LockResource(loaded); }

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                     DWORD disposition, DWORD flags) {
    return ::CreateFileW(path, access, share, nullptr, disposition, flags,
                         nullptr);
  }
  BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) {
    return ::WriteFile(file, data, size, written, nullptr);
  }
  BOOL FlushFileBuffers(HANDLE file) { return ::FlushFileBuffers(file); }
  BOOL CloseHandle(HANDLE object) { return ::CloseHandle(object); }
  BOOL DeleteFileW(LPCWSTR path) { return ::DeleteFileW(path); }
  BOOL RemoveDirectoryW(LPCWSTR path) { return ::RemoveDirectoryW(path); }

  LPWCH GetEnvironmentStringsW() { return ::GetEnvironmentStringsW(); }
  BOOL FreeEnvironmentStringsW(LPWCH block) {
    return ::FreeEnvironmentStringsW(block);
  }
  BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
    return ::SetEnvironmentVariableW(name, value);
  }

  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    return ::GetSystemDirectoryW(buffer, size);
  }
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    return ::GetModuleFileNameW(module, buffer, size);
  }
  BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                      DWORD creationFlags, LPCWSTR currentDirectory,
                      STARTUPINFOW* startup, PROCESS_INFORMATION* process) {
    return ::CreateProcessW(application, commandLine, nullptr, nullptr, FALSE,
                            creationFlags, nullptr, currentDirectory, startup,
                            process);
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
  }
  BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    return ::GetExitCodeProcess(process, exitCode);
  }

  BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
    return ::ProcessIdToSessionId(processId, sessionId);
  }
  HWINSTA GetProcessWindowStation() { return ::GetProcessWindowStation(); }
  BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID information,
                                 DWORD length, DWORD* needed) {
    return ::GetUserObjectInformationW(object, index, information, length,
                                       needed);
  }
  int MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) {
    return ::MessageBoxW(nullptr, text, caption, style);
  }
};

}  // namespace orvelle
