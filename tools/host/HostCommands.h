#pragma once

// What each command of the host program does once the driver runs.

#include <functional>

#include "tools/host/HostOptions.h"

namespace tallowmer::host {

constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// The command, its arguments read and its files opened, to run on the started session; raises
// UsageError for what it cannot read, before anything runs.
using PreparedCommand = std::function<int(HostSession& session)>;
PreparedCommand PrepareCommand(const HostOptions& options, const DispatchPtr& manager);

}  // namespace tallowmer::host
