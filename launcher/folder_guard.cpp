#include "folder_guard.h"

namespace orvelle {

namespace {

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

  PSID also = nullptr;

  bool Contains(PSID sid) {
    return ::EqualSid(sid, administrators.bytes) ||
           ::EqualSid(sid, system.bytes) ||
           ::EqualSid(sid, trustedInstaller.bytes) ||
           (also != nullptr && ::EqualSid(sid, also));
  }
};

}  // namespace

// Header (revision 1, control SE_SELF_RELATIVE | SE_DACL_PROTECTED |
// SE_DACL_PRESENT, owner at 20, no group or SACL, DACL at 36), the owner
// S-1-5-32-544, then the DACL (revision 2, 76 bytes, three entries) whose
// entries allow, inherited by objects and containers (OICI), FILE_ALL_ACCESS
// to S-1-5-18 and S-1-5-32-544 and FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
// (0x1200A9) to S-1-5-32-545. All numbers little-endian.
alignas(4) const BYTE kPrivateFolderSecurity[kPrivateFolderSecuritySize] = {
    0x01, 0x00, 0x04, 0x90, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00,
    // Owner: Administrators.
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
    0x20, 0x02, 0x00, 0x00,
    // DACL header.
    0x02, 0x00, 0x4C, 0x00, 0x03, 0x00, 0x00, 0x00,
    // SYSTEM: full control.
    0x00, 0x03, 0x14, 0x00, 0xFF, 0x01, 0x1F, 0x00, 0x01, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
    // Administrators: full control.
    0x00, 0x03, 0x18, 0x00, 0xFF, 0x01, 0x1F, 0x00, 0x01, 0x02, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
    // Users: read and execute.
    0x00, 0x03, 0x18, 0x00, 0xA9, 0x00, 0x12, 0x00, 0x01, 0x02, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x21, 0x02, 0x00, 0x00};

bool IsPrivateSecurity(PSECURITY_DESCRIPTOR descriptor, PSID alsoTrusted) {
  TrustedOwners trusted;
  if (!trusted.Build()) return false;
  trusted.also = alsoTrusted;

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

void FormatHex(const BYTE* bytes, wchar_t* hex) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (ULONG i = 0; i < kRandomNameBytes; ++i) {
    hex[2 * i] = kDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  hex[2 * kRandomNameBytes] = L'\0';
}

}  // namespace folder_guard_detail

}  // namespace orvelle
