// Private folders under ProgramData.
//
// Every standard user may create files and folders below ProgramData and owns
// what they create, so a folder the launcher writes into with administrator
// rights must be one that nobody else can change. A folder the launcher
// creates gets, at creation, owner Administrators and a protected DACL
// (SYSTEM and Administrators full control, Users read and execute). A folder
// that already exists must be a real directory (not a junction, mount point or
// symbolic link) owned by Administrators, SYSTEM or TrustedInstaller, with no
// write access for anyone else; otherwise it is taken over: owner and DACL are
// reset on it and everything below it, and links below it are removed, never
// followed.
#pragma once

#include <windows.h>

#include "platform.h"

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

// True when the owner is Administrators, SYSTEM or TrustedInstaller and no
// allow entry of the DACL (inherit-only entries included) grants any write,
// delete or permission-changing right to another account. A missing or null
// DACL, or an entry type this check does not know, is not private.
bool IsPrivateSecurity(PSECURITY_DESCRIPTOR descriptor);

// The rights that make a folder writable for whoever holds them.
constexpr DWORD kFolderWriteRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
    FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
    GENERIC_ALL;

// How far below a taken-over folder the take-over goes; deeper trees are
// refused rather than left half-secured.
constexpr int kMaxTakeOverDepth = 32;
// Path buffer used while walking a taken-over folder.
constexpr size_t kTakeOverPathChars = 1040;

// Makes path a private folder as described above. Returns an open handle to
// the folder, opened without delete sharing so that the folder cannot be
// renamed or removed while the caller holds it, or INVALID_HANDLE_VALUE when
// the folder cannot be created or made private. The parent folder must
// already be private (or be ProgramData itself).
HANDLE SecureFolder(Platform& platform, const wchar_t* path);

}  // namespace orvelle
