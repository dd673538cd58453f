// Private folders under ProgramData.
//
// Every standard user may create files and folders below ProgramData and owns
// what they create, so a folder the launcher writes into with administrator
// rights must be one that nobody else can have changed. A folder the launcher
// creates gets, in the creating call, owner Administrators and a protected
// DACL (SYSTEM and Administrators full control, Users read and execute). A
// folder that already exists is used only when it is a real directory (not a
// junction, mount point or symbolic link) owned by Administrators, SYSTEM or
// TrustedInstaller, with no write access for anyone else. Anything else at
// that path (an unsafe folder, or a file) is never adopted: it is renamed
// aside within its parent under a name nobody can foresee, with everything in
// it and nothing deleted, and a fresh folder is created in its place; a link
// is removed as a link. A folder just created is checked through its handle
// like any other. The launcher never changes the security of anything it did
// not create.
#pragma once

#include <windows.h>

#include "bounded_format.h"
#include "shared_names.h"

namespace orvelle {

// The security every folder the launcher creates gets in the creating call,
// as a self-relative security descriptor: owner Administrators, protected
// DACL with SYSTEM and Administrators full control and Users read and
// execute, each entry inherited by files and subfolders. Fixed bytes rather
// than built at run time: smaller, and nothing can fail.
constexpr size_t kPrivateFolderSecuritySize = 112;
extern const BYTE kPrivateFolderSecurity[kPrivateFolderSecuritySize];

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
// kFolderWriteRights to another account. alsoTrusted, when not null, counts
// as one more trusted account. A missing or null DACL, or an entry type this
// check does not know, is not private.
bool IsPrivateSecurity(PSECURITY_DESCRIPTOR descriptor,
                       PSID alsoTrusted = nullptr);

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

// How often SecureFolder looks at a path before it gives up (somebody keeps
// putting an unsafe folder back, or holds it open). Only the rounds before
// the last set anything aside.
constexpr int kMaxSecureRounds = 4;
// Random bytes in a set-aside or fallback name, written as 16 hex digits:
// nobody can make such a name in advance.
constexpr ULONG kRandomNameBytes = 8;
constexpr size_t kRandomNameChars = 2 * kRandomNameBytes + 1;
// Room for a set-aside path: the folder path and
// ".untrusted-YYYYMMDD-HHMMSS-" with the random digits.
constexpr size_t kAsidePathChars = 600;

namespace folder_guard_detail {

// "YYYYMMDD-HHMMSS" of time into stamp (16 characters with the null).
void FormatStamp(const SYSTEMTIME& time, wchar_t* stamp);

// The kRandomNameBytes bytes as lower-case hex digits into hex
// (kRandomNameChars characters with the null).
void FormatHex(const BYTE* bytes, wchar_t* hex);

// 64 bits from the system's random generator as hex digits; false when the
// generator fails.
template <class P>
bool RandomHex(P& platform, wchar_t* hex) {
  BYTE bytes[kRandomNameBytes];
  if (!platform.SystemFunction036(bytes, kRandomNameBytes)) return false;
  FormatHex(bytes, hex);
  return true;
}

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

// For a folder this call created, the account running the launcher counts as
// trusted too: Windows makes Administrators the owner as asked, but Wine
// ignores the owner asked for and gives the folder, and write access, to the
// user running it. Nobody else can have put a folder owned by that user
// where the creation just succeeded.
template <class P>
bool HasPrivateSecurity(P& platform, HANDLE object, bool created) {
  // Large enough for any reasonable owner and DACL; a descriptor that does not
  // fit, or cannot be read at all, is treated as not private.
  DWORD buffer[1024];
  DWORD needed = 0;
  if (!platform.GetKernelObjectSecurity(
          object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          buffer, sizeof(buffer), &needed)) {
    return false;
  }
  DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD)];
  PSID creator = nullptr;
  if (created &&
      platform.GetTokenInformation(TokenUser, user, sizeof(user), &needed)) {
    creator = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  }
  return IsPrivateSecurity(buffer, creator);
}

// Renames whatever stands at path (a folder with everything in it, or a file)
// to "<path>.untrusted-<local time>-<random hex>" beside it (the mark is the
// setup script's). Nothing is deleted and nothing replaced.
template <class P>
bool SetAside(P& platform, const wchar_t* path) {
  SYSTEMTIME now = {};
  platform.GetLocalTime(&now);
  wchar_t stamp[16];
  FormatStamp(now, stamp);
  wchar_t random[kRandomNameChars];
  wchar_t aside[kAsidePathChars];
  return RandomHex(platform, random) &&
         FormatBounded(aside, kAsidePathChars,
                       L"%s" ORVELLE_SET_ASIDE_MARK L"%s-%s", path, stamp,
                       random) >= 0 &&
         platform.MoveFileExW(path, aside);
}

}  // namespace folder_guard_detail

// Makes path a private folder as described above, looking at what stands
// there at most rounds times, through the calls of P (the Platform interface in tests, Win32Api in the
// executable). Returns an open handle to the folder (kFolderHandleAccess,
// kFolderHandleShare), or INVALID_HANDLE_VALUE when the folder cannot be
// created, or what stands at the path cannot be set aside or still is not a
// private folder in the last round. The parent folder must already be
// private (or be ProgramData itself).
template <class P>
HANDLE SecureFolder(P& platform, const wchar_t* path,
                    int rounds = kMaxSecureRounds) {
  using namespace folder_guard_detail;
  // CreateDirectoryW only reads the descriptor.
  SECURITY_ATTRIBUTES attributes = {
      sizeof(attributes), const_cast<BYTE*>(kPrivateFolderSecurity), FALSE};

  // Each round either ends with a private folder (created by this call or
  // found), or removes a link or sets the object at the path aside and looks
  // again at whatever then stands there. The last round changes nothing: a
  // copy set aside then would only leave the name free for somebody else.
  for (int round = 1; round <= rounds; ++round) {
    const bool created = platform.CreateDirectoryW(path, &attributes) != FALSE;
    if (!created && platform.GetLastError() != ERROR_ALREADY_EXISTS) {
      return INVALID_HANDLE_VALUE;
    }
    const bool last = round == rounds;
    HANDLE folder = OpenFolder(platform, path);
    if (folder == INVALID_HANDLE_VALUE) {
      // Something whose permissions shut administrators out cannot even be
      // opened for inspection. It is not trusted either: set it aside, which
      // the parent's delete-child right allows, and look again.
      if (last || platform.GetLastError() != ERROR_ACCESS_DENIED ||
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
        HasPrivateSecurity(platform, folder, created)) {
      return folder;
    }
    // The handle shares no delete access: close it before renaming or
    // removing what it holds.
    platform.CloseHandle(folder);
    const bool moved =
        !last && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT
                      ? RemoveLink(platform, path, info.dwFileAttributes)
                      : SetAside(platform, path));
    if (!moved) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

// For a folder that SecureFolder could not make private (somebody holds it
// open, or keeps putting it back): a fresh private folder beside it,
// "<parent>\<name>.<random hex>", created with the private security in the
// creating call and checked through its handle, written to path
// (pathChars characters). Returns its open handle, or INVALID_HANDLE_VALUE.
template <class P>
HANDLE SecureFallbackFolder(P& platform, wchar_t* path, size_t pathChars,
                            const wchar_t* parent, const wchar_t* name) {
  wchar_t random[kRandomNameChars];
  if (!folder_guard_detail::RandomHex(platform, random) ||
      FormatBounded(path, pathChars, L"%s\\%s.%s", parent, name, random) < 0) {
    return INVALID_HANDLE_VALUE;
  }
  return SecureFolder(platform, path, 1);
}

}  // namespace orvelle
