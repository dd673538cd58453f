// SecureFolder on a real Windows machine, for what Wine cannot show: owners and
// DACLs as NTFS stores and enforces them, a second, standard local user who
// prepares the folders before the run, junctions and symbolic links, and the
// sharing mode of the handle SecureFolder returns. ctest does not run this
// program. A maintainer copies orvelle_launcher_windows_tests.exe to a Windows
// 10 or 11 machine and runs it from an elevated prompt (tests/windows/README.md).
//
// Each test works in a folder of its own below ProgramData (where standard
// users may create folders), %ProgramData%\orvelle-windows-test-<process
// id>-<test name>, and removes it (links as links) at the end. The
// ownership and restore privileges are on only while the test prepares or
// removes things; SecureFolder runs without them, as in the launcher.
#include <windows.h>
#include <lm.h>
#include <sddl.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "folder_guard.h"
#include "win32_platform.h"

namespace {


constexpr char kAdministratorsSid[] = "S-1-5-32-544";
constexpr char kGuestsSid[] = "S-1-5-32-546";
// What the Explorer dialog calls "Modify": read, write, execute and delete.
constexpr wchar_t kModify[] = L"0x1301bf";
constexpr char kPrecious[] = "precious";

// The DACL entries of a private folder, as EntryText
// writes them: SYSTEM and Administrators full control, Users read and execute.
const std::vector<std::string> kPrivateFolderEntries = {
    "allow OICI 0x001f01ff S-1-5-18",
    "allow OICI 0x001f01ff S-1-5-32-544",
    "allow OICI 0x001200a9 S-1-5-32-545"};

// ---------------------------------------------------------------------------
// Small Win32 helpers.

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Close(); }
  HANDLE get() const { return handle_; }
  bool valid() const {
    return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr;
  }
  void Close() {
    if (valid()) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// A security descriptor parsed from SDDL text; none for empty text.
class SddlDescriptor {
 public:
  explicit SddlDescriptor(const std::wstring& sddl) {
    if (sddl.empty()) return;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr);
  }
  SddlDescriptor(const SddlDescriptor&) = delete;
  SddlDescriptor& operator=(const SddlDescriptor&) = delete;
  ~SddlDescriptor() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
  }
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

std::string Narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result += c < 128 ? static_cast<char>(c) : '?';
  return result;
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return "<none>";
  std::string result = Narrow(text);
  ::LocalFree(text);
  return result;
}

// Opens the object at path itself, never what a link there points to, with
// every kind of sharing so that it also works while SecureFolder's handle is
// open. Backup semantics are needed for folders and, with the privileges on,
// get past a DACL that shuts Administrators out.
HANDLE OpenObject(const std::wstring& path, DWORD access) {
  return ::CreateFileW(
      path.c_str(), access,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsLink(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsRealFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
             FILE_ATTRIBUTE_DIRECTORY;
}

// Each creation helper returns ERROR_SUCCESS or the Win32 error.
DWORD CreateFolderWith(const std::wstring& path, const std::wstring& sddl) {
  SddlDescriptor descriptor(sddl);
  if (descriptor.get() == nullptr) return ERROR_INVALID_PARAMETER;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(),
                                    FALSE};
  return ::CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS
                                                       : ::GetLastError();
}

// Creates a file holding text; sddl may be empty for the inherited default.
DWORD CreateFileWith(const std::wstring& path, const std::wstring& sddl,
                     const char* text) {
  SddlDescriptor descriptor(sddl);
  if (!sddl.empty() && descriptor.get() == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(),
                                    FALSE};
  OwnedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0,
                                 sddl.empty() ? nullptr : &attributes,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return ::GetLastError();
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(std::strlen(text));
  if (!::WriteFile(file.get(), text, size, &written, nullptr)) {
    return ::GetLastError();
  }
  return written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

std::string ReadText(const std::wstring& path) {
  OwnedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
  if (!file.valid()) return "<unreadable>";
  char buffer[256];
  DWORD read = 0;
  if (!::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) {
    return "<unreadable>";
  }
  return std::string(buffer, read);
}

// Gives an existing object the owner and protected DACL of sddl. With the
// restore privilege on, any owner may be set, as a standard user's own
// folder or one handed to another account would have.
DWORD SetSecurity(const std::wstring& path, const std::wstring& sddl) {
  SddlDescriptor descriptor(sddl);
  if (descriptor.get() == nullptr) return ERROR_INVALID_PARAMETER;
  OwnedHandle object(OpenObject(path, WRITE_DAC | WRITE_OWNER));
  if (!object.valid()) return ::GetLastError();
  return ::SetKernelObjectSecurity(object.get(),
                                   OWNER_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION |
                                       PROTECTED_DACL_SECURITY_INFORMATION,
                                   descriptor.get())
             ? ERROR_SUCCESS
             : ::GetLastError();
}

// A junction (mount point) at link, made the way `mklink /J` makes one: an
// empty folder given a mount-point reparse buffer.
DWORD CreateJunction(const std::wstring& link, const std::wstring& target) {
  struct MountPointHeader {
    DWORD reparseTag;
    WORD reparseDataLength;
    WORD reserved;
    WORD substituteNameOffset;
    WORD substituteNameLength;
    WORD printNameOffset;
    WORD printNameLength;
  };
  const std::wstring substitute = L"\\??\\" + target;
  const WORD substituteBytes =
      static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  const WORD printBytes = static_cast<WORD>(target.size() * sizeof(wchar_t));
  const WORD pathBytes = static_cast<WORD>(substituteBytes + printBytes +
                                           2 * sizeof(wchar_t));
  MountPointHeader header = {};
  header.reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  // The four name fields belong to the reparse data; the first eight bytes
  // (tag, length, reserved) do not.
  header.reparseDataLength = static_cast<WORD>(8 + pathBytes);
  header.substituteNameLength = substituteBytes;
  header.printNameOffset = static_cast<WORD>(substituteBytes + sizeof(wchar_t));
  header.printNameLength = printBytes;
  std::vector<BYTE> buffer(sizeof(header) + pathBytes, 0);
  std::memcpy(buffer.data(), &header, sizeof(header));
  std::memcpy(buffer.data() + sizeof(header), substitute.c_str(),
              substituteBytes);
  std::memcpy(buffer.data() + sizeof(header) + header.printNameOffset,
              target.c_str(), printBytes);

  if (!::CreateDirectoryW(link.c_str(), nullptr)) return ::GetLastError();
  OwnedHandle folder(::CreateFileW(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  DWORD returned = 0;
  if (!folder.valid() ||
      !::DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                         static_cast<DWORD>(buffer.size()), nullptr, 0,
                         &returned, nullptr)) {
    const DWORD error = ::GetLastError();
    folder.Close();
    ::RemoveDirectoryW(link.c_str());
    return error;
  }
  return ERROR_SUCCESS;
}

// A symbolic link; flags carries SYMBOLIC_LINK_FLAG_DIRECTORY for a folder
// link. Unprivileged creation is asked for where Windows knows it (developer
// mode) and dropped on builds that refuse the flag; elevated, it is not needed.
DWORD CreateSymlink(const std::wstring& link, const std::wstring& target,
                    DWORD flags) {
  if (::CreateSymbolicLinkW(
          link.c_str(), target.c_str(),
          flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    return ERROR_SUCCESS;
  }
  if (::GetLastError() == ERROR_INVALID_PARAMETER &&
      ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) {
    return ERROR_SUCCESS;
  }
  return ::GetLastError();
}

// ---------------------------------------------------------------------------
// Security as stored on disk.

std::string EntryFlags(BYTE flags) {
  static const struct {
    BYTE bit;
    const char* name;
  } kNames[] = {{OBJECT_INHERIT_ACE, "OI"},
                {CONTAINER_INHERIT_ACE, "CI"},
                {NO_PROPAGATE_INHERIT_ACE, "NP"},
                {INHERIT_ONLY_ACE, "IO"},
                {INHERITED_ACE, "ID"}};
  std::string text;
  for (const auto& name : kNames) {
    if (flags & name.bit) {
      text += name.name;
      flags = static_cast<BYTE>(flags & ~name.bit);
    }
  }
  if (flags != 0) text += "+" + std::to_string(flags);
  return text.empty() ? "-" : text;
}

// One DACL entry as "allow OICI 0x001f01ff S-1-5-18".
std::string EntryText(const ACE_HEADER* header) {
  const char* type = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                     : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                 : nullptr;
  if (type == nullptr) return "type " + std::to_string(header->AceType);
  // Allow and deny entries share one layout: header, mask, SID.
  const ACCESS_ALLOWED_ACE* entry =
      reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  char mask[16];
  std::snprintf(mask, sizeof(mask), "0x%08lx",
                static_cast<unsigned long>(entry->Mask));
  return std::string(type) + " " + EntryFlags(header->AceFlags) + " " + mask +
         " " + SidText(const_cast<DWORD*>(&entry->SidStart));
}

struct ObjectSecurity {
  bool read = false;
  std::string owner;
  bool daclProtected = false;
  std::vector<std::string> entries;
  // Owner and DACL as SDDL, to compare a link target before and after.
  std::string sddl;
  // What the launcher's own check says of it.
  bool passesLauncherCheck = false;
};

ObjectSecurity ReadSecurity(const std::wstring& path) {
  ObjectSecurity result;
  OwnedHandle object(OpenObject(path, READ_CONTROL));
  if (!object.valid()) {
    ADD_FAILURE() << "cannot open " << Narrow(path) << " to read its security"
                  << ", error " << ::GetLastError();
    return result;
  }
  const SECURITY_INFORMATION wanted =
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  ::GetKernelObjectSecurity(object.get(), wanted, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed == 0 ? 1 : needed);
  if (!::GetKernelObjectSecurity(object.get(), wanted, buffer.data(),
                                 static_cast<DWORD>(buffer.size()), &needed)) {
    ADD_FAILURE() << "cannot read the security of " << Narrow(path)
                  << ", error " << ::GetLastError();
    return result;
  }
  PSECURITY_DESCRIPTOR descriptor = buffer.data();
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  result.owner = SidText(owner);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  result.daclProtected = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  for (DWORD i = 0; present && dacl != nullptr && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (::GetAce(dacl, i, &entry)) {
      result.entries.push_back(EntryText(static_cast<ACE_HEADER*>(entry)));
    }
  }
  LPWSTR sddl = nullptr;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, wanted, &sddl, nullptr)) {
    result.sddl = Narrow(sddl);
    ::LocalFree(sddl);
  }
  result.passesLauncherCheck = orvelle::IsPrivateSecurity(descriptor);
  result.read = true;
  return result;
}

// The protection SecureFolder promises, read back from NTFS.
void ExpectPrivate(const std::wstring& path) {
  SCOPED_TRACE(Narrow(path));
  const ObjectSecurity security = ReadSecurity(path);
  ASSERT_TRUE(security.read);
  EXPECT_EQ(security.owner, kAdministratorsSid);
  EXPECT_TRUE(security.daclProtected) << security.sddl;
  EXPECT_EQ(security.entries, kPrivateFolderEntries) << security.sddl;
}

std::string CurrentUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return "";
  }
  DWORD buffer[128];
  DWORD size = 0;
  std::string sid;
  if (::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
    sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  }
  ::CloseHandle(token);
  return sid;
}

bool IsElevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool elevated = ::GetTokenInformation(token, TokenElevation,
                                              &elevation, sizeof(elevation),
                                              &size) &&
                        elevation.TokenIsElevated != 0;
  ::CloseHandle(token);
  return elevated;
}

// Whether this account, stripped of its administrator rights as a standard
// user would be (Administrators deny-only, no privileges), may create a file
// in folder. Any failure other than "access denied" fails the test.
bool StandardUserMayAddFiles(const std::wstring& folder) {
  DWORD administrators[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  DWORD sidSize = sizeof(administrators);
  HANDLE process = nullptr;
  HANDLE restricted = nullptr;
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr,
                            administrators, &sidSize) ||
      !::OpenProcessToken(::GetCurrentProcess(),
                          TOKEN_DUPLICATE | TOKEN_QUERY, &process)) {
    ADD_FAILURE() << "cannot open this process's token, error "
                  << ::GetLastError();
    return false;
  }
  SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
  const BOOL made =
      ::CreateRestrictedToken(process, DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0,
                              nullptr, 0, nullptr, &restricted);
  ::CloseHandle(process);
  if (!made) {
    ADD_FAILURE() << "cannot make a standard user's token, error "
                  << ::GetLastError();
    return false;
  }
  const std::wstring probe = folder + L"\\planted-by-a-user.dll";
  DWORD error = ERROR_SUCCESS;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (::ImpersonateLoggedOnUser(restricted)) {
    file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    error = ::GetLastError();
    ::RevertToSelf();
  } else {
    error = ::GetLastError();
    ADD_FAILURE() << "cannot act as a standard user, error " << error;
  }
  ::CloseHandle(restricted);
  if (file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(file);
    ::DeleteFileW(probe.c_str());
    return true;
  }
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "creating " << Narrow(probe) << " as a standard user";
  return false;
}

// Removes path and everything below it as an administrator would clean up
// after a test: links are removed as links, never entered; everything else
// is first given back to Administrators so that no DACL gets in the way.
void RemoveTree(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    folder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
    return;
  }
  SetSecurity(path, folder ? L"O:BAD:P(A;OICI;FA;;;BA)" : L"O:BAD:P(A;;FA;;;BA)");
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!folder) {
    ::DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(path.c_str());
}

// A folder outside the secured one with a file in it, for links to point at.
// Whatever SecureFolder does, this must keep its file and its security.
struct Sentinel {
  std::wstring folder;
  std::wstring file;
  std::string folderSddl;
  std::string fileSddl;
};

void MakeSentinel(const std::wstring& folder, Sentinel* sentinel) {
  sentinel->folder = folder;
  sentinel->file = folder + L"\\slot1.sav";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr))
      << Narrow(folder) << ", error " << ::GetLastError();
  ASSERT_EQ(CreateFileWith(sentinel->file, L"", kPrecious), ERROR_SUCCESS);
  sentinel->folderSddl = ReadSecurity(sentinel->folder).sddl;
  sentinel->fileSddl = ReadSecurity(sentinel->file).sddl;
  ASSERT_FALSE(sentinel->folderSddl.empty());
  ASSERT_FALSE(sentinel->fileSddl.empty());
}

void ExpectSentinelIntact(const Sentinel& sentinel) {
  SCOPED_TRACE("link target " + Narrow(sentinel.folder));
  EXPECT_TRUE(IsRealFolder(sentinel.folder));
  EXPECT_EQ(ReadText(sentinel.file), kPrecious);
  EXPECT_EQ(ReadSecurity(sentinel.folder).sddl, sentinel.folderSddl);
  EXPECT_EQ(ReadSecurity(sentinel.file).sddl, sentinel.fileSddl);
}

// ---------------------------------------------------------------------------

// Enables (or disables again) the privileges an administrator needs to give
// test objects any owner and to remove objects whose DACL shuts them out.
bool SetCleanupPrivileges(bool enable) {
  static const wchar_t* const kNames[] = {SE_TAKE_OWNERSHIP_NAME,
                                          SE_RESTORE_NAME, SE_BACKUP_NAME};
  constexpr DWORD kCount = sizeof(kNames) / sizeof(kNames[0]);
  struct {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[kCount];
  } privileges = {};
  privileges.PrivilegeCount = kCount;
  for (DWORD i = 0; i < kCount; ++i) {
    if (!::LookupPrivilegeValueW(nullptr, kNames[i],
                                 &privileges.Privileges[i].Luid)) {
      return false;
    }
    privileges.Privileges[i].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  }
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(),
                          TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  const BOOL adjusted = ::AdjustTokenPrivileges(
      token, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&privileges), 0,
      nullptr, nullptr);
  const bool allAssigned = ::GetLastError() == ERROR_SUCCESS;
  ::CloseHandle(token);
  return adjusted && allAssigned;
}

// A standard local user made for one test and deleted with it; its steps run
// on this thread while impersonating a logon with its password.
class SecondUser {
 public:
  SecondUser() {
    name_ = L"orvtest" + std::to_wstring(::GetCurrentProcessId() % 100000);
    password_ = L"Orv-" + std::to_wstring(::GetTickCount64()) + L"-x!Q9z";
    USER_INFO_1 info = {};
    info.usri1_name = &name_[0];
    info.usri1_password = &password_[0];
    info.usri1_priv = USER_PRIV_USER;
    info.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
    DWORD badField = 0;
    ::NetUserDel(nullptr, name_.c_str());  // Left by an aborted run.
    created_ = ::NetUserAdd(nullptr, 1, reinterpret_cast<BYTE*>(&info),
                            &badField) == NERR_Success;
    if (created_ &&
        !::LogonUserW(name_.c_str(), L".", password_.c_str(),
                      LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT,
                      &token_)) {
      token_ = nullptr;
    }
  }
  SecondUser(const SecondUser&) = delete;
  SecondUser& operator=(const SecondUser&) = delete;
  ~SecondUser() {
    if (token_ != nullptr) ::CloseHandle(token_);
    if (created_) ::NetUserDel(nullptr, name_.c_str());
  }
  bool ready() const { return token_ != nullptr; }
  std::string Sid() const {
    DWORD buffer[128];
    DWORD size = 0;
    if (!::GetTokenInformation(token_, TokenUser, buffer, sizeof(buffer),
                               &size)) {
      return "";
    }
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  }
  // Runs step as this user; false when impersonation itself failed.
  template <class Step>
  bool Run(Step step) const {
    if (!::ImpersonateLoggedOnUser(token_)) return false;
    step();
    ::RevertToSelf();
    return true;
  }

 private:
  std::wstring name_;
  std::wstring password_;
  bool created_ = false;
  HANDLE token_ = nullptr;
};

class WindowsSecureFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(IsElevated())
        << "these checks need an elevated prompt (Run as administrator)";
    ASSERT_TRUE(SetCleanupPrivileges(true))
        << "cannot enable the ownership privileges, error "
        << ::GetLastError();
    privilegesOn_ = true;
    user_ = CurrentUserSid();
    ASSERT_FALSE(user_.empty());

    wchar_t programData[MAX_PATH];
    wchar_t longProgramData[MAX_PATH];
    DWORD length =
        ::GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);
    // Junction targets are written out in full: no 8.3 short names.
    length = ::GetLongPathNameW(programData, longProgramData, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);
    root_ = longProgramData;
    if (root_.back() == L'\\') root_.pop_back();
    root_ += L"\\orvelle-windows-test-" +
             std::to_wstring(::GetCurrentProcessId()) + L"-";
    for (const char* c =
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
         *c != '\0'; ++c) {
      root_ += static_cast<wchar_t>(*c);
    }
    RemoveTree(root_);
    // Inherits ProgramData's permissions: standard users may add folders.
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr))
        << Narrow(root_) << ", error " << ::GetLastError();
  }

  void TearDown() override {
    if (!privilegesOn_) SetCleanupPrivileges(true);
    if (!root_.empty()) {
      RemoveTree(root_);
      EXPECT_FALSE(Exists(root_)) << "left behind: " << Narrow(root_);
    }
    SetCleanupPrivileges(false);
  }

  std::wstring Path(const std::wstring& relative) const {
    return root_ + L"\\" + relative;
  }

  // SecureFolder as the launcher calls it: without the privileges.
  HANDLE Secure(const std::wstring& path) {
    SetCleanupPrivileges(false);
    privilegesOn_ = false;
    HANDLE folder = orvelle::SecureFolder(platform_, path.c_str());
    const DWORD error = ::GetLastError();
    privilegesOn_ = SetCleanupPrivileges(true);
    ::SetLastError(error);
    return folder;
  }

  // The folders below root_ whose names start with prefix.
  std::vector<std::wstring> Matching(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((root_ + L"\\" + prefix + L"*").c_str(),
                                   &entry);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
      found.push_back(root_ + L"\\" + entry.cFileName);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return found;
  }

  // Owner and DACL of something a standard user made: owned by this account
  // (not Administrators), Users may change it, inheritance on.
  std::wstring UserMade(bool folder) const {
    const std::wstring owner(user_.begin(), user_.end());
    return L"O:" + owner + L"D:(A;" + (folder ? L"OICI" : L"") + L";" +
           kModify + L";;;BU)";
  }

  orvelle::Win32Platform platform_;
  bool privilegesOn_ = false;
  std::string user_;
  std::wstring root_;
};

TEST_F(WindowsSecureFolder, CreatedFolderIsOwnedByAdministratorsAndPrivate) {
  const std::wstring path = Path(L"created");
  OwnedHandle folder(Secure(path));
  ASSERT_TRUE(folder.valid()) << "error " << ::GetLastError();
  EXPECT_TRUE(IsRealFolder(path));
  // Exactly the three private entries, none inherited from ProgramData.
  ExpectPrivate(path);
  EXPECT_TRUE(ReadSecurity(path).passesLauncherCheck);
  EXPECT_FALSE(StandardUserMayAddFiles(path));
}

// The attack: a second, standard user prepares ORVELLE\Game Support before the
// player's run, plants files where installers and the script would pick them
// up, and keeps a handle with WRITE_DAC open on Game Support. The launcher's
// folder chain must end in fresh folders that hold nothing of the user's, with
// the user's tree set aside whole, and the old handle must not reach them.
TEST_F(WindowsSecureFolder, TreeAStandardUserMadeBeforeTheRunIsSetAside) {
  SecondUser attacker;
  ASSERT_TRUE(attacker.ready())
      << "cannot create and log on a local standard user, error "
      << ::GetLastError();
  const std::wstring vendor = Path(L"ORVELLE");
  const std::wstring product = vendor + L"\\Game Support";
  const std::wstring bootstrap = product + L"\\Bootstrap";
  const std::wstring downloads = product + L"\\Downloads";
  HANDLE heldByAttacker = INVALID_HANDLE_VALUE;
  DWORD prepared = ERROR_SUCCESS;
  ASSERT_TRUE(attacker.Run([&] {
    for (const std::wstring& folder : {vendor, product, bootstrap, downloads}) {
      if (prepared == ERROR_SUCCESS && !::CreateDirectoryW(folder.c_str(),
                                                           nullptr)) {
        prepared = ::GetLastError();
      }
    }
    if (prepared == ERROR_SUCCESS) {
      prepared = CreateFileWith(bootstrap + L"\\version.dll", L"", "planted");
    }
    if (prepared == ERROR_SUCCESS) {
      prepared = CreateFileWith(downloads + L"\\vc14-latest-x64.exe", L"",
                                "planted");
    }
    // Full sharing, so that the handle does not stop a rename.
    heldByAttacker = OpenObject(product, WRITE_DAC | READ_CONTROL);
  }));
  OwnedHandle held(heldByAttacker);
  ASSERT_EQ(prepared, static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_TRUE(held.valid());
  ASSERT_EQ(ReadSecurity(vendor).owner, attacker.Sid());
  ASSERT_FALSE(ReadSecurity(vendor).passesLauncherCheck);

  OwnedHandle vendorHandle(Secure(vendor));
  ASSERT_TRUE(vendorHandle.valid()) << "error " << ::GetLastError();
  OwnedHandle productHandle(Secure(product));
  ASSERT_TRUE(productHandle.valid()) << "error " << ::GetLastError();
  OwnedHandle bootstrapHandle(Secure(bootstrap));
  ASSERT_TRUE(bootstrapHandle.valid()) << "error " << ::GetLastError();

  // Fresh, private, empty folders; the user's tree is beside them, whole.
  for (const std::wstring& folder : {vendor, product, bootstrap}) {
    ExpectPrivate(folder);
  }
  EXPECT_FALSE(Exists(bootstrap + L"\\version.dll"));
  EXPECT_FALSE(Exists(downloads));
  const std::vector<std::wstring> aside = Matching(L"ORVELLE.untrusted-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadText(aside[0] + L"\\Game Support\\Bootstrap\\version.dll"),
            "planted");
  EXPECT_EQ(ReadText(aside[0] +
                     L"\\Game Support\\Downloads\\vc14-latest-x64.exe"),
            "planted");

  // The handle opened before the run still has WRITE_DAC, but on the folder
  // that was set aside: using it leaves the new folder as it was.
  SddlDescriptor everyone(L"D:(A;OICI;FA;;;WD)");
  ASSERT_NE(everyone.get(), nullptr);
  bool changed = false;
  ASSERT_TRUE(attacker.Run([&] {
    changed = ::SetKernelObjectSecurity(held.get(), DACL_SECURITY_INFORMATION,
                                        everyone.get()) != FALSE;
  }));
  EXPECT_TRUE(changed) << "the old handle should still work on the old folder";
  ExpectPrivate(product);
  EXPECT_FALSE(StandardUserMayAddFiles(product));
  bool created = true;
  ASSERT_TRUE(attacker.Run([&] {
    created = CreateFileWith(bootstrap + L"\\late.dll", L"", "late") ==
              ERROR_SUCCESS;
  }));
  EXPECT_FALSE(created);
}

TEST_F(WindowsSecureFolder, FolderWhoseOwnerShutAdministratorsOutIsSetAside) {
  // Owned by Guests, and only Guests have any entry: SecureFolder cannot even
  // open it, but the parent's delete-child right lets it move the folder aside
  // untouched and put a private one in its place.
  const std::wstring path = Path(L"guests-only");
  const std::wstring inside = path + L"\\inside.txt";
  ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
  ASSERT_EQ(CreateFileWith(inside, L"", "inside"), ERROR_SUCCESS);
  ASSERT_EQ(SetSecurity(inside, L"O:BGD:P(A;;FA;;;BG)"), ERROR_SUCCESS);
  ASSERT_EQ(SetSecurity(path, L"O:BGD:P(A;OICI;FA;;;BG)"), ERROR_SUCCESS);

  OwnedHandle folder(Secure(path));
  ASSERT_TRUE(folder.valid());
  ExpectPrivate(path);
  const std::vector<std::wstring> aside = Matching(L"guests-only.untrusted-");
  ASSERT_EQ(aside.size(), 1u);
}

TEST_F(WindowsSecureFolder, FolderWithLinksIsSetAsideWithoutTouchingTargets) {
  Sentinel sentinel;
  ASSERT_NO_FATAL_FAILURE(MakeSentinel(Path(L"outside"), &sentinel));
  const std::wstring path = Path(L"user-made");
  const std::wstring sub = path + L"\\sub";
  const std::wstring links[] = {
      path + L"\\junction", path + L"\\folder-symlink",
      path + L"\\file-symlink", path + L"\\hard-link.sav",
      sub + L"\\nested-junction"};
  ASSERT_EQ(CreateFolderWith(path, UserMade(true)), ERROR_SUCCESS);
  ASSERT_EQ(CreateFolderWith(sub, UserMade(true)), ERROR_SUCCESS);
  ASSERT_EQ(CreateJunction(links[0], sentinel.folder), ERROR_SUCCESS);
  ASSERT_EQ(CreateSymlink(links[1], sentinel.folder,
                          SYMBOLIC_LINK_FLAG_DIRECTORY),
            ERROR_SUCCESS);
  ASSERT_EQ(CreateSymlink(links[2], sentinel.file, 0), ERROR_SUCCESS);
  ASSERT_TRUE(::CreateHardLinkW(links[3].c_str(), sentinel.file.c_str(),
                                nullptr))
      << "error " << ::GetLastError();
  ASSERT_EQ(CreateJunction(links[4], sentinel.folder), ERROR_SUCCESS);
  ASSERT_FALSE(ReadSecurity(path).passesLauncherCheck);

  OwnedHandle folder(Secure(path));
  ASSERT_TRUE(folder.valid()) << "error " << ::GetLastError();

  ExpectPrivate(path);
  for (const std::wstring& link : links) {
    EXPECT_FALSE(Exists(link)) << "still there: " << Narrow(link);
  }
  const std::vector<std::wstring> aside = Matching(L"user-made.untrusted-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(IsLink(aside[0] + L"\\junction"));
  EXPECT_TRUE(IsLink(aside[0] + L"\\sub\\nested-junction"));
  ExpectSentinelIntact(sentinel);
}

TEST_F(WindowsSecureFolder, ReplacesALinkAtTheFolderPathWithoutFollowingIt) {
  Sentinel sentinel;
  ASSERT_NO_FATAL_FAILURE(MakeSentinel(Path(L"outside"), &sentinel));
  const std::wstring junction = Path(L"junction-here");
  const std::wstring symlink = Path(L"symlink-here");
  ASSERT_EQ(CreateJunction(junction, sentinel.folder), ERROR_SUCCESS);
  ASSERT_EQ(CreateSymlink(symlink, sentinel.folder,
                          SYMBOLIC_LINK_FLAG_DIRECTORY),
            ERROR_SUCCESS);

  for (const std::wstring& path : {junction, symlink}) {
    SCOPED_TRACE(Narrow(path));
    ASSERT_TRUE(IsLink(path));
    OwnedHandle folder(Secure(path));
    ASSERT_TRUE(folder.valid()) << "error " << ::GetLastError();
    EXPECT_TRUE(IsRealFolder(path));
    EXPECT_FALSE(Exists(path + L"\\slot1.sav"));
    ExpectPrivate(path);
  }
  ExpectSentinelIntact(sentinel);
}

TEST_F(WindowsSecureFolder, ReturnedHandleBlocksRenameAndDeleteOfTheFolder) {
  const std::wstring path = Path(L"pinned");
  const std::wstring moved = Path(L"pinned-moved");
  OwnedHandle folder(Secure(path));
  ASSERT_TRUE(folder.valid()) << "error " << ::GetLastError();

  const BOOL renamed = ::MoveFileExW(path.c_str(), moved.c_str(), 0);
  const DWORD renameError = ::GetLastError();
  const BOOL removed = ::RemoveDirectoryW(path.c_str());
  const DWORD removeError = ::GetLastError();
  EXPECT_FALSE(renamed);
  EXPECT_EQ(renameError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(removed);
  EXPECT_EQ(removeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(IsRealFolder(path));

  // Once the handle is closed the same rename goes through.
  folder.Close();
  EXPECT_TRUE(::MoveFileExW(path.c_str(), moved.c_str(), 0))
      << "error " << ::GetLastError();
}

}  // namespace
