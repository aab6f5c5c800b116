#pragma once

// The readable account of one call that "ls_tallowmer_host call" prints.

#include <ostream>
#include <string>
#include <vector>

#include "tools/host/HostSession.h"

namespace tallowmer::host {

void PrintReadable(std::ostream& out, const std::string& method, const CallOutcome& outcome,
                   const std::vector<OleVariant>& arguments);

}  // namespace tallowmer::host
