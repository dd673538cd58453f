// The environment PowerShell inherits from the launcher.
#pragma once

#include <windows.h>

#include "platform.h"

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

// Removes the variables above from the launcher's own environment. False when
// one of them could not be removed.
bool RemoveForeignCodeVariables(Platform& platform);

}  // namespace orvelle
