#pragma once

#include "common/OleVariant.h"

namespace tallowmer::fuzzing {

// A fresh object with the registry a host meets, reference held by the caller.
DispatchPtr CreateFuzzTarget();

}  // namespace tallowmer::fuzzing
