#include "launcher.h"

#include "launcher_flow.h"

namespace orvelle {

int RunLauncher(Platform& platform, HMODULE module, const wchar_t* arguments) {
  return RunLauncherWithSizes<LauncherBufferSizes>(platform, module,
                                                   arguments);
}

}  // namespace orvelle
