// ls_tallowmer_host: drives the loyalty driver the way a point-of-sale host does, for integrators
// who want to try the driver without the host application. "ls_tallowmer_host --help" tells how.

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "common/uCommonUtils.h"
#include "driver/DriverFactory.h"
#include "tools/host/HostCommands.h"
#include "tools/host/HostHelp.h"
#include "tools/host/HostOptions.h"
#include "tools/host/HostPlatform.h"
#include "tools/host/SettingsCheck.h"

namespace tallowmer::host {
namespace {

// The authority travels to the driver's transport through the environment, as for any process.
void TrustCaFile(const std::string& caFile) {
  if (caFile.empty()) return;
  if (std::ifstream(caFile).fail()) throw UsageError("cannot read the CA file " + caFile);
  SetProcessVariable("LS_TALLOWMER_CA_FILE", caFile);
}

HelpFolders FoldersFor(const HostOptions& options) {
  std::string devicesFolder = options.properties.devicesFolder;
  while (devicesFolder.size() > 1 && devicesFolder.back() == '/') devicesFolder.pop_back();
  return HelpFolders{devicesFolder, options.setup.deviceId, GetCommonAppDataFolder()};
}

int Run(const std::vector<std::string>& args) {
  HostOptions options = ParseOptions(args);
  if (!options.help) CheckCommandLine(options);
  TrustCaFile(options.caFile);

  const DispatchPtr manager = HostManager::Create(options.properties, std::cerr);
  HostSession session(CreateDriverObject(), manager, std::cerr);
  const std::vector<SettingInfo> declared = session.DeclaredSettings();
  if (options.help) {
    PrintHelp(std::cout, declared, FoldersFor(options));
    return 0;
  }
  CheckSettings(options, manager, declared);
  const PreparedCommand command = PrepareCommand(options, manager);

  if (!options.raw && !session.Start(options.setup)) {
    session.Stop();
    return kExitFailed;
  }
  const int status = command(session);
  if (!options.raw) session.Stop();
  return status;
}

}  // namespace
}  // namespace tallowmer::host

int main(int argc, char** argv) {
  tallowmer::host::PrepareConsole();
  try {
    return tallowmer::host::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const tallowmer::host::UsageError& error) {
    std::cerr << "ls_tallowmer_host: " << error.what() << std::endl;
    return tallowmer::host::kExitBadInput;
  } catch (const std::exception& error) {
    std::cerr << "ls_tallowmer_host: " << error.what() << std::endl;
    return tallowmer::host::kExitFailed;
  }
}
