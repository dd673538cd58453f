// An in-memory stand-in for the operating system, for driving the launcher
// and the folder rules in tests: a small tree of folders, files and links with
// security descriptors kept as SDDL text, open handles, a script resource, a
// PowerShell process, and a log of every call in order.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace orvelle_test {

// Owner Administrators, protected DACL: SYSTEM and Administrators full
// control, Users read and execute; inherited by files and folders.
constexpr const wchar_t* kPrivateFolderSddl =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// What a folder that a standard user made below ProgramData looks like:
// owned by the user, Users may add files and folders.
constexpr const wchar_t* kUserOwnedFolderSddl =
    L"O:S-1-5-21-1111-2222-3333-1001D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"
    L"(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)"
    L"(A;OICIIOID;GA;;;CO)(A;OICIID;FA;;;S-1-5-21-1111-2222-3333-1001)";
constexpr const wchar_t* kUserOwnedFileSddl =
    L"O:S-1-5-21-1111-2222-3333-1001D:(A;ID;FA;;;S-1-5-21-1111-2222-3333-1001)"
    L"(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)";

std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor);
std::string Narrow(const std::wstring& text);

class FakePlatform final : public orvelle::Platform {
 public:
  struct Node {
    bool directory = false;
    bool link = false;  // a junction or symbolic link: the entry itself
    std::wstring sddl;
    std::string content;
    DWORD linkCount = 1;
  };
  struct ShownMessage {
    std::wstring text;
    std::wstring caption;
    UINT style;
  };
  struct ProcessStart {
    std::wstring application;
    std::wstring commandLine;
    DWORD flags = 0;
    std::wstring currentDirectory;
    DWORD startupSize = 0;
    bool startupOtherwiseZero = false;
    bool scriptPresent = false;
    std::string scriptAtStart;
    std::vector<std::wstring> environment;  // "NAME=VALUE", at the start
  };

  FakePlatform();

  // File system.
  std::map<std::wstring, Node> nodes;
  void AddFolder(const std::wstring& path, const std::wstring& sddl);
  void AddFile(const std::wstring& path, const std::string& content,
               const std::wstring& sddl = L"");
  void AddLink(const std::wstring& path, bool directory);
  bool Exists(const std::wstring& path) const;
  std::vector<std::wstring> Children(const std::wstring& folder) const;

  // Environment and system.
  bool programDataSet = true;
  std::wstring programData = L"C:\\ProgramData";
  std::wstring systemDirectory = L"C:\\Windows\\system32";
  UINT systemDirectoryResult = 0;  // when non-zero, returned as is
  // What GetModuleFileNameW gives for the launcher's module (make the call
  // fail with FailCall).
  std::wstring modulePath =
      L"C:\\Users\\player\\Downloads\\ORVELLE-Game-Support-Setup.exe";
  DWORD processId = 4242;
  SYSTEMTIME localTime = {2026, 12, 2, 8, 14, 30, 0, 0};
  // The launcher's own environment, "NAME=VALUE" in order (names compared
  // without regard to case, as Windows does).
  std::vector<std::wstring> environment = {
      L"=C:=C:\\Users\\player\\Downloads", L"Path=C:\\Windows\\system32",
      L"TEMP=C:\\Users\\player\\AppData\\Local\\Temp"};
  bool HasVariable(const std::wstring& name) const;
  // Called after each successful MoveFileExW with the old path.
  std::function<void(const std::wstring&)> afterMove;
  // The user the launcher runs as. With createdOwnedByTokenUser, folders are
  // created as Wine creates them: the requested security is ignored, the
  // folder is owned by that user, who gets full control besides SYSTEM.
  std::wstring tokenUser = L"S-1-5-21-1111-2222-3333-500";
  bool createdOwnedByTokenUser = false;
  // SystemFunction036 call n (1-based) yields the eight bytes of
  // randomBase + n - 1, most significant first, so names built from them
  // read "0123456789abcdef", "0123456789abcdf0", ...
  unsigned long long randomBase = 0x0123456789abcdefULL;

  // Resource 101.
  bool resourcePresent = true;
  bool loadFails = false;
  bool lockFails = false;
  std::string resource = "\xEF\xBB\xBF# setup script\n";

  // Writing: each WriteFile call writes at most writeChunk bytes; the call
  // with number failWriteCall (1-based) fails, zeroWriteCall reports 0 bytes.
  DWORD writeChunk = 0xFFFFFFFF;
  int failWriteCall = 0;
  int zeroWriteCall = 0;

  // Where the process runs: its session (when the lookup works) and whether
  // its window station is visible (or there is none).
  DWORD sessionId = 1;
  bool sessionLookupFails = false;
  bool stationVisible = true;
  bool noStation = false;

  // PowerShell.
  bool processStartFails = false;
  bool exitCodeFails = false;
  DWORD childExitCode = 0;
  std::vector<ProcessStart> starts;

  // Calls that fail: name -> (1-based call number of that name, or 0 for
  // every call; error code left for GetLastError).
  struct Failure {
    int call;
    DWORD error;
  };
  std::multimap<std::string, Failure> failures;
  void FailCall(const std::string& name, int call, DWORD error);

  // Observations.
  struct FileOpen {
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
  };
  std::vector<FileOpen> opens;  // every CreateFileW call
  std::vector<std::string> calls;  // "Name argument"
  std::vector<ShownMessage> messages;
  std::map<std::string, int> callCounts;
  size_t OpenHandleCount() const { return handles_.size(); }
  // Index in calls of the first entry starting with prefix, or -1.
  int IndexOf(const std::string& prefix) const;
  int LastIndexOf(const std::string& prefix) const;
  // Index in calls of the first entry equal to call, or -1.
  int IndexOfCall(const std::string& call) const;

  // Platform.
  ORVELLE_PLATFORM_OVERRIDES

 private:
  struct OpenHandle {
    enum Kind { kObject, kProcess, kThread } kind = kObject;
    std::wstring path;
    DWORD access = 0;
    DWORD share = 0;
    DWORD flags = 0;
  };

  // Logs the call; returns true when a configured failure applies (and sets
  // the last error).
  bool Enter(const std::string& name, const std::wstring& argument = L"");
  HANDLE NewHandle(OpenHandle handle);
  static std::wstring ParentOf(const std::wstring& path);
  bool DeleteBlockedByOpenHandle(const std::wstring& path) const;

  std::map<HANDLE, OpenHandle> handles_;
  uintptr_t nextHandle_ = 0x1000;
  DWORD lastError_ = ERROR_SUCCESS;
  int writeCalls_ = 0;
  std::map<LPWCH, std::vector<wchar_t>> environmentBlocks_;
};

}  // namespace orvelle_test
