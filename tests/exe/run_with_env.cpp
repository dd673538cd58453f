// Runs a program with changed environment variables, waits for it and prints
// its exit code (all 32 bits, decimal) on standard output. Wine takes some
// variables, ProgramData among them, from its registry rather than from the
// Unix environment, and reports exit codes to Unix only modulo 256.
//
// Usage: run_with_env.exe [NAME=VALUE | -NAME]... -- PROGRAM [ARGS...]
//   NAME=VALUE sets a variable (an empty value sets it to ""), -NAME removes it.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  int i = 1;
  for (; i < argc && wcscmp(argv[i], L"--") != 0; ++i) {
    wchar_t* arg = argv[i];
    if (arg[0] == L'-') {
      SetEnvironmentVariableW(arg + 1, nullptr);
      continue;
    }
    wchar_t* equals = wcschr(arg, L'=');
    if (!equals) return 90;
    *equals = L'\0';
    SetEnvironmentVariableW(arg, equals + 1);
  }
  if (i + 1 >= argc) return 91;
  static wchar_t commandLine[32768];
  commandLine[0] = L'\0';
  for (int j = i + 1; j < argc; ++j) {
    if (j > i + 1) wcscat(commandLine, L" ");
    wcscat(commandLine, L"\"");
    wcscat(commandLine, argv[j]);
    wcscat(commandLine, L"\"");
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[i + 1], commandLine, nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &process)) {
    printf("start-failed %lu\n", GetLastError());
    return 92;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  printf("exit-code %lu\n", code);
  fflush(stdout);
  return 0;
}
