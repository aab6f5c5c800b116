#pragma once

// What "ls_tallowmer_host --help" prints. The settings come from the driver object itself, so that
// the list never drifts from what the driver declares; the methods' argument layouts are those of
// the loyalty-equipment contract and of the standard equipment methods.

#include <ostream>
#include <string>
#include <vector>

#include "tools/host/SettingInfo.h"

namespace tallowmer::host {

// One element of InData or OutData.
struct ElementHelp {
  // "3", or "11-14" for a run of elements alike.
  std::string index;
  // "string", "integer", "currency", "date-time", "variant", "receipt table", ...
  std::string type;
  // "required", or "optional, DEFAULT" with the value taken when the element is absent; empty for
  // OutData.
  std::string presence;
  std::string meaning;
};

struct MethodHelp {
  std::string name;
  std::string purpose;
  // How the host passes the arguments when they are not InData, OutData, TimeOut.
  std::string arguments;
  std::vector<ElementHelp> inData;
  std::vector<ElementHelp> outData;
  // A loyalty method: InData elements are checked as the contract says.
  bool loyalty = false;
};

// Every method the driver offers, in the order of its dispatch identifiers.
const std::vector<MethodHelp>& MethodHelpTable();

struct HelpFolders {
  // Where the device folders go (--devices-folder or its default).
  std::string devicesFolder;
  std::string deviceId;
  // The application-data folder the driver falls back on without a device folder.
  std::string commonDataFolder;
};

void PrintHelp(std::ostream& out, const std::vector<SettingInfo>& settings, const HelpFolders& folders);

}  // namespace tallowmer::host
