// SecureFolder against the real file system (under Wine in the Linux run):
// the descriptor built on the stack is accepted by CreateDirectoryW, and an
// existing folder is either used or really renamed aside.
#include <gtest/gtest.h>

#include <string>

#include "folder_guard.h"
#include "win32_platform.h"

namespace {

std::wstring NewTestFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  EXPECT_GT(length, 0u);
  std::wstring base = std::wstring(temp) + L"orvelle-folder-test-" +
                      std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(base.c_str(), nullptr);
  return base + L"\\" + name;
}

TEST(Win32SecureFolder, CreatesThenReusesARealFolder) {
  orvelle::Win32Platform platform;
  const std::wstring path = NewTestFolder(L"created");
  // Left by an earlier run that stopped half-way (Wine reuses process ids).
  DeleteFileW((path + L"\\inside.txt").c_str());
  RemoveDirectoryW(path.c_str());
  HANDLE folder = orvelle::SecureFolder(platform, path.c_str());
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_TRUE(CloseHandle(folder));

  // Existing now, with a file inside. Wine reports every existing folder as
  // owned by its own user, so there the folder is set aside with the file and
  // a fresh one made; on Windows this folder passes and is used as it is.
  const std::wstring file = path + L"\\inside.txt";
  HANDLE inside = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(inside, INVALID_HANDLE_VALUE);
  CloseHandle(inside);
  folder = orvelle::SecureFolder(platform, path.c_str());
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(folder));

  const std::wstring parent = path.substr(0, path.rfind(L'\\') + 1);
  int holders = 0;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L".untrusted-*").c_str(), &found);
  for (bool more = find != INVALID_HANDLE_VALUE; more;
       more = FindNextFileW(find, &found) != FALSE) {
    const std::wstring aside = parent + found.cFileName;
    if (DeleteFileW((aside + L"\\inside.txt").c_str())) ++holders;
    RemoveDirectoryW(aside.c_str());
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  if (DeleteFileW(file.c_str())) ++holders;
  EXPECT_EQ(holders, 1);
  EXPECT_TRUE(RemoveDirectoryW(path.c_str()));
}

// A file where the folder belongs is renamed aside with its content (never
// deleted) and a real folder made in its place.
TEST(Win32SecureFolder, SetsAsideAFileWhereTheFolderBelongs) {
  orvelle::Win32Platform platform;
  const std::wstring path = NewTestFolder(L"plain-file");
  const std::wstring parent = path.substr(0, path.rfind(L'\\') + 1);
  // Left by an earlier run that stopped half-way (Wine reuses process ids).
  RemoveDirectoryW(path.c_str());
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L".untrusted-*").c_str(), &found);
  for (bool more = find != INVALID_HANDLE_VALUE; more;
       more = FindNextFileW(find, &found) != FALSE) {
    DeleteFileW((parent + found.cFileName).c_str());
    RemoveDirectoryW((parent + found.cFileName).c_str());
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "planted", 7, &written, nullptr));
  CloseHandle(file);

  HANDLE folder = orvelle::SecureFolder(platform, path.c_str());
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  CloseHandle(folder);
  EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

  // The file, whole, under "<name>.untrusted-<date>-<time>-<16 hex digits>".
  find = FindFirstFileW((path + L".untrusted-*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  const std::wstring name = found.cFileName;
  EXPECT_FALSE(FindNextFileW(find, &found));
  FindClose(find);
  const std::wstring suffix = name.substr(name.find(L".untrusted-") + 11);
  ASSERT_EQ(suffix.size(), 32u);
  EXPECT_EQ(suffix.find_first_not_of(L"0123456789abcdef", 16),
            std::wstring::npos);
  char content[16] = {};
  HANDLE aside = CreateFileW((parent + name).c_str(), GENERIC_READ, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(aside, INVALID_HANDLE_VALUE);
  ReadFile(aside, content, sizeof(content) - 1, &written, nullptr);
  CloseHandle(aside);
  EXPECT_STREQ(content, "planted");
  DeleteFileW((parent + name).c_str());
  RemoveDirectoryW(path.c_str());
}

TEST(Win32SecureFolder, MissingParentIsNotCreated) {
  orvelle::Win32Platform platform;
  const std::wstring path = NewTestFolder(L"no-parent") + L"\\child";
  EXPECT_EQ(orvelle::SecureFolder(platform, path.c_str()),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
