// A stand-in for Windows PowerShell used by the launcher's black-box tests.
//
// Installed as <system dir>\WindowsPowerShell\v1.0\powershell.exe in a test
// Wine prefix. It records what the launcher handed it, then exits with the
// code the test chose:
//   ORVELLE_STANDIN_RECORD  folder that receives, per run (N = own process id):
//                           N.cmdline  the command line, UTF-16LE
//                           N.cwd      the current directory, UTF-16LE
//                           N.script   the bytes of the file after -File
//                           N.argv     the arguments as CommandLineToArgvW
//                                      splits the command line, each followed
//                                      by a null, UTF-16LE
//                           N.done     written last, empty
//   ORVELLE_STANDIN_EXIT    exit code, decimal (default 0)
//   ORVELLE_STANDIN_HOLD    if set, wait until <record>\release-<script name>
//                           exists before exiting
//   ORVELLE_STANDIN_RENAME  "FROM|TO": try MoveFileExW(FROM, TO, 0) while
//                           running; N.rename gets "ok" or "error <code>"
// It also writes N.env, its environment block (NAME=VALUE, one per line,
// UTF-16LE), before N.done.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static void WriteBytes(const wchar_t* path, const void* data, DWORD size) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, data, size, &written, nullptr);
  CloseHandle(file);
}

int wmain() {
  wchar_t record[1024];
  if (!GetEnvironmentVariableW(L"ORVELLE_STANDIN_RECORD", record, 1024)) {
    return 97;
  }
  wchar_t exitText[32] = L"0";
  GetEnvironmentVariableW(L"ORVELLE_STANDIN_EXIT", exitText, 32);
  const DWORD pid = GetCurrentProcessId();
  wchar_t path[2048];

  const wchar_t* commandLine = GetCommandLineW();
  swprintf(path, 2048, L"%ls\\%lu.cmdline", record, pid);
  WriteBytes(path, commandLine, (DWORD)(wcslen(commandLine) * sizeof(wchar_t)));

  wchar_t cwd[1024];
  DWORD cwdLength = GetCurrentDirectoryW(1024, cwd);
  swprintf(path, 2048, L"%ls\\%lu.cwd", record, pid);
  WriteBytes(path, cwd, cwdLength * sizeof(wchar_t));

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
  static wchar_t split[64 * 1024];
  size_t splitUsed = 0;
  for (int i = 0; argv && i < argc; ++i) {
    const size_t length = wcslen(argv[i]);
    if (splitUsed + length + 1 > sizeof(split) / sizeof(split[0])) break;
    wmemcpy(split + splitUsed, argv[i], length + 1);
    splitUsed += length + 1;
  }
  swprintf(path, 2048, L"%ls\\%lu.argv", record, pid);
  WriteBytes(path, split, (DWORD)(splitUsed * sizeof(wchar_t)));

  const wchar_t* script = nullptr;
  for (int i = 1; argv && i + 1 < argc; ++i) {
    if (wcscmp(argv[i], L"-File") == 0) script = argv[i + 1];
  }
  if (script) {
    HANDLE file = CreateFileW(script, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    static char bytes[16 * 1024 * 1024];
    DWORD size = 0;
    if (file != INVALID_HANDLE_VALUE) {
      ReadFile(file, bytes, sizeof(bytes), &size, nullptr);
      CloseHandle(file);
      swprintf(path, 2048, L"%ls\\%lu.script", record, pid);
      WriteBytes(path, bytes, size);
    }
  }
  wchar_t* environment = GetEnvironmentStringsW();
  if (environment) {
    static wchar_t lines[64 * 1024];
    size_t used = 0;
    for (const wchar_t* entry = environment; *entry; entry += wcslen(entry) + 1) {
      const size_t length = wcslen(entry);
      if (used + length + 1 >= sizeof(lines) / sizeof(lines[0])) break;
      wmemcpy(lines + used, entry, length);
      used += length;
      lines[used++] = L'\n';
    }
    FreeEnvironmentStringsW(environment);
    swprintf(path, 2048, L"%ls\\%lu.env", record, pid);
    WriteBytes(path, lines, (DWORD)(used * sizeof(wchar_t)));
  }

  static wchar_t rename[2048];
  if (GetEnvironmentVariableW(L"ORVELLE_STANDIN_RENAME", rename, 2048)) {
    wchar_t* bar = wcschr(rename, L'|');
    char result[64] = "error bad-argument";
    if (bar) {
      *bar = L'\0';
      if (MoveFileExW(rename, bar + 1, 0)) {
        snprintf(result, sizeof(result), "ok");
      } else {
        snprintf(result, sizeof(result), "error %lu", GetLastError());
      }
    }
    swprintf(path, 2048, L"%ls\\%lu.rename", record, pid);
    WriteBytes(path, result, (DWORD)strlen(result));
  }

  swprintf(path, 2048, L"%ls\\%lu.done", record, pid);
  WriteBytes(path, "", 0);

  wchar_t hold[8];
  if (script && GetEnvironmentVariableW(L"ORVELLE_STANDIN_HOLD", hold, 8)) {
    const wchar_t* name = wcsrchr(script, L'\\');
    name = name ? name + 1 : script;
    swprintf(path, 2048, L"%ls\\release-%ls", record, name);
    for (int i = 0; i < 1200 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; ++i) {
      Sleep(50);
    }
  }
  return (int)wcstoul(exitText, nullptr, 10);
}
