#include "launcher.h"

#include "launcher_flow.h"

namespace orvelle {

int RunLauncher(Platform& platform, HMODULE module) {
  return RunLauncherWithSizes<LauncherBufferSizes>(platform, module);
}

}  // namespace orvelle
