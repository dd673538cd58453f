// Private folders under ProgramData.
//
// Every standard user may create files and folders below ProgramData and owns
// what they create, so a folder the launcher writes into with administrator
// rights must be one that nobody else can have changed. A folder the launcher
// creates gets, in the creating call, owner Administrators and a protected
// DACL (SYSTEM and Administrators full control, Users read and execute). A
// folder that already exists is used only when it is a real directory (not a
// junction, mount point or symbolic link) owned by Administrators, SYSTEM or
// TrustedInstaller, with no write access for anyone else. Any other folder is
// never adopted: it is renamed aside within its parent, with everything in it
// and nothing deleted, and a fresh folder is created in its place. The
// launcher never changes the security of anything it did not create.
#pragma once

#include <windows.h>

#include "bounded_format.h"

namespace orvelle {

enum class ObjectKind { kFolder, kFile };

// A self-contained security descriptor: owner Administrators, protected DACL
// with SYSTEM and Administrators full control and Users read and execute
// (inherited by files and subfolders when built for a folder). It points into
// itself, so it must not be copied once built.
struct PrivateSecurity {
  SECURITY_DESCRIPTOR descriptor;
  DWORD acl[64];
  DWORD administrators[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  DWORD users[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
};

bool BuildPrivateSecurity(PrivateSecurity* security, ObjectKind kind);

// The rule's constants. Owners trusted besides Administrators and SYSTEM (both
// well-known SIDs): NT SERVICE\TrustedInstaller, which owns most of Windows'
// own files and has no WELL_KNOWN_SID_TYPE. A service SID is S-1-5-80
// followed by the first five 32-bit little-endian words of the SHA-1 of the
// service name in upper case, UTF-16LE.
constexpr DWORD kTrustedInstallerSubAuthorities[] = {
    SECURITY_SERVICE_ID_BASE_RID, 956008885,  3418522649,
    1831038044,                   1853292631, 2271478464};

// The rights that make a folder writable for whoever holds them.
constexpr DWORD kFolderWriteRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
    FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
    GENERIC_ALL;

// Writes the TrustedInstaller SID into storage (SECURITY_MAX_SID_SIZE bytes).
bool BuildTrustedInstallerSid(DWORD* storage);

// True when the owner is Administrators, SYSTEM or TrustedInstaller and no
// allow entry of the DACL (inherit-only entries included) grants any of
// kFolderWriteRights to another account. A missing or null DACL, or an entry
// type this check does not know, is not private.
bool IsPrivateSecurity(PSECURITY_DESCRIPTOR descriptor);

// How the folder handles are opened: listing access, so that Windows applies
// the share mode (a handle holding only READ_CONTROL or attribute rights does
// not take part in sharing checks), and no delete sharing, so that nobody can
// rename or remove the folder while the handle is open. Links are opened as
// themselves.
constexpr DWORD kFolderHandleAccess =
    READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderHandleShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFolderHandleFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// How often a folder is set aside and created again before SecureFolder gives
// up (somebody keeps putting an unsafe folder back).
constexpr int kMaxSecureRounds = 4;
// Set-aside names tried per folder: "<name>.untrusted-YYYYMMDD-HHMMSS", then
// the same with "-<process id>-<n>" appended.
constexpr int kMaxAsideNames = 16;
// Room for a set-aside path: the folder path and the longest suffix.
constexpr size_t kAsidePathChars = 600;

namespace folder_guard_detail {

// "YYYYMMDD-HHMMSS" of time into stamp (16 characters with the null).
void FormatStamp(const SYSTEMTIME& time, wchar_t* stamp);

template <class P>
HANDLE OpenFolder(P& platform, const wchar_t* path) {
  return platform.CreateFileW(path, kFolderHandleAccess, kFolderHandleShare,
                              OPEN_EXISTING, kFolderHandleFlags);
}

// Removes a junction, mount point or symbolic link itself; what it points to
// is left alone.
template <class P>
bool RemoveLink(P& platform, const wchar_t* path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return platform.RemoveDirectoryW(path) != FALSE;
  }
  return platform.DeleteFileW(path) != FALSE;
}

template <class P>
bool HasPrivateSecurity(P& platform, HANDLE object) {
  // Large enough for any reasonable owner and DACL; a descriptor that does not
  // fit, or cannot be read at all, is treated as not private.
  DWORD buffer[1024];
  DWORD needed = 0;
  if (!platform.GetKernelObjectSecurity(
          object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          buffer, sizeof(buffer), &needed)) {
    return false;
  }
  return IsPrivateSecurity(buffer);
}

// Renames the folder at path to a new name beside it that nobody uses yet:
// "<path>.untrusted-<local time>", or with the process id and a counter added
// when that name is taken. Nothing is deleted and nothing replaced.
template <class P>
bool SetAside(P& platform, const wchar_t* path) {
  SYSTEMTIME now = {};
  platform.GetLocalTime(&now);
  wchar_t stamp[16];
  FormatStamp(now, stamp);
  const unsigned long processId = platform.GetCurrentProcessId();
  wchar_t aside[kAsidePathChars];
  for (int attempt = 0; attempt < kMaxAsideNames; ++attempt) {
    const HRESULT formatted =
        attempt == 0
            ? FormatBounded(aside, kAsidePathChars, L"%s.untrusted-%s", path,
                            stamp)
            : FormatBounded(aside, kAsidePathChars, L"%s.untrusted-%s-%lu-%lu",
                            path, stamp, processId,
                            static_cast<unsigned long>(attempt));
    if (formatted < 0) return false;
    if (platform.MoveFileExW(path, aside)) return true;
    const DWORD error = platform.GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      return false;
    }
  }
  return false;
}

}  // namespace folder_guard_detail

// Makes path a private folder as described above, through the calls of P
// (the Platform interface in tests, Win32Api in the executable). Returns an
// open handle to the folder (kFolderHandleAccess, kFolderHandleShare), or
// INVALID_HANDLE_VALUE when the folder cannot be created, a file stands where
// it belongs, or an unsafe folder cannot be set aside. The parent folder must
// already be private (or be ProgramData itself).
template <class P>
HANDLE SecureFolder(P& platform, const wchar_t* path) {
  using namespace folder_guard_detail;
  PrivateSecurity folderSecurity;
  if (!BuildPrivateSecurity(&folderSecurity, ObjectKind::kFolder)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes),
                                    &folderSecurity.descriptor, FALSE};

  // Each round either ends with a folder this call created or an existing
  // private one, or removes a link or sets an unsafe folder aside and looks
  // again at whatever then stands at the path.
  for (int round = 0; round < kMaxSecureRounds; ++round) {
    const bool created = platform.CreateDirectoryW(path, &attributes) != FALSE;
    if (!created && platform.GetLastError() != ERROR_ALREADY_EXISTS) {
      return INVALID_HANDLE_VALUE;
    }
    HANDLE folder = OpenFolder(platform, path);
    if (folder == INVALID_HANDLE_VALUE) {
      // A folder whose permissions shut administrators out cannot even be
      // opened for inspection. It is not trusted either: set it aside, which
      // the parent's delete-child right allows, and look again.
      if (created || platform.GetLastError() != ERROR_ACCESS_DENIED ||
          !SetAside(platform, path)) {
        return INVALID_HANDLE_VALUE;
      }
      continue;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!platform.GetFileInformationByHandle(folder, &info)) {
      platform.CloseHandle(folder);
      return INVALID_HANDLE_VALUE;
    }
    const DWORD kind = info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY |
                                                FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind == FILE_ATTRIBUTE_DIRECTORY &&
        (created || HasPrivateSecurity(platform, folder))) {
      return folder;
    }
    // The handle shares no delete access: close it before renaming or
    // removing what it holds.
    platform.CloseHandle(folder);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      if (!RemoveLink(platform, path, info.dwFileAttributes)) {
        return INVALID_HANDLE_VALUE;
      }
    } else if (kind != FILE_ATTRIBUTE_DIRECTORY) {
      return INVALID_HANDLE_VALUE;  // A file where the folder belongs stays.
    } else if (!SetAside(platform, path)) {
      return INVALID_HANDLE_VALUE;
    }
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace orvelle
