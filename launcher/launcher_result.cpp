#include "launcher_result.h"

namespace orvelle {

namespace {

struct ResultMessage {
  int result;
  const wchar_t* text;
};

constexpr ResultMessage kMessages[] = {
    {kProgramDataMissing, L"Unable to locate the Windows ProgramData folder."},
    {kBootstrapPathTooLong, L"The temporary setup path is too long."},
    {kBootstrapFolderFailed, L"Unable to create the temporary setup folder."},
    {kScriptPathTooLong, L"The temporary script path is too long."},
    {kResourceMissing, L"The embedded setup resource is missing."},
    {kResourceUnloadable, L"Unable to load the embedded setup resource."},
    {kScriptCreateFailed, L"Unable to prepare the setup script."},
    {kScriptWriteIncomplete, L"Unable to write the complete setup script."},
    {kPowerShellNotFound, L"Unable to locate Windows PowerShell."},
    {kCommandTooLong, L"Unable to prepare the setup command."},
    {kPowerShellStartFailed,
     L"Windows PowerShell could not start the setup process."},
    {kFolderArgumentRefused, kFolderRefusedMessage},
};

}  // namespace

const wchar_t* MessageForResult(int result) {
  for (const ResultMessage& entry : kMessages) {
    if (entry.result == result) return entry.text;
  }
  return nullptr;
}

}  // namespace orvelle
