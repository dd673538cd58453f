// The private-folder rule: the security descriptors it builds, which existing
// descriptors it accepts, and how it creates, checks and takes over folders.
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "folder_guard.h"
#include "shared_names_example.h"

namespace orvelle_test {
namespace {

using orvelle::IsPrivateSecurity;
using orvelle::SecureFolder;

const std::wstring kFolder = L"C:\\ProgramData\\ORVELLE";
// The name the first set-aside gets on the fake machine: its local time and
// the first random bytes it hands out.
const std::wstring kAside =
    kFolder + L".untrusted-20261208-143000-0123456789abcdef";

TEST(PrivateSecurity, FolderDescriptorOwnerAdministratorsProtectedInherited) {
  PSECURITY_DESCRIPTOR descriptor =
      const_cast<BYTE*>(orvelle::kPrivateFolderSecurity);
  ASSERT_TRUE(IsValidSecurityDescriptor(descriptor));
  EXPECT_EQ(GetSecurityDescriptorLength(descriptor),
            orvelle::kPrivateFolderSecuritySize);
  EXPECT_EQ(SddlOf(descriptor), kPrivateFolderSddl);
  EXPECT_TRUE(IsPrivateSecurity(descriptor));
}

struct SecurityCase {
  const char* name;
  const wchar_t* sddl;
  bool isPrivate;
};

void PrintTo(const SecurityCase& c, std::ostream* out) { *out << c.name; }

const SecurityCase kSecurityCases[] = {
    {"OwnCreation", kPrivateFolderSddl, true},
    {"OwnedBySystem", L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", true},
    {"OwnedByTrustedInstaller",
     L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
     L"D:(A;OICI;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-"
     L"2271478464)(A;OICI;0x1200a9;;;BU)",
     true},
    {"EveryoneMayOnlyRead", L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;FR;;;WD)", true},
    {"DenyEntriesAreHarmless",
     L"O:BAD:(D;OICI;FA;;;BU)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", true},
    {"OwnedByAUser", L"O:S-1-5-21-1111-2222-3333-1001D:P(A;OICI;FA;;;BA)",
     false},
    {"OwnedByUsers", L"O:BUD:P(A;OICI;FA;;;BA)", false},
    {"InheritedFromProgramData", kUserOwnedFolderSddl, false},
    {"UsersMayAddFiles", L"O:BAD:(A;OICI;FA;;;BA)(A;CI;0x116;;;BU)", false},
    {"CreatorOwnerInheritOnly", L"O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)",
     false},
    {"EveryoneGenericWrite", L"O:BAD:(A;OICI;FA;;;BA)(A;;GW;;;WD)", false},
    {"UsersMayDelete", L"O:BAD:(A;OICI;FA;;;BA)(A;;SD;;;BU)", false},
    {"UsersMayChangePermissions", L"O:BAD:(A;OICI;FA;;;BA)(A;;WD;;;BU)",
     false},
    {"UsersMayTakeOwnership", L"O:BAD:(A;OICI;FA;;;BA)(A;;WO;;;BU)", false},
    {"UsersMayDeleteChildren", L"O:BAD:(A;OICI;FA;;;BA)(A;;0x40;;;BU)", false},
    {"AuthenticatedUsersModify",
     L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", false},
    {"NoDacl", L"O:BA", false},
};

class SecurityDecision : public ::testing::TestWithParam<SecurityCase> {};

TEST_P(SecurityDecision, AcceptsOnlyTrustedOwnersWithoutOutsideWriters) {
  const SecurityCase& c = GetParam();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      c.sddl, SDDL_REVISION_1, &descriptor, nullptr));
  EXPECT_EQ(IsPrivateSecurity(descriptor), c.isPrivate);
  LocalFree(descriptor);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, SecurityDecision, ::testing::ValuesIn(kSecurityCases),
    [](const ::testing::TestParamInfo<SecurityCase>& info) {
      return std::string(info.param.name);
    });

TEST(SecurityDecision, UnknownEntryTypeIsNotTrusted) {
  // An allow entry of a kind the check does not read (a callback entry), for
  // Users, built by hand.
  alignas(DWORD) BYTE aclBytes[128] = {};
  PACL acl = reinterpret_cast<PACL>(aclBytes);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(aclBytes), ACL_REVISION));
  BYTE usersSid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(usersSid);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, usersSid,
                                 &sidSize));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ,
                                  usersSid));
  void* ace = nullptr;
  ASSERT_TRUE(GetAce(acl, 0, &ace));
  static_cast<ACE_HEADER*>(ace)->AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;

  BYTE adminsSid[SECURITY_MAX_SID_SIZE];
  sidSize = sizeof(adminsSid);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr,
                                 adminsSid, &sidSize));
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor,
                                           SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, adminsSid, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
  EXPECT_FALSE(IsPrivateSecurity(&descriptor));

  static_cast<ACE_HEADER*>(ace)->AceType = ACCESS_ALLOWED_ACE_TYPE;
  EXPECT_TRUE(IsPrivateSecurity(&descriptor));
}

TEST(SecurityDecision, NullDaclGrantsEveryoneEverything) {
  BYTE adminsSid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(adminsSid);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr,
                                 adminsSid, &sidSize));
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor,
                                           SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, adminsSid, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
  EXPECT_FALSE(IsPrivateSecurity(&descriptor));

  // An empty DACL, by contrast, lets nobody in.
  alignas(DWORD) BYTE aclBytes[64];
  PACL acl = reinterpret_cast<PACL>(aclBytes);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(aclBytes), ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
  EXPECT_TRUE(IsPrivateSecurity(&descriptor));
}

// A service's SID is derived from its name: S-1-5-80 and the first five
// little-endian 32-bit words of the SHA-1 of the upper-case name in UTF-16LE.
TEST(TrustedInstallerSid, MatchesTheDerivationFromTheServiceName) {
  const wchar_t kService[] = L"TRUSTEDINSTALLER";
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM,
                                        nullptr, 0),
            0);
  UCHAR digest[20] = {};
  const NTSTATUS hashed = BCryptHash(
      algorithm, nullptr, 0,
      reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kService)),
      static_cast<ULONG>(wcslen(kService) * sizeof(wchar_t)), digest,
      sizeof(digest));
  BCryptCloseAlgorithmProvider(algorithm, 0);
  ASSERT_EQ(hashed, 0);
  std::string derived = "S-1-5-80";
  for (int word = 0; word < 5; ++word) {
    unsigned long value = 0;
    for (int byte = 3; byte >= 0; --byte) {
      value = (value << 8) | digest[word * 4 + byte];
    }
    derived += "-" + std::to_string(value);
  }
  ASSERT_EQ(derived,
            "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");

  DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  ASSERT_TRUE(orvelle::BuildTrustedInstallerSid(sid));
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(sid, &text));
  EXPECT_EQ(Narrow(text), derived);
  LocalFree(text);
}

// ---------------------------------------------------------------------------
// SecureFolder through the fake platform.

class SecureFolderTest : public ::testing::Test {
 protected:
  HANDLE Secure() { return SecureFolder(platform, kFolder.c_str()); }
  void Release(HANDLE folder) {
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    platform.CloseHandle(folder);
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
  }
  void ExpectNoLinkFollowed() {
    EXPECT_EQ(platform.IndexOf("FOLLOWED-LINK"), -1);
    EXPECT_EQ(platform.IndexOf("LISTED-THROUGH-LINK"), -1);
  }
  FakePlatform platform;
};

// The launcher names a set-aside folder and a fallback folder exactly as the
// setup script does: both suites check their names for the same folder, time
// and random digits against tests/shared/set-aside-names.txt.
TEST(SharedNames, SetAsideAndFallbackNamesAreTheScriptsToo) {
  FakePlatform platform;
  SYSTEMTIME& time = platform.localTime;
  ASSERT_EQ(swscanf(ORVELLE_EXAMPLE_LOCAL_TIME, L"%hu-%hu-%hu %hu:%hu:%hu",
                    &time.wYear, &time.wMonth, &time.wDay, &time.wHour,
                    &time.wMinute, &time.wSecond),
            6);
  platform.randomBase = wcstoull(ORVELLE_EXAMPLE_RANDOM_HEX, nullptr, 16);
  const std::wstring folder = ORVELLE_EXAMPLE_FOLDER;
  platform.AddFolder(folder, kUserOwnedFolderSddl);
  HANDLE secured = SecureFolder(platform, folder.c_str());
  ASSERT_NE(secured, INVALID_HANDLE_VALUE);
  platform.CloseHandle(secured);
  EXPECT_TRUE(platform.Exists(ORVELLE_EXAMPLE_SET_ASIDE));

  FakePlatform beside;
  beside.randomBase = platform.randomBase;
  const size_t slash = folder.rfind(L'\\');
  wchar_t fallback[MAX_PATH];
  HANDLE made = orvelle::SecureFallbackFolder(
      beside, fallback, MAX_PATH, folder.substr(0, slash).c_str(),
      folder.substr(slash + 1).c_str());
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  beside.CloseHandle(made);
  EXPECT_EQ(std::wstring(fallback), ORVELLE_EXAMPLE_FALLBACK);
}

TEST_F(SecureFolderTest, CreatesAMissingFolderWithPrivateSecurity) {
  HANDLE folder = Secure();
  Release(folder);
  ASSERT_TRUE(platform.Exists(kFolder));
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
  // Checked through its handle like a folder found there.
  EXPECT_NE(platform.IndexOf("GetKernelObjectSecurity"), -1);
  EXPECT_EQ(platform.IndexOf("MoveFileExW"), -1);
}

TEST_F(SecureFolderTest, KeepsAnExistingPrivateFolderUnchanged) {
  platform.AddFolder(kFolder, kPrivateFolderSddl);
  platform.AddFile(kFolder + L"\\keep.log", "log", L"O:BAD:");
  Release(Secure());
  EXPECT_EQ(platform.IndexOf("MoveFileExW"), -1);
  EXPECT_EQ(platform.nodes[kFolder + L"\\keep.log"].content, "log");
}

// An existing folder that somebody other than Administrators, SYSTEM or
// TrustedInstaller could have changed is renamed aside with everything in it,
// untouched, and a fresh private folder takes its place.
struct UnsafeFolderCase {
  const char* name;
  const wchar_t* sddl;
  bool securityUnreadable;
};

void PrintTo(const UnsafeFolderCase& c, std::ostream* out) { *out << c.name; }

const UnsafeFolderCase kUnsafeFolderCases[] = {
    {"MadeByAStandardUser", kUserOwnedFolderSddl, false},
    {"AdministratorsOwnedButUsersMayWrite",
     L"O:BAD:(A;OICI;FA;;;BA)(A;CI;0x116;;;BU)", false},
    {"OwnedByALookalikeOfTrustedInstaller",
     L"O:S-1-5-80-956008885-3425870138-1831038044-1853292631-2271478464"
     L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
     false},
    {"SecurityCannotBeRead", kPrivateFolderSddl, true},
};

class UnsafeFolder : public ::testing::TestWithParam<UnsafeFolderCase> {};

TEST_P(UnsafeFolder, IsSetAsideWithItsContentsAndReplacedByAFreshOne) {
  const UnsafeFolderCase& c = GetParam();
  FakePlatform platform;
  platform.AddFolder(kFolder, c.sddl);
  platform.AddFile(kFolder + L"\\version.dll", "MZ planted",
                   kUserOwnedFileSddl);
  platform.AddFolder(kFolder + L"\\Downloads", kUserOwnedFolderSddl);
  if (c.securityUnreadable) {
    platform.FailCall("GetKernelObjectSecurity", 1, ERROR_ACCESS_DENIED);
  }
  HANDLE folder = SecureFolder(platform, kFolder.c_str());
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  platform.CloseHandle(folder);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);

  const std::wstring& aside = kAside;
  ASSERT_TRUE(platform.Exists(aside));
  EXPECT_EQ(platform.nodes[aside].sddl, c.sddl);
  EXPECT_EQ(platform.nodes[aside + L"\\version.dll"].content, "MZ planted");
  EXPECT_EQ(platform.nodes[aside + L"\\version.dll"].sddl, kUserOwnedFileSddl);
  EXPECT_TRUE(platform.Exists(aside + L"\\Downloads"));

  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
  EXPECT_TRUE(platform.Children(kFolder).empty());
  EXPECT_EQ(platform.callCounts["MoveFileExW"], 1);
  EXPECT_EQ(platform.callCounts["CreateDirectoryW"], 2);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnsafeFolder, ::testing::ValuesIn(kUnsafeFolderCases),
    [](const ::testing::TestParamInfo<UnsafeFolderCase>& info) {
      return std::string(info.param.name);
    });

// Nobody can take a set-aside name in advance: the names an older version
// would have tried (the time alone, then the process id and 1 to 15) are
// all taken, and the folder still goes aside, under its random name.
TEST_F(SecureFolderTest, SetAsideNameEndsWithRandomDigitsNobodyCouldTake) {
  const std::wstring stamped = kFolder + L".untrusted-20261208-143000";
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\planted.txt", "now", kUserOwnedFileSddl);
  platform.AddFolder(stamped, kUserOwnedFolderSddl);
  for (int n = 1; n < 16; ++n) {
    platform.AddFolder(stamped + L"-4242-" + std::to_wstring(n),
                       kUserOwnedFolderSddl);
  }
  Release(Secure());
  EXPECT_EQ(platform.nodes[kAside + L"\\planted.txt"].content, "now");
  EXPECT_EQ(platform.callCounts["MoveFileExW"], 1);
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);

  // Another run's random digits give another name.
  FakePlatform other;
  other.randomBase = 0xfedcba9876543210ULL;
  other.AddFolder(kFolder, kUserOwnedFolderSddl);
  Release(SecureFolder(other, kFolder.c_str()));
  EXPECT_TRUE(other.Exists(kFolder + L".untrusted-20261208-143000-"
                                     L"fedcba9876543210"));
}

// Without random digits there is no name nobody could have taken: nothing is
// renamed to a name made without them.
TEST_F(SecureFolderTest, NothingIsSetAsideWhenTheRandomGeneratorFails) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.FailCall("SystemFunction036", 0, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.IndexOf("MoveFileExW"), -1);
  EXPECT_EQ(platform.nodes[kFolder].sddl, kUserOwnedFolderSddl);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, FolderThatCannotBeSetAsideIsRefusedAndKept) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\planted.txt", "planted", kUserOwnedFileSddl);
  platform.FailCall("MoveFileExW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.callCounts["MoveFileExW"], 1);
  EXPECT_EQ(platform.nodes[kFolder + L"\\planted.txt"].content, "planted");
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

// The last round sets nothing aside: a copy moved then would only leave the
// name free for whoever keeps putting the folder back.
TEST_F(SecureFolderTest, UnsafeFolderThatKeepsComingBackIsRefused) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.afterMove = [this](const std::wstring& from) {
    platform.AddFolder(from, kUserOwnedFolderSddl);
  };
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  int setAside = 0;
  for (const std::wstring& name : platform.Children(L"C:\\ProgramData")) {
    if (name.rfind(L"ORVELLE.untrusted-", 0) == 0) ++setAside;
  }
  EXPECT_EQ(setAside, orvelle::kMaxSecureRounds - 1);
  EXPECT_EQ(platform.callCounts["MoveFileExW"], orvelle::kMaxSecureRounds - 1);
  EXPECT_EQ(platform.callCounts["CreateFileW(open)"],
            orvelle::kMaxSecureRounds);
  EXPECT_TRUE(platform.Exists(kFolder));
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, LinkInPlaceOfTheFolderIsReplacedByARealFolder) {
  platform.AddLink(kFolder, /*directory=*/true);
  Release(Secure());
  ASSERT_TRUE(platform.Exists(kFolder));
  EXPECT_FALSE(platform.nodes[kFolder].link);
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
  EXPECT_NE(platform.IndexOfCall("RemoveDirectoryW " + Narrow(kFolder)), -1);
  ExpectNoLinkFollowed();
}

TEST_F(SecureFolderTest, FileLinkInPlaceOfTheFolderIsReplacedByARealFolder) {
  platform.AddLink(kFolder, /*directory=*/false);
  Release(Secure());
  EXPECT_TRUE(platform.nodes[kFolder].directory);
  EXPECT_FALSE(platform.nodes[kFolder].link);
  EXPECT_NE(platform.IndexOfCall("DeleteFileW " + Narrow(kFolder)), -1);
}

TEST_F(SecureFolderTest, LinkThatComesBackAfterRemovalIsRefused) {
  platform.AddLink(kFolder, /*directory=*/true);
  platform.FailCall("CreateDirectoryW", 2, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

// A plain file where the folder belongs is set aside like an unsafe folder:
// renamed with its content, never deleted.
TEST_F(SecureFolderTest, PlainFileInPlaceOfTheFolderIsSetAside) {
  platform.AddFile(kFolder, "not a folder", kUserOwnedFileSddl);
  Release(Secure());
  EXPECT_EQ(platform.nodes[kAside].content, "not a folder");
  EXPECT_FALSE(platform.nodes[kAside].directory);
  EXPECT_TRUE(platform.nodes[kFolder].directory);
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
  EXPECT_EQ(platform.IndexOf("DeleteFileW"), -1);
}

// A folder created by this call is checked through its handle too. Where the
// system ignores the owner asked for (as Wine does) and makes the launcher's
// own user the owner, that user is trusted for this folder only; a folder
// already owned by that user is still set aside.
TEST_F(SecureFolderTest, JustCreatedFolderIsCheckedThroughItsHandle) {
  platform.createdOwnedByTokenUser = true;
  Release(Secure());
  EXPECT_EQ(platform.IndexOf("MoveFileExW"), -1);
  EXPECT_NE(platform.IndexOf("GetTokenInformation"), -1);

  // Found there now, not created: not trusted.
  HANDLE again = Secure();
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  platform.CloseHandle(again);
  EXPECT_EQ(platform.callCounts["MoveFileExW"], 1);
  EXPECT_TRUE(platform.Exists(kAside));

  // When the user cannot be told, a created folder owned by somebody other
  // than Administrators is not used, nor set aside in the last round.
  FakePlatform unknown;
  unknown.createdOwnedByTokenUser = true;
  unknown.FailCall("GetTokenInformation", 0, ERROR_ACCESS_DENIED);
  EXPECT_EQ(SecureFolder(unknown, kFolder.c_str(), 1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(unknown.IndexOf("MoveFileExW"), -1);
  EXPECT_EQ(unknown.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, CreationErrorOtherThanExistsIsRefused) {
  platform.FailCall("CreateDirectoryW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.IndexOf("CreateFileW"), -1);
}

TEST_F(SecureFolderTest, FolderThatShutsAdministratorsOutIsSetAside) {
  platform.AddFolder(kFolder, L"O:S-1-5-32-546D:P(A;OICI;FA;;;S-1-5-32-546)");
  platform.AddFile(kFolder + L"\\planted.txt", "planted", kUserOwnedFileSddl);
  platform.FailCall("CreateFileW(open)", 1, ERROR_ACCESS_DENIED);
  Release(Secure());
  EXPECT_EQ(platform.nodes[kAside + L"\\planted.txt"].content, "planted");
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
}

TEST_F(SecureFolderTest, FolderSomebodyHoldsForDeletionIsRefused) {
  platform.AddFolder(kFolder, kPrivateFolderSddl);
  platform.FailCall("CreateFileW(open)", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
}

// The fake applies Windows' rule that only a handle with data access (such
// as listing) takes part in sharing checks.
TEST_F(SecureFolderTest, ReturnedHandleBlocksRenameAndRemovalUntilClosed) {
  HANDLE folder = Secure();
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  const std::wstring moved = kFolder + L"-moved";
  EXPECT_FALSE(platform.MoveFileExW(kFolder.c_str(), moved.c_str()));
  EXPECT_FALSE(platform.RemoveDirectoryW(kFolder.c_str()));
  platform.CloseHandle(folder);
  EXPECT_TRUE(platform.MoveFileExW(kFolder.c_str(), moved.c_str()));
}

}  // namespace
}  // namespace orvelle_test
