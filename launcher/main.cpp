// Entry point of the setup executable.
#include <windows.h>

#include "launcher.h"
#include "launcher_flow.h"
#include "win32_api.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/,
                    PWSTR arguments, int /*showCommand*/) {
  orvelle::Win32Api windows;
  return orvelle::RunLauncherWithSizes<orvelle::LauncherBufferSizes>(
      windows, instance, arguments);
}
