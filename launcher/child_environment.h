// The environment PowerShell inherits from the launcher.
#pragma once

#include <windows.h>

namespace orvelle {

// Variables that make the .NET runtime load code of somebody else's choosing
// into the elevated PowerShell (a profiler DLL, or runtime settings): these
// names, and every name that starts with kRuntimeSettingsPrefix (compared
// without regard to case).
constexpr const wchar_t* kForeignCodeVariables[] = {
    L"COR_ENABLE_PROFILING", L"COR_PROFILER", L"COR_PROFILER_PATH",
    L"COR_PROFILER_PATH_32", L"COR_PROFILER_PATH_64"};
constexpr const wchar_t kRuntimeSettingsPrefix[] = L"COMPlus_";

// Longest variable name removed by name; a longer runtime-settings name makes
// the removal fail rather than stay.
constexpr size_t kVariableNameChars = 260;
// At most this many runtime-settings variables are removed, one per look at
// the environment.
constexpr int kMaxRuntimeSettingsVariables = 512;

namespace child_environment_detail {

enum class Found { kNone, kName, kTooLong };

// Looks through the environment block ("NAME=VALUE\0...\0\0") for the first
// runtime-settings variable and copies its name into name
// (kVariableNameChars characters).
Found FindRuntimeSettingsVariable(const wchar_t* block, wchar_t* name);

}  // namespace child_environment_detail

// Removes the variables above from the launcher's own environment, through
// the calls of P. False when one of them could not be removed.
template <class P>
bool RemoveForeignCodeVariables(P& platform) {
  using child_environment_detail::FindRuntimeSettingsVariable;
  using child_environment_detail::Found;
  for (const wchar_t* name : kForeignCodeVariables) {
    // Fails only when the variable is not there.
    platform.SetEnvironmentVariableW(name, nullptr);
  }
  wchar_t name[kVariableNameChars];
  for (int removed = 0; removed <= kMaxRuntimeSettingsVariables; ++removed) {
    LPWCH block = platform.GetEnvironmentStringsW();
    if (block == nullptr) return false;
    const Found found = FindRuntimeSettingsVariable(block, name);
    platform.FreeEnvironmentStringsW(block);
    if (found == Found::kNone) return true;
    if (found == Found::kTooLong || removed == kMaxRuntimeSettingsVariables ||
        !platform.SetEnvironmentVariableW(name, nullptr)) {
      return false;
    }
  }
  return false;
}

}  // namespace orvelle
