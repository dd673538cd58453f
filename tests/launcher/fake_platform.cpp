#include "fake_platform.h"

#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <cstring>

namespace orvelle_test {

std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
          nullptr)) {
    return L"<unconvertible>";
  }
  std::wstring result = text;
  LocalFree(text);
  return result;
}

std::string Narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result += c < 128 ? static_cast<char>(c) : '?';
  return result;
}

FakePlatform::FakePlatform() {
  AddFolder(L"C:", L"");
  AddFolder(L"C:\\ProgramData",
            L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
            L"(A;CI;0x116;;;BU)(A;OICIIO;GA;;;CO)");
  AddFolder(L"C:\\Windows", L"O:S-1-5-80-956008885-3418522649-1831038044-"
                            L"1853292631-2271478464D:(A;OICI;FA;;;SY)");
  AddFolder(L"C:\\Windows\\system32",
            L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-"
            L"2271478464D:(A;OICI;FA;;;SY)");
}

void FakePlatform::AddFolder(const std::wstring& path,
                             const std::wstring& sddl) {
  Node node;
  node.directory = true;
  node.sddl = sddl;
  nodes[path] = node;
}

void FakePlatform::AddFile(const std::wstring& path, const std::string& content,
                           const std::wstring& sddl) {
  Node node;
  node.content = content;
  node.sddl = sddl;
  nodes[path] = node;
}

void FakePlatform::AddLink(const std::wstring& path, bool directory) {
  Node node;
  node.directory = directory;
  node.link = true;
  nodes[path] = node;
}

bool FakePlatform::Exists(const std::wstring& path) const {
  return nodes.count(path) != 0;
}

std::vector<std::wstring> FakePlatform::Children(
    const std::wstring& folder) const {
  std::vector<std::wstring> names;
  const std::wstring prefix = folder + L"\\";
  for (const auto& entry : nodes) {
    const std::wstring& path = entry.first;
    if (path.compare(0, prefix.size(), prefix) == 0 &&
        path.find(L'\\', prefix.size()) == std::wstring::npos) {
      names.push_back(path.substr(prefix.size()));
    }
  }
  return names;
}

void FakePlatform::FailCall(const std::string& name, int call, DWORD error) {
  failures.insert({name, Failure{call, error}});
}

int FakePlatform::IndexOf(const std::string& prefix) const {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].compare(0, prefix.size(), prefix) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int FakePlatform::IndexOfCall(const std::string& call) const {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == call) return static_cast<int>(i);
  }
  return -1;
}

int FakePlatform::LastIndexOf(const std::string& prefix) const {
  for (size_t i = calls.size(); i-- > 0;) {
    if (calls[i].compare(0, prefix.size(), prefix) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool FakePlatform::Enter(const std::string& name,
                         const std::wstring& argument) {
  calls.push_back(argument.empty() ? name : name + " " + Narrow(argument));
  const int count = ++callCounts[name];
  auto range = failures.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.call == 0 || it->second.call == count) {
      lastError_ = it->second.error;
      return true;
    }
  }
  return false;
}

HANDLE FakePlatform::NewHandle(OpenHandle handle) {
  HANDLE value = reinterpret_cast<HANDLE>(nextHandle_);
  nextHandle_ += 4;
  handles_[value] = handle;
  return value;
}

std::wstring FakePlatform::ParentOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? L"" : path.substr(0, slash);
}

bool FakePlatform::DeleteBlockedByOpenHandle(const std::wstring& path) const {
  // As in Windows, a handle takes part in sharing checks only when it holds
  // data access (reading, listing, writing, executing, traversing) or DELETE;
  // one with only READ_CONTROL, WRITE_DAC, WRITE_OWNER or attribute rights
  // blocks nothing.
  constexpr DWORD kSharingAccess = FILE_READ_DATA | FILE_WRITE_DATA |
                                   FILE_APPEND_DATA | FILE_EXECUTE | DELETE |
                                   GENERIC_READ | GENERIC_WRITE |
                                   GENERIC_EXECUTE | GENERIC_ALL;
  for (const auto& entry : handles_) {
    const OpenHandle& open = entry.second;
    if (open.kind == OpenHandle::kObject && open.path == path &&
        (open.access & kSharingAccess) != 0 &&
        (open.share & FILE_SHARE_DELETE) == 0) {
      return true;
    }
  }
  return false;
}

BOOL FakePlatform::SetDefaultDllDirectories(DWORD flags) {
  Enter("SetDefaultDllDirectories", std::to_wstring(flags));
  return TRUE;
}

DWORD FakePlatform::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer,
                                            DWORD size) {
  if (Enter("GetEnvironmentVariableW", name)) return 0;
  if (std::wstring(name) != L"ProgramData" || !programDataSet) {
    lastError_ = ERROR_ENVVAR_NOT_FOUND;
    return 0;
  }
  if (programData.size() + 1 > size) {
    return static_cast<DWORD>(programData.size() + 1);
  }
  std::copy(programData.begin(), programData.end(), buffer);
  buffer[programData.size()] = L'\0';
  return static_cast<DWORD>(programData.size());
}

DWORD FakePlatform::GetCurrentProcessId() {
  Enter("GetCurrentProcessId");
  return processId;
}

DWORD FakePlatform::GetLastError() { return lastError_; }

BOOL FakePlatform::CreateDirectoryW(LPCWSTR path,
                                    SECURITY_ATTRIBUTES* attributes) {
  if (Enter("CreateDirectoryW", path)) return FALSE;
  const std::wstring parent = ParentOf(path);
  if (!Exists(parent) || !nodes[parent].directory || nodes[parent].link) {
    lastError_ = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  if (Exists(path)) {
    lastError_ = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  if (createdOwnedByTokenUser) {
    AddFolder(path, L"O:" + tokenUser + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" +
                        tokenUser + L")");
    return TRUE;
  }
  AddFolder(path, attributes && attributes->lpSecurityDescriptor
                      ? SddlOf(attributes->lpSecurityDescriptor)
                      : L"");
  return TRUE;
}

BOOL FakePlatform::GetFileInformationByHandle(
    HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  auto open = handles_.find(file);
  if (Enter("GetFileInformationByHandle",
            open == handles_.end() ? L"" : open->second.path)) {
    return FALSE;
  }
  if (open == handles_.end() || !Exists(open->second.path)) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const Node& node = nodes[open->second.path];
  *info = {};
  info->dwFileAttributes =
      (node.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
      (node.link ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
  info->nNumberOfLinks = node.linkCount;
  info->nFileSizeLow = static_cast<DWORD>(node.content.size());
  return TRUE;
}

BOOL FakePlatform::GetKernelObjectSecurity(HANDLE object,
                                           SECURITY_INFORMATION requested,
                                           PSECURITY_DESCRIPTOR descriptor,
                                           DWORD length, DWORD* needed) {
  auto open = handles_.find(object);
  if (Enter("GetKernelObjectSecurity",
            open == handles_.end() ? L"" : open->second.path)) {
    return FALSE;
  }
  if (open == handles_.end() || (open->second.access & READ_CONTROL) == 0) {
    lastError_ = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  PSECURITY_DESCRIPTOR converted = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          nodes[open->second.path].sddl.c_str(), SDDL_REVISION_1, &converted,
          &size)) {
    lastError_ = ERROR_INVALID_SECURITY_DESCR;
    return FALSE;
  }
  (void)requested;
  *needed = size;
  BOOL ok = FALSE;
  if (size <= length) {
    std::memcpy(descriptor, converted, size);
    ok = TRUE;
  } else {
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
  }
  LocalFree(converted);
  return ok;
}

BOOL FakePlatform::MoveFileExW(LPCWSTR existing, LPCWSTR target) {
  if (Enter("MoveFileExW", std::wstring(existing) + L" -> " + target)) {
    return FALSE;
  }
  const std::wstring from = existing;
  const std::wstring to = target;
  if (!Exists(from)) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  if (Exists(to)) {
    lastError_ = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  if (ParentOf(from) != ParentOf(to)) {
    lastError_ = ERROR_NOT_SAME_DEVICE;  // Never needed by the launcher.
    return FALSE;
  }
  if (DeleteBlockedByOpenHandle(from)) {
    lastError_ = ERROR_SHARING_VIOLATION;
    return FALSE;
  }
  // The object moves with everything in it; open handles follow it.
  const std::wstring prefix = from + L"\\";
  std::map<std::wstring, Node> moved;
  for (auto it = nodes.begin(); it != nodes.end();) {
    if (it->first == from || it->first.compare(0, prefix.size(), prefix) == 0) {
      moved[to + it->first.substr(from.size())] = it->second;
      it = nodes.erase(it);
    } else {
      ++it;
    }
  }
  nodes.insert(moved.begin(), moved.end());
  if (afterMove) afterMove(from);
  for (auto& entry : handles_) {
    std::wstring& path = entry.second.path;
    if (path == from || path.compare(0, prefix.size(), prefix) == 0) {
      path = to + path.substr(from.size());
    }
  }
  return TRUE;
}

void FakePlatform::GetLocalTime(SYSTEMTIME* time) {
  Enter("GetLocalTime");
  *time = localTime;
}

BOOLEAN FakePlatform::SystemFunction036(PVOID buffer, ULONG length) {
  if (Enter("SystemFunction036", std::to_wstring(length))) return FALSE;
  unsigned long long value =
      randomBase + static_cast<unsigned>(callCounts["SystemFunction036"] - 1);
  BYTE* bytes = static_cast<BYTE*>(buffer);
  for (ULONG i = length; i-- > 0; value >>= 8) {
    bytes[i] = static_cast<BYTE>(value & 0xFF);
  }
  return TRUE;
}

BOOL FakePlatform::GetTokenInformation(TOKEN_INFORMATION_CLASS type,
                                       LPVOID information, DWORD length,
                                       DWORD* needed) {
  if (Enter("GetTokenInformation")) return FALSE;
  PSID sid = nullptr;
  if (type != TokenUser || !ConvertStringSidToSidW(tokenUser.c_str(), &sid)) {
    lastError_ = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const DWORD sidSize = ::GetLengthSid(sid);
  *needed = sizeof(TOKEN_USER) + sidSize;
  BOOL ok = FALSE;
  if (*needed <= length) {
    TOKEN_USER* user = static_cast<TOKEN_USER*>(information);
    PSID copy = reinterpret_cast<BYTE*>(information) + sizeof(TOKEN_USER);
    std::memcpy(copy, sid, sidSize);
    user->User.Sid = copy;
    user->User.Attributes = 0;
    ok = TRUE;
  } else {
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
  }
  LocalFree(sid);
  return ok;
}

namespace {

bool SameName(const std::wstring& entry, const std::wstring& name) {
  if (entry.size() <= name.size() || entry[name.size()] != L'=') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (towupper(entry[i]) != towupper(name[i])) return false;
  }
  return true;
}

}  // namespace

bool FakePlatform::HasVariable(const std::wstring& name) const {
  for (const std::wstring& entry : environment) {
    if (SameName(entry, name)) return true;
  }
  return false;
}

LPWCH FakePlatform::GetEnvironmentStringsW() {
  if (Enter("GetEnvironmentStringsW")) return nullptr;
  std::vector<wchar_t> block;
  for (const std::wstring& entry : environment) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  LPWCH pointer = block.data();
  environmentBlocks_[pointer] = std::move(block);
  return pointer;
}

BOOL FakePlatform::FreeEnvironmentStringsW(LPWCH block) {
  Enter("FreeEnvironmentStringsW");
  return environmentBlocks_.erase(block) != 0;
}

BOOL FakePlatform::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (Enter("SetEnvironmentVariableW",
            std::wstring(name) + (value ? L"=" + std::wstring(value) : L""))) {
    return FALSE;
  }
  const auto before = environment.size();
  for (auto it = environment.begin(); it != environment.end();) {
    it = SameName(*it, name) ? environment.erase(it) : it + 1;
  }
  if (value != nullptr) {
    environment.push_back(std::wstring(name) + L"=" + value);
    return TRUE;
  }
  if (environment.size() == before) {
    lastError_ = ERROR_ENVVAR_NOT_FOUND;
    return FALSE;
  }
  return TRUE;
}

HRSRC FakePlatform::FindResourceW(HMODULE, LPCWSTR name, LPCWSTR type) {
  if (Enter("FindResourceW")) return nullptr;
  if (!resourcePresent || name != MAKEINTRESOURCEW(101) ||
      type != RT_RCDATA) {
    lastError_ = ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
  }
  return reinterpret_cast<HRSRC>(0x5101);
}

HGLOBAL FakePlatform::LoadResource(HMODULE, HRSRC resourceHandle) {
  Enter("LoadResource");
  if (loadFails || resourceHandle != reinterpret_cast<HRSRC>(0x5101)) {
    return nullptr;
  }
  return reinterpret_cast<HGLOBAL>(0x6101);
}

DWORD FakePlatform::SizeofResource(HMODULE, HRSRC resourceHandle) {
  Enter("SizeofResource");
  if (resourceHandle != reinterpret_cast<HRSRC>(0x5101)) return 0;
  return static_cast<DWORD>(resource.size());
}

LPVOID FakePlatform::LockResource(HGLOBAL loaded) {
  Enter("LockResource");
  if (lockFails || loaded != reinterpret_cast<HGLOBAL>(0x6101)) {
    return nullptr;
  }
  return &resource[0];
}

HANDLE FakePlatform::CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                 DWORD disposition, DWORD flags) {
  const std::string name =
      disposition == OPEN_EXISTING ? "CreateFileW(open)" : "CreateFileW(new)";
  opens.push_back({path, access, share, disposition, flags});
  if (Enter(name, path)) return INVALID_HANDLE_VALUE;
  const std::wstring parent = ParentOf(path);
  OpenHandle open;
  open.path = path;
  open.access = access;
  open.share = share;
  open.flags = flags;
  if (disposition == OPEN_EXISTING) {
    if (!Exists(path)) {
      lastError_ = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    if (nodes[path].link && (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) {
      calls.push_back("FOLLOWED-LINK " + Narrow(path));
    }
    if (nodes[path].directory && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
      lastError_ = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    return NewHandle(open);
  }
  if (disposition != CREATE_NEW) {
    lastError_ = ERROR_INVALID_PARAMETER;  // The launcher never overwrites.
    return INVALID_HANDLE_VALUE;
  }
  if (!Exists(parent) || !nodes[parent].directory) {
    lastError_ = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (Exists(path)) {
    lastError_ = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
  }
  AddFile(path, "");
  return NewHandle(open);
}

BOOL FakePlatform::WriteFile(HANDLE file, const void* data, DWORD size,
                             DWORD* written) {
  const int call = ++writeCalls_;
  auto open = handles_.find(file);
  Enter("WriteFile", std::to_wstring(size));
  *written = 0;
  if (call == failWriteCall) {
    lastError_ = ERROR_DISK_FULL;
    return FALSE;
  }
  if (call == zeroWriteCall) return TRUE;
  if (open == handles_.end() || (open->second.access & GENERIC_WRITE) == 0 ||
      !Exists(open->second.path)) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const DWORD count = std::min(size, writeChunk);
  nodes[open->second.path].content.append(static_cast<const char*>(data),
                                          count);
  *written = count;
  return TRUE;
}

BOOL FakePlatform::FlushFileBuffers(HANDLE file) {
  Enter("FlushFileBuffers");
  return handles_.count(file) != 0;
}

BOOL FakePlatform::CloseHandle(HANDLE object) {
  auto open = handles_.find(object);
  Enter("CloseHandle", open == handles_.end() ? L"<invalid>"
                                              : open->second.path);
  if (open == handles_.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  handles_.erase(open);
  return TRUE;
}

BOOL FakePlatform::DeleteFileW(LPCWSTR path) {
  if (Enter("DeleteFileW", path)) return FALSE;
  auto node = nodes.find(path);
  if (node == nodes.end()) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  if (node->second.directory) {
    lastError_ = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  for (const auto& entry : handles_) {
    if (entry.second.path == path) {
      lastError_ = ERROR_SHARING_VIOLATION;
      return FALSE;
    }
  }
  nodes.erase(node);
  return TRUE;
}

BOOL FakePlatform::RemoveDirectoryW(LPCWSTR path) {
  if (Enter("RemoveDirectoryW", path)) return FALSE;
  auto node = nodes.find(path);
  if (node == nodes.end() || !node->second.directory) {
    lastError_ = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  if (!node->second.link && !Children(path).empty()) {
    lastError_ = ERROR_DIR_NOT_EMPTY;
    return FALSE;
  }
  if (DeleteBlockedByOpenHandle(path)) {
    lastError_ = ERROR_SHARING_VIOLATION;
    return FALSE;
  }
  nodes.erase(node);
  return TRUE;
}

UINT FakePlatform::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (Enter("GetSystemDirectoryW")) return 0;
  if (systemDirectoryResult != 0) return systemDirectoryResult;
  if (systemDirectory.size() + 1 > size) {
    return static_cast<UINT>(systemDirectory.size() + 1);
  }
  std::copy(systemDirectory.begin(), systemDirectory.end(), buffer);
  buffer[systemDirectory.size()] = L'\0';
  return static_cast<UINT>(systemDirectory.size());
}

// As Windows does: a path that does not fit is cut to size - 1 characters
// and the call returns size. A failing call leaves the path in the buffer
// too, and returns 0: only the result tells.
DWORD FakePlatform::GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  const bool fails = Enter("GetModuleFileNameW");
  if (size == 0) {
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  const size_t copied = std::min<size_t>(modulePath.size(), size - 1);
  std::copy(modulePath.begin(), modulePath.begin() + copied, buffer);
  buffer[copied] = L'\0';
  if (fails) return 0;
  if (copied < modulePath.size()) {
    lastError_ = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  return static_cast<DWORD>(copied);
}

BOOL FakePlatform::CreateProcessW(LPCWSTR application, LPWSTR commandLine,
                                  DWORD creationFlags,
                                  LPCWSTR currentDirectory,
                                  STARTUPINFOW* startup,
                                  PROCESS_INFORMATION* process) {
  Enter("CreateProcessW", application ? application : L"");
  ProcessStart start;
  start.application = application ? application : L"";
  start.commandLine = commandLine ? commandLine : L"";
  start.flags = creationFlags;
  start.currentDirectory = currentDirectory ? currentDirectory : L"";
  start.startupSize = startup ? startup->cb : 0;
  if (startup) {
    STARTUPINFOW zero = {};
    zero.cb = startup->cb;
    start.startupOtherwiseZero =
        std::memcmp(&zero, startup, sizeof(zero)) == 0;
  }
  // The script the child would read, as it is at this moment.
  const std::wstring marker = L"-File \"";
  const size_t at = start.commandLine.find(marker);
  if (at != std::wstring::npos) {
    std::wstring script = start.commandLine.substr(at + marker.size());
    script = script.substr(0, script.find(L'"'));
    auto node = nodes.find(script);
    start.scriptPresent = node != nodes.end();
    if (start.scriptPresent) start.scriptAtStart = node->second.content;
  }
  start.environment = environment;
  starts.push_back(start);
  if (processStartFails) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  OpenHandle child;
  child.kind = OpenHandle::kProcess;
  child.path = L"<process>";
  process->hProcess = NewHandle(child);
  child.kind = OpenHandle::kThread;
  child.path = L"<thread>";
  process->hThread = NewHandle(child);
  process->dwProcessId = 777;
  process->dwThreadId = 778;
  return TRUE;
}

DWORD FakePlatform::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  Enter("WaitForSingleObject", milliseconds == INFINITE
                                   ? L"INFINITE"
                                   : std::to_wstring(milliseconds));
  auto open = handles_.find(object);
  if (open == handles_.end() || open->second.kind != OpenHandle::kProcess) {
    return WAIT_FAILED;
  }
  return WAIT_OBJECT_0;
}

BOOL FakePlatform::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  Enter("GetExitCodeProcess");
  auto open = handles_.find(process);
  if (exitCodeFails || open == handles_.end() ||
      open->second.kind != OpenHandle::kProcess) {
    return FALSE;
  }
  *exitCode = childExitCode;
  return TRUE;
}

BOOL FakePlatform::ProcessIdToSessionId(DWORD id, DWORD* session) {
  Enter("ProcessIdToSessionId", std::to_wstring(id));
  if (sessionLookupFails || id != processId) return FALSE;
  *session = sessionId;
  return TRUE;
}

// The station's handle is a constant the fake recognises; it is not closed.
HWINSTA FakePlatform::GetProcessWindowStation() {
  Enter("GetProcessWindowStation");
  return noStation ? nullptr : reinterpret_cast<HWINSTA>(0x5151);
}

BOOL FakePlatform::GetUserObjectInformationW(HANDLE object, int index,
                                             PVOID information, DWORD length,
                                             DWORD* needed) {
  Enter("GetUserObjectInformationW");
  if (object != reinterpret_cast<HANDLE>(0x5151) || index != UOI_FLAGS ||
      length < sizeof(USEROBJECTFLAGS)) {
    return FALSE;
  }
  USEROBJECTFLAGS flags = {};
  flags.dwFlags = stationVisible ? WSF_VISIBLE : 0;
  std::memcpy(information, &flags, sizeof(flags));
  *needed = sizeof(flags);
  return TRUE;
}

int FakePlatform::MessageBoxW(LPCWSTR text, LPCWSTR caption, UINT style) {
  Enter("MessageBoxW");
  messages.push_back({text ? text : L"<null>", caption ? caption : L"<null>",
                      style});
  return IDOK;
}

}  // namespace orvelle_test
