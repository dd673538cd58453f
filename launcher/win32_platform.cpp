#include "win32_platform.h"

namespace orvelle {

BOOL Win32Platform::SetDefaultDllDirectories(DWORD flags) {
  return ::SetDefaultDllDirectories(flags);
}

DWORD Win32Platform::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer,
                                             DWORD size) {
  return ::GetEnvironmentVariableW(name, buffer, size);
}

DWORD Win32Platform::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

DWORD Win32Platform::GetLastError() { return ::GetLastError(); }

BOOL Win32Platform::CreateDirectoryW(LPCWSTR path,
                                     SECURITY_ATTRIBUTES* attributes) {
  return ::CreateDirectoryW(path, attributes);
}

BOOL Win32Platform::GetFileInformationByHandle(
    HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return ::GetFileInformationByHandle(file, info);
}

BOOL Win32Platform::GetKernelObjectSecurity(HANDLE object,
                                            SECURITY_INFORMATION requested,
                                            PSECURITY_DESCRIPTOR descriptor,
                                            DWORD length, DWORD* needed) {
  return ::GetKernelObjectSecurity(object, requested, descriptor, length,
                                   needed);
}

BOOL Win32Platform::MoveFileExW(LPCWSTR existing, LPCWSTR target) {
  return ::MoveFileExW(existing, target, 0);
}

void Win32Platform::GetLocalTime(SYSTEMTIME* time) { ::GetLocalTime(time); }

HRSRC Win32Platform::FindResourceW(HMODULE module, LPCWSTR name,
                                   LPCWSTR type) {
  return ::FindResourceW(module, name, type);
}

HGLOBAL Win32Platform::LoadResource(HMODULE module, HRSRC resource) {
  return ::LoadResource(module, resource);
}

DWORD Win32Platform::SizeofResource(HMODULE module, HRSRC resource) {
  return ::SizeofResource(module, resource);
}

LPVOID Win32Platform::LockResource(HGLOBAL loaded) {
  return ::LockResource(loaded);
}

HANDLE Win32Platform::CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  DWORD disposition, DWORD flags) {
  return ::CreateFileW(path, access, share, nullptr, disposition, flags,
                       nullptr);
}

BOOL Win32Platform::WriteFile(HANDLE file, const void* data, DWORD size,
                              DWORD* written) {
  return ::WriteFile(file, data, size, written, nullptr);
}

BOOL Win32Platform::FlushFileBuffers(HANDLE file) {
  return ::FlushFileBuffers(file);
}

BOOL Win32Platform::CloseHandle(HANDLE object) {
  return ::CloseHandle(object);
}

BOOL Win32Platform::DeleteFileW(LPCWSTR path) { return ::DeleteFileW(path); }

BOOL Win32Platform::RemoveDirectoryW(LPCWSTR path) {
  return ::RemoveDirectoryW(path);
}

LPWCH Win32Platform::GetEnvironmentStringsW() {
  return ::GetEnvironmentStringsW();
}

BOOL Win32Platform::FreeEnvironmentStringsW(LPWCH block) {
  return ::FreeEnvironmentStringsW(block);
}

BOOL Win32Platform::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  return ::SetEnvironmentVariableW(name, value);
}

UINT Win32Platform::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  return ::GetSystemDirectoryW(buffer, size);
}

BOOL Win32Platform::CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                                   DWORD creationFlags,
                                   LPCWSTR currentDirectory,
                                   STARTUPINFOW* startup,
                                   PROCESS_INFORMATION* process) {
  return ::CreateProcessW(application, commandLine, nullptr, nullptr, FALSE,
                          creationFlags, nullptr, currentDirectory, startup,
                          process);
}

DWORD Win32Platform::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

BOOL Win32Platform::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return ::GetExitCodeProcess(process, exitCode);
}

int Win32Platform::MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) {
  return ::MessageBoxW(nullptr, text, caption, style);
}

}  // namespace orvelle
