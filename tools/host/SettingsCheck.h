#pragma once

// The settings the command line gives (--set, --settings), checked against what the driver
// declares before anything runs.

#include <vector>

#include "tools/host/HostOptions.h"
#include "tools/host/SettingInfo.h"

namespace tallowmer::host {

// Raises UsageError for an unknown setting ID, a value that does not read as its setting's type,
// or an unreadable or malformed settings file; the file's values go into `options.setup.settings`.
void CheckSettings(HostOptions& options, const DispatchPtr& manager,
                   const std::vector<SettingInfo>& declared);

}  // namespace tallowmer::host
