#pragma once

// Late-bound calls on the host's equipment manager: members are resolved by name on every call,
// as the host's objects may be script classes that know no fixed identifiers.

#include <string>
#include <vector>

#include "common/Dispatch.h"

namespace tallowmer {

// Calls `name` with `arguments` in call order (references stay references, so the member can
// write into them) and returns its result. Raises EOleException when the member is missing or the
// call fails.
OleVariant CallByName(const DispatchPtr& object, const std::string& name, std::vector<OleVariant> arguments);

}  // namespace tallowmer
