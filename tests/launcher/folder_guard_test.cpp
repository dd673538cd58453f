// The private-folder rule: the security descriptors it builds, which existing
// descriptors it accepts, and how it creates, checks and takes over folders.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "folder_guard.h"

namespace orvelle_test {
namespace {

using orvelle::BuildPrivateSecurity;
using orvelle::IsPrivateSecurity;
using orvelle::ObjectKind;
using orvelle::PrivateSecurity;
using orvelle::SecureFolder;

const std::wstring kFolder = L"C:\\ProgramData\\ORVELLE";

TEST(PrivateSecurity, FolderDescriptorOwnerAdministratorsProtectedInherited) {
  PrivateSecurity security;
  ASSERT_TRUE(BuildPrivateSecurity(&security, ObjectKind::kFolder));
  EXPECT_EQ(SddlOf(&security.descriptor), kPrivateFolderSddl);
  EXPECT_TRUE(IsPrivateSecurity(&security.descriptor));
}

TEST(PrivateSecurity, FileDescriptorHasTheSameEntriesWithoutInheritance) {
  PrivateSecurity security;
  ASSERT_TRUE(BuildPrivateSecurity(&security, ObjectKind::kFile));
  EXPECT_EQ(SddlOf(&security.descriptor), kPrivateFileSddl);
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

TEST_F(SecureFolderTest, CreatesAMissingFolderWithPrivateSecurity) {
  HANDLE folder = Secure();
  Release(folder);
  ASSERT_TRUE(platform.Exists(kFolder));
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
  EXPECT_EQ(platform.IndexOf("GetKernelObjectSecurity"), -1);
  EXPECT_EQ(platform.IndexOf("SetKernelObjectSecurity"), -1);
}

TEST_F(SecureFolderTest, KeepsAnExistingPrivateFolderUnchanged) {
  platform.AddFolder(kFolder, kPrivateFolderSddl);
  platform.AddFile(kFolder + L"\\keep.log", "log", L"O:BAD:");
  Release(Secure());
  EXPECT_EQ(platform.IndexOf("SetKernelObjectSecurity"), -1);
  EXPECT_EQ(platform.IndexOf("FindFirstFileW"), -1);
  EXPECT_EQ(platform.nodes[kFolder + L"\\keep.log"].sddl, L"O:BAD:");
}

TEST_F(SecureFolderTest, TakesOverAUserOwnedFolderAndEverythingBelow) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\a.txt", "a", kUserOwnedFileSddl);
  platform.AddFolder(kFolder + L"\\sub", kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\sub\\b.dll", "b", kUserOwnedFileSddl);
  platform.AddFolder(kFolder + L"\\sub\\deeper", kUserOwnedFolderSddl);
  Release(Secure());
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
  EXPECT_EQ(platform.nodes[kFolder + L"\\sub"].sddl, kPrivateFolderSddl);
  EXPECT_EQ(platform.nodes[kFolder + L"\\sub\\deeper"].sddl,
            kPrivateFolderSddl);
  EXPECT_EQ(platform.nodes[kFolder + L"\\a.txt"].sddl, kPrivateFileSddl);
  EXPECT_EQ(platform.nodes[kFolder + L"\\sub\\b.dll"].sddl, kPrivateFileSddl);
  // The folder itself first, so nothing new can be added while the rest is
  // reset; owner, DACL and protection set every time.
  EXPECT_EQ(platform.IndexOf("SetKernelObjectSecurity"),
            platform.IndexOfCall("SetKernelObjectSecurity " + Narrow(kFolder)));
  ASSERT_EQ(platform.securityInformation.size(), 5u);
  for (SECURITY_INFORMATION information : platform.securityInformation) {
    EXPECT_EQ(information, static_cast<SECURITY_INFORMATION>(
                               OWNER_SECURITY_INFORMATION |
                               DACL_SECURITY_INFORMATION |
                               PROTECTED_DACL_SECURITY_INFORMATION));
  }
  EXPECT_EQ(platform.callCounts["FindFirstFileW"],
            platform.callCounts["FindClose"]);
}

TEST_F(SecureFolderTest, TakesOverAnAdministratorsFolderThatUsersMayWrite) {
  platform.AddFolder(kFolder, L"O:BAD:(A;OICI;FA;;;BA)(A;CI;0x116;;;BU)");
  Release(Secure());
  EXPECT_EQ(platform.nodes[kFolder].sddl, kPrivateFolderSddl);
}

TEST_F(SecureFolderTest, UnreadableSecurityIsTakenOver) {
  platform.AddFolder(kFolder, kPrivateFolderSddl);
  platform.FailCall("GetKernelObjectSecurity", 1, ERROR_INSUFFICIENT_BUFFER);
  Release(Secure());
  EXPECT_NE(platform.IndexOfCall("SetKernelObjectSecurity " + Narrow(kFolder)),
            -1);
}

TEST_F(SecureFolderTest, LinksBelowATakenOverFolderAreRemovedNotFollowed) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddLink(kFolder + L"\\junction", /*directory=*/true);
  platform.AddLink(kFolder + L"\\sub-link-file", /*directory=*/false);
  platform.AddFolder(kFolder + L"\\sub", kUserOwnedFolderSddl);
  platform.AddLink(kFolder + L"\\sub\\nested-junction", /*directory=*/true);
  Release(Secure());
  EXPECT_FALSE(platform.Exists(kFolder + L"\\junction"));
  EXPECT_FALSE(platform.Exists(kFolder + L"\\sub-link-file"));
  EXPECT_FALSE(platform.Exists(kFolder + L"\\sub\\nested-junction"));
  EXPECT_NE(platform.IndexOf("RemoveDirectoryW " + Narrow(kFolder) +
                             "\\junction"),
            -1);
  EXPECT_NE(platform.IndexOf("DeleteFileW " + Narrow(kFolder) +
                             "\\sub-link-file"),
            -1);
  EXPECT_EQ(platform.securitySet.count(kFolder + L"\\junction"), 0u);
  ExpectNoLinkFollowed();
}

TEST_F(SecureFolderTest, HardLinkedFileNameIsRemovedNotReset) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\hosts", "127.0.0.1 localhost\n",
                   L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;;FA;;;BU)");
  platform.nodes[kFolder + L"\\hosts"].linkCount = 2;
  Release(Secure());
  EXPECT_FALSE(platform.Exists(kFolder + L"\\hosts"));
  EXPECT_EQ(platform.securitySet.count(kFolder + L"\\hosts"), 0u);
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

TEST_F(SecureFolderTest, PlainFileInPlaceOfTheFolderIsRefusedAndKept) {
  platform.AddFile(kFolder, "not a folder", kUserOwnedFileSddl);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.nodes[kFolder].content, "not a folder");
  EXPECT_EQ(platform.IndexOf("SetKernelObjectSecurity"), -1);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, CreationErrorOtherThanExistsIsRefused) {
  platform.FailCall("CreateDirectoryW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.IndexOf("CreateFileW"), -1);
}

TEST_F(SecureFolderTest, FolderSomebodyHoldsForDeletionIsRefused) {
  platform.AddFolder(kFolder, kPrivateFolderSddl);
  platform.FailCall("CreateFileW(open)", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
}

TEST_F(SecureFolderTest, FailedResetOfTheFolderIsRefusedBeforeTheWalk) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\a.txt", "a", kUserOwnedFileSddl);
  platform.FailCall("SetKernelObjectSecurity", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.IndexOf("FindFirstFileW"), -1);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, FailedResetBelowTheFolderIsRefused) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\a.txt", "a", kUserOwnedFileSddl);
  platform.AddFile(kFolder + L"\\b.txt", "b", kUserOwnedFileSddl);
  platform.FailCall("SetKernelObjectSecurity", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
  EXPECT_EQ(platform.callCounts["FindFirstFileW"],
            platform.callCounts["FindClose"]);
}

TEST_F(SecureFolderTest, ListingErrorIsRefused) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\a.txt", "a", kUserOwnedFileSddl);
  platform.FailCall("FindNextFileW", 2, ERROR_NETNAME_DELETED);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, EntryThatCannotBeOpenedIsRefused) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  platform.AddFile(kFolder + L"\\locked.txt", "a", kUserOwnedFileSddl);
  platform.FailCall("CreateFileW(open)", 2, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
}

void AddNestedFolders(FakePlatform& platform, const std::wstring& top,
                      int levels, const std::wstring& name) {
  std::wstring path = top;
  for (int i = 0; i < levels; ++i) {
    path += L"\\" + name;
    platform.AddFolder(path, kUserOwnedFolderSddl);
  }
}

TEST_F(SecureFolderTest, TakeOverReachesTheDepthLimit) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  AddNestedFolders(platform, kFolder, orvelle::kMaxTakeOverDepth - 1, L"d");
  Release(Secure());
  EXPECT_EQ(platform.securitySet.size(),
            static_cast<size_t>(orvelle::kMaxTakeOverDepth));
}

TEST_F(SecureFolderTest, TreeDeeperThanTheLimitIsRefused) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  AddNestedFolders(platform, kFolder, orvelle::kMaxTakeOverDepth, L"d");
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, PathLongerThanTheWalkBufferIsRefused) {
  platform.AddFolder(kFolder, kUserOwnedFolderSddl);
  AddNestedFolders(platform, kFolder, 5, std::wstring(220, L'n'));
  EXPECT_EQ(Secure(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(SecureFolderTest, ReturnedHandleBlocksRemovalUntilClosed) {
  HANDLE folder = Secure();
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(platform.RemoveDirectoryW(kFolder.c_str()));
  platform.CloseHandle(folder);
  EXPECT_TRUE(platform.RemoveDirectoryW(kFolder.c_str()));
}

}  // namespace
}  // namespace orvelle_test
