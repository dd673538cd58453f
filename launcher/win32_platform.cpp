#include "win32_platform.h"

#include "win32_api.h"

namespace orvelle {

BOOL Win32Platform::SetDefaultDllDirectories(DWORD flags) {
  return Win32Api().SetDefaultDllDirectories(flags);
}

DWORD Win32Platform::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer,
                                             DWORD size) {
  return Win32Api().GetEnvironmentVariableW(name, buffer, size);
}

DWORD Win32Platform::GetCurrentProcessId() {
  return Win32Api().GetCurrentProcessId();
}

DWORD Win32Platform::GetLastError() { return Win32Api().GetLastError(); }

BOOL Win32Platform::CreateDirectoryW(LPCWSTR path,
                                     SECURITY_ATTRIBUTES* attributes) {
  return Win32Api().CreateDirectoryW(path, attributes);
}

BOOL Win32Platform::GetFileInformationByHandle(
    HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return Win32Api().GetFileInformationByHandle(file, info);
}

BOOL Win32Platform::GetKernelObjectSecurity(HANDLE object,
                                            SECURITY_INFORMATION requested,
                                            PSECURITY_DESCRIPTOR descriptor,
                                            DWORD length, DWORD* needed) {
  return Win32Api().GetKernelObjectSecurity(object, requested, descriptor,
                                            length, needed);
}

BOOL Win32Platform::MoveFileExW(LPCWSTR existing, LPCWSTR target) {
  return Win32Api().MoveFileExW(existing, target);
}

void Win32Platform::GetLocalTime(SYSTEMTIME* time) {
  Win32Api().GetLocalTime(time);
}

BOOLEAN Win32Platform::SystemFunction036(PVOID buffer, ULONG length) {
  return Win32Api().SystemFunction036(buffer, length);
}

BOOL Win32Platform::GetTokenInformation(TOKEN_INFORMATION_CLASS type,
                                        LPVOID information, DWORD length,
                                        DWORD* needed) {
  return Win32Api().GetTokenInformation(type, information, length, needed);
}

HRSRC Win32Platform::FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  return Win32Api().FindResourceW(module, name, type);
}

HGLOBAL Win32Platform::LoadResource(HMODULE module, HRSRC resource) {
  return Win32Api().LoadResource(module, resource);
}

DWORD Win32Platform::SizeofResource(HMODULE module, HRSRC resource) {
  return Win32Api().SizeofResource(module, resource);
}

LPVOID Win32Platform::LockResource(HGLOBAL loaded) {
  return Win32Api().LockResource(loaded);
}

HANDLE Win32Platform::CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  DWORD disposition, DWORD flags) {
  return Win32Api().CreateFileW(path, access, share, disposition, flags);
}

BOOL Win32Platform::WriteFile(HANDLE file, const void* data, DWORD size,
                              DWORD* written) {
  return Win32Api().WriteFile(file, data, size, written);
}

BOOL Win32Platform::FlushFileBuffers(HANDLE file) {
  return Win32Api().FlushFileBuffers(file);
}

BOOL Win32Platform::CloseHandle(HANDLE object) {
  return Win32Api().CloseHandle(object);
}

BOOL Win32Platform::DeleteFileW(LPCWSTR path) {
  return Win32Api().DeleteFileW(path);
}

BOOL Win32Platform::RemoveDirectoryW(LPCWSTR path) {
  return Win32Api().RemoveDirectoryW(path);
}

LPWCH Win32Platform::GetEnvironmentStringsW() {
  return Win32Api().GetEnvironmentStringsW();
}

BOOL Win32Platform::FreeEnvironmentStringsW(LPWCH block) {
  return Win32Api().FreeEnvironmentStringsW(block);
}

BOOL Win32Platform::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  return Win32Api().SetEnvironmentVariableW(name, value);
}

UINT Win32Platform::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  return Win32Api().GetSystemDirectoryW(buffer, size);
}

DWORD Win32Platform::GetModuleFileNameW(HMODULE module, LPWSTR buffer,
                                        DWORD size) {
  return Win32Api().GetModuleFileNameW(module, buffer, size);
}

BOOL Win32Platform::CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                                   DWORD creationFlags,
                                   LPCWSTR currentDirectory,
                                   STARTUPINFOW* startup,
                                   PROCESS_INFORMATION* process) {
  return Win32Api().CreateProcessW(application, commandLine, creationFlags,
                                   currentDirectory, startup, process);
}

DWORD Win32Platform::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return Win32Api().WaitForSingleObject(object, milliseconds);
}

BOOL Win32Platform::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return Win32Api().GetExitCodeProcess(process, exitCode);
}

BOOL Win32Platform::ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
  return Win32Api().ProcessIdToSessionId(processId, sessionId);
}

HWINSTA Win32Platform::GetProcessWindowStation() {
  return Win32Api().GetProcessWindowStation();
}

BOOL Win32Platform::GetUserObjectInformationW(HANDLE object, int index,
                                              PVOID information, DWORD length,
                                              DWORD* needed) {
  return Win32Api().GetUserObjectInformationW(object, index, information,
                                              length, needed);
}

int Win32Platform::MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) {
  return Win32Api().MessageBoxW(text, caption, style);
}

}  // namespace orvelle
