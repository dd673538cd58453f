#include "folder_guard.h"

#include "bounded_format.h"

namespace orvelle {

namespace {

constexpr DWORD kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// The handle used to inspect and reset an object: never follows a link (the
// handle is the link itself) and shares no delete access, so nobody can rename
// or remove the object while it is open, and opening fails while somebody
// else holds delete access to it.
constexpr DWORD kInspectAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
constexpr DWORD kInspectShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kInspectFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

constexpr SECURITY_INFORMATION kResetInformation =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
    PROTECTED_DACL_SECURITY_INFORMATION;

struct SidStorage {
  DWORD bytes[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
};

bool MakeWellKnownSid(WELL_KNOWN_SID_TYPE type, DWORD* storage) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  return ::CreateWellKnownSid(type, nullptr, storage, &size) != FALSE;
}

// NT SERVICE\TrustedInstaller, the owner of most of the operating system's own
// files. It has no WELL_KNOWN_SID_TYPE.
bool MakeTrustedInstallerSid(DWORD* storage) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  constexpr DWORD kSubAuthorities[] = {80,         956008885,  3418522649,
                                       1831038044, 1853292631, 2271478464};
  constexpr BYTE kCount = sizeof(kSubAuthorities) / sizeof(kSubAuthorities[0]);
  if (!::InitializeSid(storage, &nt, kCount)) return false;
  for (BYTE i = 0; i < kCount; ++i) {
    *::GetSidSubAuthority(storage, i) = kSubAuthorities[i];
  }
  return true;
}

struct TrustedOwners {
  SidStorage administrators;
  SidStorage system;
  SidStorage trustedInstaller;

  bool Build() {
    return MakeWellKnownSid(WinBuiltinAdministratorsSid,
                            administrators.bytes) &&
           MakeWellKnownSid(WinLocalSystemSid, system.bytes) &&
           MakeTrustedInstallerSid(trustedInstaller.bytes);
  }

  bool Contains(PSID sid) {
    return ::EqualSid(sid, administrators.bytes) ||
           ::EqualSid(sid, system.bytes) ||
           ::EqualSid(sid, trustedInstaller.bytes);
  }
};

HANDLE OpenForInspection(Platform& platform, const wchar_t* path) {
  return platform.CreateFileW(path, kInspectAccess, kInspectShare,
                              OPEN_EXISTING, kInspectFlags);
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
  // fit is treated as not private and gets reset.
  DWORD buffer[1024];
  DWORD needed = 0;
  if (!platform.GetKernelObjectSecurity(
          object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          buffer, sizeof(buffer), &needed)) {
    return false;
  }
  return IsPrivateSecurity(buffer);
}

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' &&
         (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

size_t Length(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

struct TakeOver {
  Platform& platform;
  PrivateSecurity& folderSecurity;
  PrivateSecurity& fileSecurity;
  wchar_t path[kTakeOverPathChars];

  // Resets one entry found below a taken-over folder; path holds its full
  // path, length characters long.
  bool Entry(size_t length, DWORD foundAttributes, int depth) {
    if (foundAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      return RemoveLink(platform, path, foundAttributes);
    }
    HANDLE object = OpenForInspection(platform, path);
    if (object == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!platform.GetFileInformationByHandle(object, &info)) {
      platform.CloseHandle(object);
      return false;
    }
    const DWORD attributes = info.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // Became a link after the listing was read.
      platform.CloseHandle(object);
      return RemoveLink(platform, path, attributes);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      const bool reset = platform.SetKernelObjectSecurity(
                             object, kResetInformation,
                             &folderSecurity.descriptor) != FALSE;
      platform.CloseHandle(object);
      return reset && Contents(length, depth + 1);
    }
    if (info.nNumberOfLinks > 1) {
      // A hard link shares its security descriptor with its other names,
      // which may be anywhere on the volume: remove this name instead of
      // changing permissions of a file outside the folder.
      platform.CloseHandle(object);
      return platform.DeleteFileW(path) != FALSE;
    }
    const bool reset = platform.SetKernelObjectSecurity(
                           object, kResetInformation,
                           &fileSecurity.descriptor) != FALSE;
    platform.CloseHandle(object);
    return reset;
  }

  // Resets everything inside the folder whose path is in path[0..length).
  bool Contents(size_t length, int depth) {
    if (depth > kMaxTakeOverDepth) return false;
    if (FormatBounded(path + length, kTakeOverPathChars - length, L"\\*") <
        0) {
      return false;
    }
    WIN32_FIND_DATAW entry;
    HANDLE find = platform.FindFirstFileW(path, &entry);
    path[length] = L'\0';
    if (find == INVALID_HANDLE_VALUE) {
      return platform.GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    bool ok = true;
    bool more = true;
    while (ok && more) {
      if (!IsDotEntry(entry.cFileName)) {
        if (FormatBounded(path + length, kTakeOverPathChars - length, L"\\%s",
                          entry.cFileName) < 0) {
          ok = false;
        } else {
          ok = Entry(length + 1 + Length(entry.cFileName),
                     entry.dwFileAttributes, depth);
        }
        path[length] = L'\0';
      }
      if (ok) {
        more = platform.FindNextFileW(find, &entry) != FALSE;
        if (!more && platform.GetLastError() != ERROR_NO_MORE_FILES) {
          ok = false;
        }
      }
    }
    platform.FindClose(find);
    return ok;
  }
};

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

HANDLE SecureFolder(Platform& platform, const wchar_t* path) {
  PrivateSecurity folderSecurity;
  if (!BuildPrivateSecurity(&folderSecurity, ObjectKind::kFolder)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes),
                                    &folderSecurity.descriptor, FALSE};

  bool created = platform.CreateDirectoryW(path, &attributes) != FALSE;
  if (!created && platform.GetLastError() != ERROR_ALREADY_EXISTS) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE folder = OpenForInspection(platform, path);
  if (folder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info;
  if (!platform.GetFileInformationByHandle(folder, &info)) {
    platform.CloseHandle(folder);
    return INVALID_HANDLE_VALUE;
  }

  if (!created && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // A link stands where the folder belongs: remove the link itself and
    // create the real folder in its place.
    platform.CloseHandle(folder);
    if (!RemoveLink(platform, path, info.dwFileAttributes) ||
        !platform.CreateDirectoryW(path, &attributes)) {
      return INVALID_HANDLE_VALUE;
    }
    created = true;
    folder = OpenForInspection(platform, path);
    if (folder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    if (!platform.GetFileInformationByHandle(folder, &info)) {
      platform.CloseHandle(folder);
      return INVALID_HANDLE_VALUE;
    }
  }

  const DWORD kind = info.dwFileAttributes &
                     (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  if (kind != FILE_ATTRIBUTE_DIRECTORY) {
    platform.CloseHandle(folder);
    return INVALID_HANDLE_VALUE;
  }
  if (created || HasPrivateSecurity(platform, folder)) return folder;

  // Take the folder over: first the folder itself, so that nobody else can
  // add anything to it any more, then everything below it.
  PrivateSecurity fileSecurity;
  TakeOver takeOver = {platform, folderSecurity, fileSecurity, {}};
  if (!BuildPrivateSecurity(&fileSecurity, ObjectKind::kFile) ||
      !platform.SetKernelObjectSecurity(folder, kResetInformation,
                                        &folderSecurity.descriptor) ||
      FormatBounded(takeOver.path, kTakeOverPathChars, L"%s", path) < 0 ||
      !takeOver.Contents(Length(takeOver.path), 1)) {
    platform.CloseHandle(folder);
    return INVALID_HANDLE_VALUE;
  }
  return folder;
}

}  // namespace orvelle
