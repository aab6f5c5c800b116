#pragma once

#include "common/OleVariant.h"

namespace tallowmer {

// Constructs and initialises one driver object; the caller holds its only reference. Used by the
// component server and by the command-line host alike.
DispatchPtr CreateDriverObject();

}  // namespace tallowmer
