#include "folder_guard.h"

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
  // Written field by field (the SID layout is fixed), which needs no further
  // imports than the well-known SIDs already do.
  SID* sid = reinterpret_cast<SID*>(storage);
  constexpr BYTE kCount = sizeof(kTrustedInstallerSubAuthorities) /
                          sizeof(kTrustedInstallerSubAuthorities[0]);
  static_assert(sizeof(SID) - sizeof(DWORD) + kCount * sizeof(DWORD) <=
                    SECURITY_MAX_SID_SIZE,
                "the SID fits its storage");
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = kCount;
  sid->IdentifierAuthority = SECURITY_NT_AUTHORITY;
  DWORD* subAuthorities = sid->SubAuthority;
  for (BYTE i = 0; i < kCount; ++i) {
    subAuthorities[i] = kTrustedInstallerSubAuthorities[i];
  }
  return true;
}

namespace folder_guard_detail {

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

}  // namespace folder_guard_detail

}  // namespace orvelle
