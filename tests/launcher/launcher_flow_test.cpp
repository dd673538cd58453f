// The launcher flow driven through the fake platform: call order, the
// failures with their messages and clean-up, exit code pass-through, the
// write loop and the fresh script file, the launcher's arguments and the
// script's command line.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"
#include "fake_platform.h"
#include "launcher.h"
#include "launcher_flow.h"
#include "launcher_result.h"

namespace orvelle_test {
namespace {

using orvelle::LauncherBufferSizes;

// The paths of a run on the fake machine (its ProgramData, system folder and
// process id 4242), made from the launcher's own folder and file names.
// Literals, so that the buffer sizes below can be derived from them.
#define FAKE_PROGRAM_DATA L"C:\\ProgramData"
#define FAKE_VENDOR FAKE_PROGRAM_DATA L"\\" ORVELLE_VENDOR_FOLDER_NAME
#define FAKE_PRODUCT FAKE_VENDOR L"\\" ORVELLE_PRODUCT_FOLDER_NAME
#define FAKE_BOOTSTRAP FAKE_PRODUCT L"\\" ORVELLE_BOOTSTRAP_FOLDER_NAME
#define FAKE_SCRIPT FAKE_BOOTSTRAP L"\\" ORVELLE_SCRIPT_FILE_PREFIX L"4242.ps1"
#define FAKE_POWERSHELL \
  L"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"

const std::wstring kProgramData = FAKE_PROGRAM_DATA;
const std::wstring kVendor = FAKE_VENDOR;
const std::wstring kProduct = FAKE_PRODUCT;
const std::wstring kBootstrap = FAKE_BOOTSTRAP;
const std::wstring kScript = FAKE_SCRIPT;
const std::wstring kPowerShell = FAKE_POWERSHELL;

// Characters of a path literal without its terminating null.
#define LENGTH_OF(path) (sizeof(path) / sizeof(wchar_t) - 1)

const HMODULE kModule = reinterpret_cast<HMODULE>(0x140000000ULL);

int RunLauncherOn(FakePlatform& platform, const wchar_t* arguments = L"") {
  return orvelle::RunLauncher(platform, kModule, arguments);
}

// Buffers one character too small for the text they must hold (its null
// does not fit), to reach the failures that guard each formatting step.
struct TinyBootstrapPath : LauncherBufferSizes {
  static constexpr size_t kBootstrapPath = LENGTH_OF(FAKE_BOOTSTRAP);
};
struct TinyScriptPath : LauncherBufferSizes {
  static constexpr size_t kScriptPath = LENGTH_OF(FAKE_SCRIPT);
};
struct TinyPowerShellPath : LauncherBufferSizes {
  static constexpr size_t kPowerShellPath = LENGTH_OF(FAKE_POWERSHELL);
};
// Room for both paths and a null, not for the quotes and options around them.
struct TinyCommandLine : LauncherBufferSizes {
  static constexpr size_t kCommandLine =
      LENGTH_OF(FAKE_POWERSHELL) + LENGTH_OF(FAKE_SCRIPT) + 1;
};

// Compares a trace of calls with the expected one, call by call: a failure
// names the first call that differs and the one before it, or the first call
// missing or left over.
::testing::AssertionResult SameCalls(const std::vector<std::string>& actual,
                                     const std::vector<std::string>& expected) {
  const size_t common = std::min(actual.size(), expected.size());
  for (size_t i = 0; i < common; ++i) {
    if (actual[i] != expected[i]) {
      return ::testing::AssertionFailure()
             << "call " << i + 1 << " is \"" << actual[i] << "\", expected \""
             << expected[i] << "\""
             << (i == 0 ? std::string(" (the first call)")
                        : " (after \"" + actual[i - 1] + "\")");
    }
  }
  if (actual.size() < expected.size()) {
    return ::testing::AssertionFailure()
           << "the calls stop after " << actual.size() << "; call "
           << common + 1 << " should be \"" << expected[common] << "\"";
  }
  if (actual.size() > expected.size()) {
    return ::testing::AssertionFailure()
           << "call " << common + 1 << " \"" << actual[common]
           << "\" comes after the last expected call";
  }
  return ::testing::AssertionSuccess();
}

std::set<std::wstring> Paths(const FakePlatform& platform) {
  std::set<std::wstring> paths;
  for (const auto& entry : platform.nodes) paths.insert(entry.first);
  return paths;
}

TEST(LauncherFlow, MakesThePlatformCallsInOrderOnAFreshMachine) {
  FakePlatform platform;
  ASSERT_EQ(RunLauncherOn(platform), 0);
  const std::string size = std::to_string(platform.resource.size());
  const std::vector<std::string> expected = {
      "SetDefaultDllDirectories 2048",
      "GetCurrentProcessId",
      "ProcessIdToSessionId 4242",
      "GetProcessWindowStation",
      "GetUserObjectInformationW",
      "GetEnvironmentVariableW ProgramData",
      "CreateDirectoryW " + Narrow(kVendor),
      "CreateFileW(open) " + Narrow(kVendor),
      "GetFileInformationByHandle " + Narrow(kVendor),
      "GetKernelObjectSecurity " + Narrow(kVendor),
      "GetTokenInformation",
      "CreateDirectoryW " + Narrow(kProduct),
      "CreateFileW(open) " + Narrow(kProduct),
      "GetFileInformationByHandle " + Narrow(kProduct),
      "GetKernelObjectSecurity " + Narrow(kProduct),
      "GetTokenInformation",
      "CreateDirectoryW " + Narrow(kBootstrap),
      "CreateFileW(open) " + Narrow(kBootstrap),
      "GetFileInformationByHandle " + Narrow(kBootstrap),
      "GetKernelObjectSecurity " + Narrow(kBootstrap),
      "GetTokenInformation",
      "GetCurrentProcessId",
      "FindResourceW",
      "LoadResource",
      "SizeofResource",
      "LockResource",
      "DeleteFileW " + Narrow(kScript),
      "CreateFileW(new) " + Narrow(kScript),
      "WriteFile " + size,
      "FlushFileBuffers",
      "CloseHandle " + Narrow(kScript),
      "GetSystemDirectoryW",
      "GetModuleFileNameW",
      "SetEnvironmentVariableW COR_ENABLE_PROFILING",
      "SetEnvironmentVariableW COR_PROFILER",
      "SetEnvironmentVariableW COR_PROFILER_PATH",
      "SetEnvironmentVariableW COR_PROFILER_PATH_32",
      "SetEnvironmentVariableW COR_PROFILER_PATH_64",
      "GetEnvironmentStringsW",
      "FreeEnvironmentStringsW",
      "CreateProcessW " + Narrow(kPowerShell),
      "WaitForSingleObject INFINITE",
      "GetExitCodeProcess",
      "CloseHandle <thread>",
      "CloseHandle <process>",
      "CloseHandle " + Narrow(kBootstrap),
      "CloseHandle " + Narrow(kProduct),
      "CloseHandle " + Narrow(kVendor),
      "DeleteFileW " + Narrow(kScript),
      "RemoveDirectoryW " + Narrow(kBootstrap),
  };
  EXPECT_TRUE(SameCalls(platform.calls, expected));
}

TEST(LauncherFlow, FoldersCreatedPrivateAndBootstrapRemovedAfterTheRun) {
  FakePlatform platform;
  ASSERT_EQ(RunLauncherOn(platform), 0);
  EXPECT_EQ(platform.nodes[kVendor].sddl, kPrivateFolderSddl);
  EXPECT_EQ(platform.nodes[kProduct].sddl, kPrivateFolderSddl);
  EXPECT_FALSE(platform.Exists(kBootstrap));
  EXPECT_FALSE(platform.Exists(kScript));
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST(LauncherFlow, StartsPowerShellWithTheScriptInTheBootstrapFolder) {
  FakePlatform platform;
  platform.resource = std::string("\xEF\xBB\xBF", 3) + "Write-Host 'x'\n" +
                      std::string("\0\x01\xFF", 3) + "\n";
  ASSERT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  const FakePlatform::ProcessStart& start = platform.starts[0];
  EXPECT_EQ(start.application, kPowerShell);
  EXPECT_EQ(start.commandLine,
            L"\"" + kPowerShell +
                L"\" -NoLogo -NoProfile -ExecutionPolicy Bypass -File \"" +
                kScript +
                L"\" -LauncherFolder \"C:\\Users\\player\\Downloads\"");
  EXPECT_EQ(start.flags, 0x410u);
  EXPECT_EQ(start.currentDirectory, kBootstrap);
  EXPECT_EQ(start.startupSize, sizeof(STARTUPINFOW));
  EXPECT_TRUE(start.startupOtherwiseZero);
  ASSERT_TRUE(start.scriptPresent);
  EXPECT_EQ(start.scriptAtStart, platform.resource);
}

class ExitCodePassThrough : public ::testing::TestWithParam<DWORD> {};

TEST_P(ExitCodePassThrough, ReturnsPowerShellsCodeWithoutAMessage) {
  FakePlatform platform;
  platform.childExitCode = GetParam();
  EXPECT_EQ(RunLauncherOn(platform), static_cast<int>(GetParam()));
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_FALSE(platform.Exists(kScript));
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitCodePassThrough,
                         ::testing::Values(0u, 1u, 3u, 10u, 15u, 20u, 3010u,
                                           0xC0000005u));

TEST(LauncherFlow, UnreadableExitCodeBecomesOne) {
  FakePlatform platform;
  platform.childExitCode = 0;
  platform.exitCodeFails = true;
  EXPECT_EQ(RunLauncherOn(platform), 1);
  EXPECT_TRUE(platform.messages.empty());
}

// ---------------------------------------------------------------------------
// Every failure: its code, its one message, and what it leaves behind.

enum class Leaves {
  kNothing,         // no folder was created
  kPartialFolders,  // stopped while making the folders
  kBootstrap,       // all folders stay, no script was written
  kBootstrapAfterScript,  // the script was written and deleted again
};

struct FailureCase {
  const char* name;
  int code;
  const wchar_t* message;
  int (*run)(orvelle::Platform&, HMODULE, const wchar_t*);
  void (*arrange)(FakePlatform&);
  Leaves leaves;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

template <class Sizes>
int RunWith(orvelle::Platform& platform, HMODULE module,
            const wchar_t* arguments) {
  return orvelle::RunLauncherWithSizes<Sizes>(platform, module, arguments);
}

// ProgramData values that are not a local drive's folder ("X:\..."), each
// naming a folder that exists, so that only the launcher's own check can
// refuse them.
constexpr wchar_t kDriveRelative[] = L"C:ProgramData";
constexpr wchar_t kRootedWithoutDrive[] = L"\\ProgramData";
constexpr wchar_t kOnAShare[] = L"\\\\server\\share\\ProgramData";
constexpr wchar_t kWin32DevicePath[] = L"\\\\?\\C:\\ProgramData";
constexpr wchar_t kDeviceNamespace[] = L"\\\\.\\C:\\ProgramData";

template <const wchar_t* kValue>
void ProgramDataIs(FakePlatform& platform) {
  platform.programData = kValue;
  platform.AddFolder(kValue, L"");
}

constexpr const wchar_t* kFolderFailed =
    L"Unable to create the temporary setup folder.";

const FailureCase kFailureCases[] = {
    {"ProgramDataUnset", 10, L"Unable to locate the Windows ProgramData folder.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.programDataSet = false; }, Leaves::kNothing},
    {"ProgramData260Chars", 10,
     L"Unable to locate the Windows ProgramData folder.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.programData = L"C:\\" + std::wstring(257, L'p'); },
     Leaves::kNothing},
    {"BootstrapPathTooLong", 11, L"The temporary setup path is too long.",
     RunWith<TinyBootstrapPath>, [](FakePlatform&) {}, Leaves::kNothing},
    {"NoFolderCanBeCreated", 12,
     L"Unable to create the temporary setup folder.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) {
       p.FailCall("CreateDirectoryW", 0, ERROR_ACCESS_DENIED);
     },
     Leaves::kPartialFolders},
    // Game Support is held open and the folder beside it cannot be made
    // either (call 3: the two levels, then the fallback).
    {"BlockedFolderAndNoFolderBesideIt", 12,
     L"Unable to create the temporary setup folder.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) {
       p.AddFolder(kVendor, kPrivateFolderSddl);
       p.AddFolder(kProduct, kUserOwnedFolderSddl);
       p.FailCall("MoveFileExW", 1, ERROR_SHARING_VIOLATION);
       p.FailCall("CreateDirectoryW", 3, ERROR_ACCESS_DENIED);
     },
     Leaves::kPartialFolders},
    {"ProgramDataRelative", 12, L"Unable to create the temporary setup folder.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.programData = L"."; }, Leaves::kNothing},
    {"ProgramDataBareName", 12, L"Unable to create the temporary setup folder.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.programData = L"ProgramData"; },
     Leaves::kNothing},
    {"ProgramDataDriveRelative", 12, kFolderFailed, RunWith<LauncherBufferSizes>,
     ProgramDataIs<kDriveRelative>, Leaves::kNothing},
    {"ProgramDataRootedWithoutDrive", 12, kFolderFailed,
     RunWith<LauncherBufferSizes>, ProgramDataIs<kRootedWithoutDrive>,
     Leaves::kNothing},
    {"ProgramDataOnAShare", 12, kFolderFailed, RunWith<LauncherBufferSizes>,
     ProgramDataIs<kOnAShare>, Leaves::kNothing},
    {"ProgramDataWin32DevicePath", 12, kFolderFailed,
     RunWith<LauncherBufferSizes>, ProgramDataIs<kWin32DevicePath>,
     Leaves::kNothing},
    {"ProgramDataDeviceNamespace", 12, kFolderFailed,
     RunWith<LauncherBufferSizes>, ProgramDataIs<kDeviceNamespace>,
     Leaves::kNothing},
    {"ScriptPathTooLong", 13, L"The temporary script path is too long.",
     RunWith<TinyScriptPath>, [](FakePlatform&) {}, Leaves::kBootstrap},
    {"ResourceMissing", 14, L"The embedded setup resource is missing.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.resourcePresent = false; }, Leaves::kBootstrap},
    {"ResourceNotLoaded", 15, L"Unable to load the embedded setup resource.",
     RunWith<LauncherBufferSizes>, [](FakePlatform& p) { p.loadFails = true; },
     Leaves::kBootstrap},
    {"ResourceEmpty", 15, L"Unable to load the embedded setup resource.",
     RunWith<LauncherBufferSizes>, [](FakePlatform& p) { p.resource.clear(); },
     Leaves::kBootstrap},
    {"ResourceNotLocked", 15, L"Unable to load the embedded setup resource.",
     RunWith<LauncherBufferSizes>, [](FakePlatform& p) { p.lockFails = true; },
     Leaves::kBootstrap},
    {"ScriptNotCreated", 16, L"Unable to prepare the setup script.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) {
       p.FailCall("CreateFileW(new)", 1, ERROR_ACCESS_DENIED);
     },
     Leaves::kBootstrap},
    {"ScriptIncomplete", 17, L"Unable to write the complete setup script.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) {
       p.writeChunk = 5;
       p.failWriteCall = 2;
     },
     Leaves::kBootstrapAfterScript},
    {"SystemDirectoryUnreadable", 18, L"Unable to locate Windows PowerShell.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.FailCall("GetSystemDirectoryW", 1, 5); },
     Leaves::kBootstrapAfterScript},
    {"SystemDirectoryTooLong", 18, L"Unable to locate Windows PowerShell.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.systemDirectoryResult = 300; },
     Leaves::kBootstrapAfterScript},
    {"PowerShellPathTooLong", 18, L"Unable to locate Windows PowerShell.",
     RunWith<TinyPowerShellPath>, [](FakePlatform&) {},
     Leaves::kBootstrapAfterScript},
    {"CommandLineTooLong", 19, L"Unable to prepare the setup command.",
     RunWith<TinyCommandLine>, [](FakePlatform&) {},
     Leaves::kBootstrapAfterScript},
    {"RuntimeSettingsNameTooLong", 20,
     L"Windows PowerShell could not start the setup process.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) {
       p.environment.push_back(L"COMPlus_" + std::wstring(300, L'x') + L"=1");
     },
     Leaves::kBootstrapAfterScript},
    {"PowerShellDoesNotStart", 20,
     L"Windows PowerShell could not start the setup process.",
     RunWith<LauncherBufferSizes>,
     [](FakePlatform& p) { p.processStartFails = true; },
     Leaves::kBootstrapAfterScript},
};

class LauncherFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LauncherFailure, ShowsItsOneMessageAndCleansUpAsSpecified) {
  const FailureCase& c = GetParam();
  FakePlatform platform;
  c.arrange(platform);
  const std::set<std::wstring> before = Paths(platform);

  EXPECT_EQ(c.run(platform, kModule, L""), c.code);

  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].text, c.message);
  EXPECT_EQ(platform.messages[0].caption, L"ORVELLE GAME SUPPORT");
  EXPECT_EQ(platform.messages[0].style, 0x10010u);
  EXPECT_EQ(platform.calls.back(), "MessageBoxW");
  EXPECT_EQ(orvelle::MessageForResult(c.code), std::wstring(c.message));

  // Nothing that was there before is deleted, the bootstrap folder is never
  // removed on a failure, no handle stays open, no script is left.
  for (const std::wstring& path : before) EXPECT_TRUE(platform.Exists(path));
  EXPECT_EQ(platform.IndexOf("RemoveDirectoryW"), -1);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
  EXPECT_FALSE(platform.Exists(kScript));

  switch (c.leaves) {
    case Leaves::kNothing:
      EXPECT_EQ(Paths(platform), before);
      EXPECT_EQ(platform.IndexOf("CreateDirectoryW"), -1);
      break;
    case Leaves::kPartialFolders:
      EXPECT_FALSE(platform.Exists(kBootstrap));
      EXPECT_EQ(platform.IndexOf("CreateFileW(new)"), -1);
      EXPECT_EQ(platform.IndexOf("FindResourceW"), -1);
      break;
    case Leaves::kBootstrap:
      EXPECT_TRUE(platform.Exists(kBootstrap));
      EXPECT_EQ(platform.callCounts["WriteFile"], 0);
      break;
    case Leaves::kBootstrapAfterScript:
      EXPECT_TRUE(platform.Exists(kBootstrap));
      // The script was created, then deleted as the last step before the box.
      EXPECT_NE(platform.IndexOf("CreateFileW(new)"), -1);
      EXPECT_EQ(platform.LastIndexOf("DeleteFileW " + Narrow(kScript)),
                static_cast<int>(platform.calls.size()) - 5);
      break;
  }
  if (c.code != 20) {
    EXPECT_EQ(platform.IndexOf("CreateProcessW"), -1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, LauncherFailure, ::testing::ValuesIn(kFailureCases),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
      return std::to_string(info.param.code) + "_" + info.param.name;
    });

// The same failures where no box may appear: asked for a quiet run, or
// where nobody could answer it. The code and the clean-up stay the same.
struct SilentSetting {
  const char* name;
  const wchar_t* arguments;
  void (*arrange)(FakePlatform&);
};

const SilentSetting kSilentSettings[] = {
    {"Quiet", L"/quiet", [](FakePlatform&) {}},
    {"SessionZero", L"", [](FakePlatform& p) { p.sessionId = 0; }},
    {"InvisibleStation", L"", [](FakePlatform& p) { p.stationVisible = false; }},
};

void PrintTo(const SilentSetting& s, std::ostream* out) { *out << s.name; }

class SilentFailure : public ::testing::TestWithParam<SilentSetting> {};

TEST_P(SilentFailure, EveryFailureReturnsItsCodeWithoutABox) {
  const SilentSetting& setting = GetParam();
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    c.arrange(platform);
    setting.arrange(platform);
    EXPECT_EQ(c.run(platform, kModule, setting.arguments), c.code);
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
    EXPECT_FALSE(platform.Exists(kScript));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SilentFailure, ::testing::ValuesIn(kSilentSettings),
    [](const ::testing::TestParamInfo<SilentSetting>& info) {
      return std::string(info.param.name);
    });

// A desktop that Windows cannot describe keeps its box: only a session or
// station known to be unseen drops it.
TEST(LauncherFailure, BoxStaysWhenWindowsCannotTellWhereItRuns) {
  for (int variant = 0; variant < 2; ++variant) {
    FakePlatform platform;
    platform.resourcePresent = false;
    platform.sessionLookupFails = variant == 0;
    platform.noStation = variant == 1;
    EXPECT_EQ(RunLauncherOn(platform), 14);
    EXPECT_EQ(platform.messages.size(), 1u) << variant;
  }
}

// ---------------------------------------------------------------------------
// The launcher's command line and the script's.

// A command line split as Windows programs split theirs (PowerShell among
// them): by CommandLineToArgvW itself.
std::vector<std::wstring> SplitLikeWindows(const std::wstring& commandLine) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
  std::vector<std::wstring> arguments;
  if (argv == nullptr) return arguments;
  arguments.assign(argv, argv + count);
  LocalFree(argv);
  return arguments;
}

std::string Joined(const std::vector<std::wstring>& arguments) {
  std::string text;
  for (const std::wstring& argument : arguments) {
    text += "[" + Narrow(argument) + "]";
  }
  return text;
}

// The launcher reads its arguments as Windows splits them: every tail gives
// the arguments CommandLineToArgvW gives after a program name.
TEST(LauncherArguments, SplitAsCommandLineToArgvWSplitsThem) {
  const wchar_t* const tails[] = {
      L"",
      L"  \t ",
      L"/layout D:\\Packages /quiet",
      L"\t/layout\tD:\\Packages\t",
      L"\"D:\\Game Packages\" next",
      L"D:\\Game\" \"Packages",
      L"\"D:\\Game Packages\\\\\" next",
      L"\"D:\\Game Packages\\\" -DiagnosticsOnly",
      L"\"D:\\x\\\" -DiagnosticsOnly\" next",
      L"a\\\\\\\"b c\\\\\\\\\"d e\" f",
      L"D:\\a\\\\b\\ E:\\ \\\\server\\share\\\\",
      L"\"\" \"\" x",
      L"\"a\"\"b\" c",
      L"\"a\"\"\"b\" c",
      L"a\"\"b c",
      L"\"\"\"a b\"\"\" c",
      L"\"\"\"\" x \"\"\"\"\" y",
      L"\\\"\\\\\"\\\\\\\" \"x",
      L"\"unterminated \\\\\\",
  };
  for (const wchar_t* tail : tails) {
    std::vector<std::wstring> expected =
        SplitLikeWindows(L"setup.exe " + std::wstring(tail));
    ASSERT_FALSE(expected.empty()) << Narrow(tail);
    expected.erase(expected.begin());
    std::vector<std::wstring> read;
    wchar_t argument[64];
    bool fits = false;
    for (const wchar_t* at = tail;
         orvelle::NextArgument(&at, argument, 64, &fits);) {
      EXPECT_TRUE(fits) << Narrow(tail);
      read.push_back(argument);
    }
    EXPECT_EQ(Joined(read), Joined(expected)) << Narrow(tail);
  }
}

// The whole launcher on a command line: the parameters PowerShell is given
// after the script (split as Windows splits them; the executable's folder
// always ends them here), or, for a folder that cannot be used, code 21 and
// the message naming it, before anything is made or started.
struct ArgumentsCase {
  const char* name;
  std::wstring arguments;
  bool quiet;
  std::vector<std::wstring> parameters;  // when the folders are accepted
  const wchar_t* refused;                // the switch named, or nullptr
  std::wstring named;                    // the folder the message names
};

void PrintTo(const ArgumentsCase& c, std::ostream* out) { *out << c.name; }

const std::wstring kFolder259 = L"D:\\" + std::wstring(256, L'p');
const std::wstring kFolder260 = kFolder259 + L"q";

const ArgumentsCase kArgumentsCases[] = {
    {"None", L"", false, {}},
    {"Quiet", L"/quiet", true, {L"-Unattended"}},
    {"QuietAnyCaseWithNoRestart", L"/norestart -QUIET", true, {L"-Unattended"}},
    {"QuietQuoted", L"\"/Quiet\"", true, {L"-Unattended"}},
    {"NoSwitchOfItsOwn",
     L"/quieter x/quiet --quiet quiet /qu /layoutx D:\\P /sourc D:\\P", false,
     {}},
    {"Layout", L"/layout D:\\Packages", false, {L"-Layout", L"D:\\Packages"}},
    {"LayoutAnyCaseWithDash", L"-LaYoUt D:\\Packages", false,
     {L"-Layout", L"D:\\Packages"}},
    {"LayoutQuotedSwitch", L"\"/layout\" D:\\Packages", false,
     {L"-Layout", L"D:\\Packages"}},
    {"SourceOnAShare", L"/SOURCE \\\\server\\share\\Packages", false,
     {L"-PackageSource", L"\\\\server\\share\\Packages"}},
    {"BothWithQuietLast", L"-source E:\\ /layout D:\\Packages /quiet", true,
     {L"-Unattended", L"-Layout", L"D:\\Packages", L"-PackageSource", L"E:\\"}},
    {"QuietBetweenSwitchAndTabs", L"\t/layout\tD:\\Packages\t/quiet", true,
     {L"-Unattended", L"-Layout", L"D:\\Packages"}},
    {"FolderWithSpacesQuoted", L"/layout \"D:\\Game Packages\"", false,
     {L"-Layout", L"D:\\Game Packages"}},
    {"FolderQuotedInTheMiddle", L"/layout D:\\Game\" \"Packages", false,
     {L"-Layout", L"D:\\Game Packages"}},
    {"TrailingBackslashBeforeTheQuoteDoubled",
     L"/layout \"D:\\Game Packages\\\\\"", false,
     {L"-Layout", L"D:\\Game Packages\\"}},
    {"BackslashesNotBeforeAQuoteAsTheyAre", L"/layout D:\\a\\\\b\\", false,
     {L"-Layout", L"D:\\a\\\\b\\"}},
    {"LastOfTheSameSwitch", L"/layout D:\\First /layout D:\\Second", false,
     {L"-Layout", L"D:\\Second"}},
    {"LongestFolder", L"/layout " + kFolder259, false,
     {L"-Layout", kFolder259}},
    {"Missing", L"/layout", false, {}, L"layout", L""},
    {"MissingAfterQuiet", L"/quiet /source", true, {}, L"source", L""},
    {"QuietTakenAsTheFolder", L"/layout /quiet", true, {}, L"layout",
     L"/quiet"},
    {"EmptyQuoted", L"/source \"\"", false, {}, L"source", L""},
    {"Relative", L"/source Packages", false, {}, L"source", L"Packages"},
    {"DotRelative", L"/layout .\\Packages", false, {}, L"layout",
     L".\\Packages"},
    {"DriveRelative", L"/layout D:Packages", false, {}, L"layout",
     L"D:Packages"},
    {"RootedWithoutDrive", L"/layout \\Packages", false, {}, L"layout",
     L"\\Packages"},
    {"Win32DevicePath", L"/layout \\\\?\\D:\\Packages", false, {}, L"layout",
     L"\\\\?\\D:\\Packages"},
    {"DeviceNamespace", L"/source \\\\.\\D:\\Packages", false, {}, L"source",
     L"\\\\.\\D:\\Packages"},
    {"ServerWithoutShare", L"/source \\\\server\\", false, {}, L"source",
     L"\\\\server\\"},
    {"BackslashBeforeTheClosingQuote", L"/layout \"D:\\Game Packages\\\"",
     false, {}, L"layout", L"D:\\Game Packages\""},
    {"QuoteThatWouldAddAParameter",
     L"/quiet /layout \"D:\\x\\\" -DiagnosticsOnly\"", true, {}, L"layout",
     L"D:\\x\" -DiagnosticsOnly"},
    {"QuoteFromARunOfQuotes", L"/layout \"D:\\a\"\"b\"", false, {}, L"layout",
     L"D:\\a\"b"},
    {"TooLong", L"/layout " + kFolder260, false, {}, L"layout",
     kFolder259 + L"..."},
    {"SecondSwitchRefused", L"/layout D:\\Packages -Source Packages", false,
     {}, L"source", L"Packages"},
    {"FirstRefusalNamed", L"/layout first /source second", false, {},
     L"layout", L"first"},
};

class LauncherArgumentsTable : public ::testing::TestWithParam<ArgumentsCase> {
};

TEST_P(LauncherArgumentsTable, ReachPowerShellOrAreRefusedBeforeAnything) {
  const ArgumentsCase& c = GetParam();
  FakePlatform platform;
  platform.childExitCode = 3010;
  const std::set<std::wstring> before = Paths(platform);
  const int code = RunLauncherOn(platform, c.arguments.c_str());

  if (c.refused == nullptr) {
    ASSERT_EQ(code, 3010);
    ASSERT_EQ(platform.starts.size(), 1u);
    const FakePlatform::ProcessStart& start = platform.starts[0];
    std::vector<std::wstring> expected = {
        kPowerShell, L"-NoLogo", L"-NoProfile", L"-ExecutionPolicy",
        L"Bypass",   L"-File",   kScript};
    expected.insert(expected.end(), c.parameters.begin(), c.parameters.end());
    expected.push_back(L"-LauncherFolder");
    expected.push_back(L"C:\\Users\\player\\Downloads");
    EXPECT_EQ(Joined(SplitLikeWindows(start.commandLine)), Joined(expected));
    // CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, or a new console.
    EXPECT_EQ(start.flags, c.quiet ? 0x08000400u : 0x410u);
    // A quiet run does not ask where it runs: it shows nothing anyway.
    EXPECT_EQ(platform.IndexOf("ProcessIdToSessionId") == -1, c.quiet);
    return;
  }

  EXPECT_EQ(code, 21);
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_EQ(platform.IndexOf("GetEnvironmentVariableW"), -1);
  EXPECT_EQ(platform.IndexOf("CreateDirectoryW"), -1);
  EXPECT_EQ(Paths(platform), before);
  if (c.quiet) {
    EXPECT_TRUE(platform.messages.empty());
  } else {
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].text,
              L"The folder given with /" + std::wstring(c.refused) +
                  L" cannot be used: \"" + c.named +
                  L"\". Give a full path of up to 259 characters, such as "
                  L"D:\\ORVELLE-Game-Support-Packages, without quotation "
                  L"marks.");
    EXPECT_EQ(platform.messages[0].caption, L"ORVELLE GAME SUPPORT");
    EXPECT_EQ(platform.messages[0].style, 0x10010u);
    EXPECT_EQ(platform.calls.back(), "MessageBoxW");
  }

  // Where nobody could answer a box, the code alone tells.
  FakePlatform unseen;
  unseen.sessionId = 0;
  EXPECT_EQ(RunLauncherOn(unseen, c.arguments.c_str()), 21);
  EXPECT_TRUE(unseen.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, LauncherArgumentsTable, ::testing::ValuesIn(kArgumentsCases),
    [](const ::testing::TestParamInfo<ArgumentsCase>& info) {
      return std::string(info.param.name);
    });

// The script's command line: each path in quotes, its trailing backslashes
// doubled, so that Windows' splitting gives PowerShell each path whole and
// nothing else; the executable's folder only when it was read whole.
struct ScriptCommandCase {
  const char* name;
  std::wstring arguments;
  void (*arrange)(FakePlatform&);
  std::vector<std::wstring> parameters;  // after the script's path
  std::wstring tail;  // the command line's end after the script, or empty
};

void PrintTo(const ScriptCommandCase& c, std::ostream* out) { *out << c.name; }

// 259 characters; its folder ends with two backslashes.
const std::wstring kModulePath259 =
    L"C:\\" + std::wstring(248, L'p') + L"\\\\\\s.exe";
const std::wstring kLongestSource =
    L"\\\\s\\s" + std::wstring(254, L'\\');

const ScriptCommandCase kScriptCommandCases[] = {
    {"OwnFolder", L"", [](FakePlatform&) {},
     {L"-LauncherFolder", L"C:\\Users\\player\\Downloads"},
     L" -LauncherFolder \"C:\\Users\\player\\Downloads\""},
    {"OwnFolderADriveRoot", L"",
     [](FakePlatform& p) { p.modulePath = L"E:\\setup.exe"; },
     {L"-LauncherFolder", L"E:\\"}, L" -LauncherFolder \"E:\\\\\""},
    {"OwnFolderOnAShareWithSpaces", L"",
     [](FakePlatform& p) {
       p.modulePath = L"\\\\server\\Game Share\\Setup Files\\setup.exe";
     },
     {L"-LauncherFolder", L"\\\\server\\Game Share\\Setup Files"}},
    {"OwnPathOf259Characters", L"",
     [](FakePlatform& p) {
       p.modulePath = L"C:\\" + std::wstring(246, L'p') + L"\\setup.exe";
     },
     {L"-LauncherFolder", L"C:\\" + std::wstring(246, L'p')}},
    {"OwnPathOf260CharactersLeftOut", L"/quiet",
     [](FakePlatform& p) {
       p.modulePath = L"C:\\" + std::wstring(247, L'p') + L"\\setup.exe";
     },
     {L"-Unattended"}, L" -Unattended"},
    {"OwnPathUnreadableLeftOut", L"/layout D:\\Packages",
     [](FakePlatform& p) {
       p.FailCall("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED);
     },
     {L"-Layout", L"D:\\Packages"}, L" -Layout \"D:\\Packages\""},
    {"FolderWithSpacesAndTrailingBackslashes",
     L"/quiet /layout \"D:\\Game Packages\\\\\\\\\"", [](FakePlatform&) {},
     {L"-Unattended", L"-Layout", L"D:\\Game Packages\\\\", L"-LauncherFolder",
      L"C:\\Users\\player\\Downloads"},
     L" -Unattended -Layout \"D:\\Game Packages\\\\\\\\\" -LauncherFolder "
     L"\"C:\\Users\\player\\Downloads\""},
    // ProgramData, the system folder, both folders and the executable's path
    // at the longest the launcher accepts, the folders' backslashes doubled.
    {"EveryPartAtItsLongest",
     L"/quiet /layout D:" + std::wstring(257, L'\\') + L" /source " +
         kLongestSource,
     [](FakePlatform& p) {
       p.programData = L"C:\\" + std::wstring(256, L'd');
       p.AddFolder(p.programData, L"");
       p.systemDirectory = L"C:\\" + std::wstring(256, L's');
       p.modulePath = kModulePath259;
     },
     {L"-Unattended", L"-Layout", L"D:" + std::wstring(257, L'\\'),
      L"-PackageSource", kLongestSource, L"-LauncherFolder",
      L"C:\\" + std::wstring(248, L'p') + L"\\\\"}},
};

class ScriptCommandLine : public ::testing::TestWithParam<ScriptCommandCase> {
};

TEST_P(ScriptCommandLine, GivesPowerShellEachPathWhole) {
  const ScriptCommandCase& c = GetParam();
  FakePlatform platform;
  c.arrange(platform);
  ASSERT_EQ(RunLauncherOn(platform, c.arguments.c_str()), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  const std::wstring& line = platform.starts[0].commandLine;
  const std::wstring script = platform.starts[0].currentDirectory + L"\\" +
                              orvelle::kScriptFilePrefix + L"4242.ps1";
  std::vector<std::wstring> expected = {
      platform.systemDirectory + L"\\WindowsPowerShell\\v1.0\\powershell.exe",
      L"-NoLogo",
      L"-NoProfile",
      L"-ExecutionPolicy",
      L"Bypass",
      L"-File",
      script};
  expected.insert(expected.end(), c.parameters.begin(), c.parameters.end());
  EXPECT_EQ(Joined(SplitLikeWindows(line)), Joined(expected));
  if (!c.tail.empty()) {
    const std::wstring afterScript = L"\"" + script + L"\"";
    ASSERT_NE(line.find(afterScript), std::wstring::npos);
    EXPECT_EQ(Narrow(line.substr(line.find(afterScript) + afterScript.size())),
              Narrow(c.tail));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ScriptCommandLine, ::testing::ValuesIn(kScriptCommandCases),
    [](const ::testing::TestParamInfo<ScriptCommandCase>& info) {
      return std::string(info.param.name);
    });

TEST(LauncherFailureTable, EveryCodeFrom10To21HasItsOwnMessage) {
  std::set<std::wstring> seen;
  for (int code = orvelle::kFirstLauncherResult;
       code <= orvelle::kLastLauncherResult; ++code) {
    const wchar_t* message = orvelle::MessageForResult(code);
    ASSERT_NE(message, nullptr) << code;
    EXPECT_TRUE(seen.insert(message).second) << code;
  }
  EXPECT_EQ(orvelle::MessageForResult(9), nullptr);
  EXPECT_EQ(orvelle::MessageForResult(22), nullptr);
  EXPECT_EQ(orvelle::MessageForResult(0), nullptr);
}

TEST(LauncherFailure, ResourceIsLoadedSizedAndLockedBeforeTheCheck) {
  FakePlatform platform;
  platform.loadFails = true;
  EXPECT_EQ(RunLauncherOn(platform), 15);
  EXPECT_EQ(platform.callCounts["LoadResource"], 1);
  EXPECT_EQ(platform.callCounts["SizeofResource"], 1);
  EXPECT_EQ(platform.callCounts["LockResource"], 1);
}

// ---------------------------------------------------------------------------
// ProgramData limits.

TEST(LauncherProgramData, AcceptsA259CharacterValue) {
  FakePlatform platform;
  const std::wstring longest = L"C:\\" + std::wstring(256, L'p');
  platform.programData = longest;
  platform.AddFolder(longest, L"");
  EXPECT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].currentDirectory,
            longest + kBootstrap.substr(kProgramData.size()));
}

TEST(LauncherProgramData, MissingProgramDataFolderIsNotCreated) {
  FakePlatform platform;
  platform.programData = L"C:\\NoSuchFolder";
  EXPECT_EQ(RunLauncherOn(platform), 12);
  EXPECT_FALSE(platform.Exists(L"C:\\NoSuchFolder"));
}

// ---------------------------------------------------------------------------
// The write loop.

TEST(LauncherWriteLoop, PartialWritesContinueFromWhereTheyStopped) {
  FakePlatform platform;
  platform.resource = std::string("\xEF\xBB\xBF", 3) + std::string(20, 'a') +
                      "bcdefg\n";
  platform.writeChunk = 7;
  ASSERT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].scriptAtStart, platform.resource);
  // Each call asks for all that remains.
  std::vector<std::string> writes;
  for (const std::string& call : platform.calls) {
    if (call.rfind("WriteFile", 0) == 0) writes.push_back(call);
  }
  const std::vector<std::string> expected = {"WriteFile 30", "WriteFile 23",
                                             "WriteFile 16", "WriteFile 9",
                                             "WriteFile 2"};
  EXPECT_TRUE(SameCalls(writes, expected));
}

TEST(LauncherWriteLoop, ZeroBytesWrittenStopsTheLoop) {
  FakePlatform platform;
  platform.writeChunk = 4;
  platform.zeroWriteCall = 3;
  EXPECT_EQ(RunLauncherOn(platform), 17);
  EXPECT_EQ(platform.callCounts["WriteFile"], 3);
  EXPECT_EQ(platform.callCounts["FlushFileBuffers"], 1);
  EXPECT_FALSE(platform.Exists(kScript));
}

TEST(LauncherWriteLoop, FailedWriteStopsTheLoopAndStillFlushesAndCloses) {
  FakePlatform platform;
  platform.failWriteCall = 1;
  EXPECT_EQ(RunLauncherOn(platform), 17);
  EXPECT_EQ(platform.callCounts["WriteFile"], 1);
  const int flush = platform.IndexOf("FlushFileBuffers");
  const int close = platform.IndexOf("CloseHandle " + Narrow(kScript));
  const int remove = platform.LastIndexOf("DeleteFileW " + Narrow(kScript));
  ASSERT_NE(flush, -1);
  EXPECT_LT(flush, close);
  EXPECT_LT(close, remove);
}

// ---------------------------------------------------------------------------
// The script file and the bootstrap folder.

TEST(LauncherScriptFile, LeftoverWithTheSameNameIsReplacedNotAppended) {
  FakePlatform platform;
  platform.AddFolder(kVendor, kPrivateFolderSddl);
  platform.AddFolder(kProduct, kPrivateFolderSddl);
  platform.AddFolder(kBootstrap, kPrivateFolderSddl);
  platform.AddFile(kScript, "an older, longer script that must not survive\n",
                   kUserOwnedFileSddl);
  ASSERT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].scriptAtStart, platform.resource);
  EXPECT_LT(platform.IndexOf("DeleteFileW " + Narrow(kScript)),
            platform.IndexOf("CreateFileW(new) " + Narrow(kScript)));
}

TEST(LauncherScriptFile, LeftoverThatCannotBeDeletedIsNotReused) {
  FakePlatform platform;
  platform.AddFolder(kVendor, kPrivateFolderSddl);
  platform.AddFolder(kProduct, kPrivateFolderSddl);
  platform.AddFolder(kBootstrap, kPrivateFolderSddl);
  platform.AddFile(kScript, "planted\n", kUserOwnedFileSddl);
  platform.FailCall("DeleteFileW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunLauncherOn(platform), 16);
  EXPECT_EQ(platform.nodes[kScript].content, "planted\n");
  EXPECT_EQ(platform.callCounts["WriteFile"], 0);
}

TEST(LauncherScriptFile, CreatedNewForWritingOnlyWithoutSharing) {
  FakePlatform platform;
  ASSERT_EQ(RunLauncherOn(platform), 0);
  int scriptOpens = 0;
  for (const FakePlatform::FileOpen& open : platform.opens) {
    if (open.path != kScript) continue;
    ++scriptOpens;
    EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_WRITE));
    EXPECT_EQ(open.share, 0u);
    EXPECT_EQ(open.disposition, static_cast<DWORD>(CREATE_NEW));
    EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  }
  EXPECT_EQ(scriptOpens, 1);
}

TEST(LauncherBootstrapFolder, FoldersAreHeldOpenWithoutDeleteSharingOrLinks) {
  FakePlatform platform;
  ASSERT_EQ(RunLauncherOn(platform), 0);
  int folderOpens = 0;
  for (const FakePlatform::FileOpen& open : platform.opens) {
    if (open.path == kScript) continue;
    ++folderOpens;
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.share & FILE_SHARE_DELETE, 0u) << Narrow(open.path);
    EXPECT_NE(open.flags & FILE_FLAG_OPEN_REPARSE_POINT, 0u);
    EXPECT_NE(open.flags & FILE_FLAG_BACKUP_SEMANTICS, 0u);
    // Listing access makes Windows apply the share mode; no right to change
    // the folder's security.
    EXPECT_NE(open.access & FILE_LIST_DIRECTORY, 0u);
    EXPECT_EQ(open.access & (WRITE_DAC | WRITE_OWNER | DELETE), 0u);
  }
  EXPECT_EQ(folderOpens, 3);
  // Under the fake's sharing rule, the held handles stop a rename.

  // Held until PowerShell has ended: closed after the wait, before clean-up.
  EXPECT_GT(platform.IndexOfCall("CloseHandle " + Narrow(kBootstrap)),
            platform.IndexOf("WaitForSingleObject"));
}

TEST(LauncherBootstrapFolder, ExistingPrivateFoldersAreUsedAsTheyAre) {
  FakePlatform platform;
  platform.AddFolder(kVendor, kPrivateFolderSddl);
  platform.AddFolder(kProduct, kPrivateFolderSddl);
  platform.AddFolder(kBootstrap, kPrivateFolderSddl);
  EXPECT_EQ(RunLauncherOn(platform), 0);
  EXPECT_EQ(platform.IndexOf("MoveFileExW"), -1);
  EXPECT_EQ(platform.callCounts["GetKernelObjectSecurity"], 3);
}

TEST(LauncherBootstrapFolder, AnotherLaunchersScriptKeepsTheFolder) {
  FakePlatform platform;
  const std::wstring other =
      kBootstrap + L"\\" + orvelle::kScriptFilePrefix + L"99.ps1";
  platform.AddFolder(kVendor, kPrivateFolderSddl);
  platform.AddFolder(kProduct, kPrivateFolderSddl);
  platform.AddFolder(kBootstrap, kPrivateFolderSddl);
  platform.AddFile(other, "other launcher's script\n");
  EXPECT_EQ(RunLauncherOn(platform), 0);
  EXPECT_FALSE(platform.Exists(kScript));
  EXPECT_TRUE(platform.Exists(other));
  EXPECT_TRUE(platform.Exists(kBootstrap));
  EXPECT_NE(platform.IndexOfCall("RemoveDirectoryW " + Narrow(kBootstrap)),
            -1);
}

// A tree a standard user made before the run, unsafe from the given level
// down: that level is set aside whole and the run goes on in fresh folders.
class UnsafeExistingFolder : public ::testing::TestWithParam<int> {};

TEST_P(UnsafeExistingFolder, IsSetAsideBeforeTheScriptIsWritten) {
  const std::wstring chain[] = {kVendor, kProduct, kBootstrap};
  const int unsafe = GetParam();
  FakePlatform platform;
  for (int i = 0; i < 3; ++i) {
    platform.AddFolder(chain[i],
                       i < unsafe ? kPrivateFolderSddl : kUserOwnedFolderSddl);
  }
  platform.AddFile(kBootstrap + L"\\version.dll", "MZ planted",
                   kUserOwnedFileSddl);
  platform.AddFolder(kProduct + L"\\Downloads", kUserOwnedFolderSddl);
  platform.AddFile(kProduct + L"\\Downloads\\vc14-latest-x64.exe", "MZ signed",
                   kUserOwnedFileSddl);

  ASSERT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].scriptAtStart, platform.resource);

  const std::wstring aside =
      chain[unsafe] + L".untrusted-20261208-143000-0123456789abcdef";
  const std::wstring bootstrapAside =
      aside + kBootstrap.substr(chain[unsafe].size());
  EXPECT_EQ(platform.nodes[bootstrapAside + L"\\version.dll"].content,
            "MZ planted");
  EXPECT_EQ(platform.callCounts["MoveFileExW"], 1);
  EXPECT_LT(platform.IndexOf("MoveFileExW"),
            platform.IndexOf("CreateFileW(new)"));
  for (int i = unsafe; i < 2; ++i) {
    EXPECT_EQ(platform.nodes[chain[i]].sddl, kPrivateFolderSddl);
  }
  EXPECT_FALSE(platform.Exists(kBootstrap + L"\\version.dll"));
  if (unsafe < 2) {
    EXPECT_FALSE(platform.Exists(kProduct + L"\\Downloads"));
    EXPECT_TRUE(platform.Exists(aside + kProduct.substr(chain[unsafe].size()) +
                                L"\\Downloads\\vc14-latest-x64.exe"));
  }
}

std::string LevelName(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"ORVELLE", "GameSupport", "Bootstrap"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Levels, UnsafeExistingFolder,
                         ::testing::Values(0, 1, 2), LevelName);

// What a second user on the PC might do to keep the setup from running; each
// time the run goes on, in the folder given.
struct LockOutCase {
  const char* name;
  void (*arrange)(FakePlatform&);
  const wchar_t* bootstrap;  // the folder the script runs from
  int setAside;              // objects renamed to a random set-aside name
};

void PrintTo(const LockOutCase& c, std::ostream* out) { *out << c.name; }

void HoldOpen(FakePlatform& p) {
  p.FailCall("MoveFileExW", 0, ERROR_SHARING_VIOLATION);
}

const LockOutCase kLockOutCases[] = {
    {"FileInPlaceOfTheVendorFolder",
     [](FakePlatform& p) { p.AddFile(kVendor, "planted", kUserOwnedFileSddl); },
     FAKE_BOOTSTRAP, 1},
    // The names an older version tried: the time, then "-<pid>-1" to "-15".
    {"EveryOldStyleSetAsideNameTaken",
     [](FakePlatform& p) {
       const std::wstring stamped = kVendor + L".untrusted-20261208-143000";
       p.AddFolder(kVendor, kUserOwnedFolderSddl);
       p.AddFolder(stamped, kUserOwnedFolderSddl);
       for (int n = 1; n < 16; ++n) {
         p.AddFolder(stamped + L"-4242-" + std::to_wstring(n),
                     kUserOwnedFolderSddl);
       }
     },
     FAKE_BOOTSTRAP, 1},
    // Another user's process inside the folder stops every rename; the first
    // random digits went to the failed set-aside, the next name the folder
    // made beside it.
    {"VendorFolderHeldOpen",
     [](FakePlatform& p) {
       p.AddFolder(kVendor, kUserOwnedFolderSddl);
       HoldOpen(p);
     },
     FAKE_VENDOR L".0123456789abcdf0\\" ORVELLE_PRODUCT_FOLDER_NAME
                 L"\\" ORVELLE_BOOTSTRAP_FOLDER_NAME,
     0},
    {"ProductFolderHeldOpen",
     [](FakePlatform& p) {
       p.AddFolder(kVendor, kPrivateFolderSddl);
       p.AddFolder(kProduct, kUserOwnedFolderSddl);
       HoldOpen(p);
     },
     FAKE_PRODUCT L".0123456789abcdf0\\" ORVELLE_BOOTSTRAP_FOLDER_NAME, 0},
    // Made again after every set-aside: the last of the rounds moves nothing.
    {"BootstrapFolderKeepsComingBack",
     [](FakePlatform& p) {
       p.AddFolder(kVendor, kPrivateFolderSddl);
       p.AddFolder(kProduct, kPrivateFolderSddl);
       p.AddFolder(kBootstrap, kUserOwnedFolderSddl);
       p.afterMove = [&p](const std::wstring& from) {
         p.AddFolder(from, kUserOwnedFolderSddl);
       };
     },
     FAKE_BOOTSTRAP L".0123456789abcdf2", orvelle::kMaxSecureRounds - 1},
};

class LockOut : public ::testing::TestWithParam<LockOutCase> {};

TEST_P(LockOut, RunGoesOnInAPrivateFolder) {
  const LockOutCase& c = GetParam();
  FakePlatform platform;
  c.arrange(platform);
  ASSERT_EQ(RunLauncherOn(platform), 0);
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(platform.OpenHandleCount(), 0u);

  ASSERT_EQ(platform.starts.size(), 1u);
  const std::wstring bootstrap = c.bootstrap;
  const std::wstring script =
      bootstrap + L"\\" + orvelle::kScriptFilePrefix + L"4242.ps1";
  EXPECT_EQ(platform.starts[0].currentDirectory, bootstrap);
  EXPECT_NE(platform.starts[0].commandLine.find(L"-File \"" + script + L"\""),
            std::wstring::npos);
  EXPECT_EQ(platform.starts[0].scriptAtStart, platform.resource);
  EXPECT_FALSE(platform.Exists(script));

  // Every folder the script's folder sits in is private.
  for (std::wstring folder = bootstrap.substr(0, bootstrap.rfind(L'\\'));
       folder != kProgramData; folder = folder.substr(0, folder.rfind(L'\\'))) {
    EXPECT_EQ(platform.nodes[folder].sddl, kPrivateFolderSddl)
        << Narrow(folder);
  }
  // Set-aside names end with the time and 16 random hex digits.
  const std::wstring mark = L".untrusted-20261208-143000-";
  int setAside = 0;
  for (const auto& entry : platform.nodes) {
    const std::wstring& path = entry.first;
    const size_t at = path.rfind(mark);
    if (at != std::wstring::npos && path.size() == at + mark.size() + 16) {
      ++setAside;
    }
  }
  EXPECT_EQ(setAside, c.setAside);
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, LockOut, ::testing::ValuesIn(kLockOutCases),
    [](const ::testing::TestParamInfo<LockOutCase>& info) {
      return std::string(info.param.name);
    });

// Variables that would make the .NET runtime in PowerShell load foreign code
// are gone from the environment PowerShell starts with; everything else is
// passed on unchanged.
TEST(LauncherEnvironment, ProfilerAndRuntimeSettingsVariablesDoNotReachPowerShell) {
  FakePlatform platform;
  const std::vector<std::wstring> kept = {
      L"=C:=C:\\Users\\player\\Downloads",
      L"Path=C:\\Windows\\system32",
      L"COR_PROFILER_PATH_X=kept, not a runtime name",
      L"MY_COMPlus_Setting=kept",
      L"COMPlu=kept",
      L"PSModulePath=C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\Modules"};
  platform.environment = {
      kept[0],
      L"COR_ENABLE_PROFILING=1",
      kept[1],
      L"COR_PROFILER={01234567-89ab-cdef-0123-456789abcdef}",
      L"cor_profiler_path=C:\\Users\\Public\\p.dll",
      L"COR_PROFILER_PATH_32=C:\\Users\\Public\\p32.dll",
      kept[2],
      L"COR_PROFILER_PATH_64=C:\\Users\\Public\\p64.dll",
      L"COMPlus_EnableDiagnostics=0",
      kept[3],
      L"complus_ETWEnabled=0",
      L"COMPLUS_Version=v2.0.50727",
      kept[4],
      L"COMPlus_=empty suffix",
      kept[5]};
  ASSERT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].environment, kept);
  EXPECT_EQ(platform.callCounts["GetEnvironmentStringsW"],
            platform.callCounts["FreeEnvironmentStringsW"]);
}

TEST(LauncherBootstrapFolder, JunctionInPlaceOfTheBootstrapFolderIsReplaced) {
  FakePlatform platform;
  platform.AddFolder(kVendor, kPrivateFolderSddl);
  platform.AddFolder(kProduct, kPrivateFolderSddl);
  platform.AddLink(kBootstrap, /*directory=*/true);
  ASSERT_EQ(RunLauncherOn(platform), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].scriptAtStart, platform.resource);
  EXPECT_EQ(platform.IndexOf("FOLLOWED-LINK"), -1);
  EXPECT_EQ(platform.IndexOf("LISTED-THROUGH-LINK"), -1);
  EXPECT_LT(platform.IndexOfCall("RemoveDirectoryW " + Narrow(kBootstrap)),
            platform.IndexOf("CreateFileW(new)"));
}

}  // namespace
}  // namespace orvelle_test
