#include "folder_guard.h"

#include "bounded_format.h"

namespace orvelle {

namespace {

constexpr DWORD kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

struct SidStorage {
  DWORD bytes[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
};

bool MakeWellKnownSid(WELL_KNOWN_SID_TYPE type, DWORD* storage) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  return ::CreateWellKnownSid(type, nullptr, storage, &size) != FALSE;
}

struct TrustedOwners {
  SidStorage administrators;
  SidStorage system;
  SidStorage trustedInstaller;

  bool Build() {
    return MakeWellKnownSid(WinBuiltinAdministratorsSid,
                            administrators.bytes) &&
           MakeWellKnownSid(WinLocalSystemSid, system.bytes) &&
           BuildTrustedInstallerSid(trustedInstaller.bytes);
  }

  bool Contains(PSID sid) {
    return ::EqualSid(sid, administrators.bytes) ||
           ::EqualSid(sid, system.bytes) ||
           ::EqualSid(sid, trustedInstaller.bytes);
  }
};

HANDLE OpenFolder(Platform& platform, const wchar_t* path) {
  return platform.CreateFileW(path, kFolderHandleAccess, kFolderHandleShare,
                              OPEN_EXISTING, kFolderHandleFlags);
}

// Removes a junction, mount point or symbolic link itself; what it points to
// is left alone.
bool RemoveLink(Platform& platform, const wchar_t* path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return platform.RemoveDirectoryW(path) != FALSE;
  }
  return platform.DeleteFileW(path) != FALSE;
}

bool HasPrivateSecurity(Platform& platform, HANDLE object) {
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

// "YYYYMMDD-HHMMSS" of time into stamp (16 characters with the null).
void FormatStamp(const SYSTEMTIME& time, wchar_t* stamp) {
  const unsigned fields[] = {time.wYear, time.wMonth,  time.wDay,
                             time.wHour, time.wMinute, time.wSecond};
  const int digits[] = {4, 2, 2, 2, 2, 2};
  int at = 0;
  for (int field = 0; field < 6; ++field) {
    if (field == 3) stamp[at++] = L'-';
    unsigned value = fields[field];
    for (int d = digits[field] - 1; d >= 0; --d) {
      stamp[at + d] = static_cast<wchar_t>(L'0' + value % 10);
      value /= 10;
    }
    at += digits[field];
  }
  stamp[at] = L'\0';
}

// Renames the folder at path to a new name beside it that nobody uses yet:
// "<path>.untrusted-<local time>", or with the process id and a counter added
// when that name is taken. Nothing is deleted and nothing replaced.
bool SetAside(Platform& platform, const wchar_t* path) {
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

}  // namespace

bool BuildPrivateSecurity(PrivateSecurity* security, ObjectKind kind) {
  if (!MakeWellKnownSid(WinBuiltinAdministratorsSid,
                        security->administrators) ||
      !MakeWellKnownSid(WinLocalSystemSid, security->system) ||
      !MakeWellKnownSid(WinBuiltinUsersSid, security->users)) {
    return false;
  }
  PACL acl = reinterpret_cast<PACL>(security->acl);
  const DWORD inheritance = kind == ObjectKind::kFolder
                                ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE
                                : 0;
  return ::InitializeAcl(acl, sizeof(security->acl), ACL_REVISION) &&
         ::AddAccessAllowedAceEx(acl, ACL_REVISION, inheritance,
                                 FILE_ALL_ACCESS, security->system) &&
         ::AddAccessAllowedAceEx(acl, ACL_REVISION, inheritance,
                                 FILE_ALL_ACCESS, security->administrators) &&
         ::AddAccessAllowedAceEx(acl, ACL_REVISION, inheritance, kReadExecute,
                                 security->users) &&
         ::InitializeSecurityDescriptor(&security->descriptor,
                                        SECURITY_DESCRIPTOR_REVISION) &&
         ::SetSecurityDescriptorOwner(&security->descriptor,
                                      security->administrators, FALSE) &&
         ::SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl,
                                     FALSE) &&
         ::SetSecurityDescriptorControl(&security->descriptor,
                                        SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool IsPrivateSecurity(PSECURITY_DESCRIPTOR descriptor) {
  TrustedOwners trusted;
  if (!trusted.Build()) return false;

  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      owner == nullptr || !::IsValidSid(owner) || !trusted.Contains(owner)) {
    return false;
  }

  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
      !present || dacl == nullptr) {
    return false;  // No DACL means full access for everyone.
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return false;
    switch (static_cast<ACE_HEADER*>(ace)->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE: {
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kFolderWriteRights) != 0 &&
            !trusted.Contains(sid)) {
          return false;
        }
        break;
      }
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        break;  // Denying never opens a folder to anyone.
      default:
        return false;
    }
  }
  return true;
}

bool BuildTrustedInstallerSid(DWORD* storage) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  constexpr BYTE kCount = sizeof(kTrustedInstallerSubAuthorities) /
                          sizeof(kTrustedInstallerSubAuthorities[0]);
  if (!::InitializeSid(storage, &nt, kCount)) return false;
  for (BYTE i = 0; i < kCount; ++i) {
    *::GetSidSubAuthority(storage, i) = kTrustedInstallerSubAuthorities[i];
  }
  return true;
}

HANDLE SecureFolder(Platform& platform, const wchar_t* path) {
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
    if (folder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
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
