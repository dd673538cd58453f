// Entry point of ORVELLE-Game-Support-Setup-1.0.2.exe.
#include <windows.h>

#include "launcher.h"
#include "win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/,
                    PWSTR /*commandLine*/, int /*showCommand*/) {
  orvelle::Win32Platform platform;
  return orvelle::RunLauncher(platform, instance);
}
