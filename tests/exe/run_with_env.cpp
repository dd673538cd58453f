// Runs a program with changed environment variables, waits for it and prints
// its exit code (all 32 bits, decimal) on standard output. Wine takes some
// variables, ProgramData among them, from its registry rather than from the
// Unix environment, and reports exit codes to Unix only modulo 256.
//
// Usage: run_with_env.exe [NAME=VALUE | -NAME]... -- PROGRAM [ARGS...]
//   NAME=VALUE sets a variable (an empty value sets it to ""), -NAME removes it.
// Each of ARGS reaches PROGRAM as one argument, as it is: quoted so that
// CommandLineToArgvW gives it back (backslashes before a quote, or before the
// closing quote, are doubled; a quote is escaped).
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static wchar_t commandLine[32768];
static size_t used = 0;

static void Append(wchar_t c, size_t count) {
  for (; count != 0 && used + 1 < sizeof(commandLine) / sizeof(wchar_t);
       --count) {
    commandLine[used++] = c;
  }
  commandLine[used] = L'\0';
}

static void AppendQuoted(const wchar_t* argument) {
  Append(L'"', 1);
  for (const wchar_t* c = argument;; ++c) {
    size_t backslashes = 0;
    for (; *c == L'\\'; ++c) ++backslashes;
    if (*c == L'\0') {
      Append(L'\\', 2 * backslashes);
      break;
    }
    if (*c == L'"') {
      Append(L'\\', 2 * backslashes + 1);
    } else {
      Append(L'\\', backslashes);
    }
    Append(*c, 1);
  }
  Append(L'"', 1);
}

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
  for (int j = i + 1; j < argc; ++j) {
    if (j > i + 1) Append(L' ', 1);
    AppendQuoted(argv[j]);
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
