#pragma once

// The equipment error a call raises, for tests that check both its code and its message.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "common/uEquipmentErrors.h"

namespace tallowmer::testing {

// Runs `call` expecting EquException; returns its code and message.
inline std::pair<int32_t, std::string> Failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const EquException& error) {
    return {error.Code, error.Message()};
  }
  ADD_FAILURE() << "no EquException";
  return {0, ""};
}

}  // namespace tallowmer::testing
