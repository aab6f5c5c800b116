#pragma once

// The host's arguments of one call: what the portable dispatch sees of them, and the way back into
// the host's memory afterwards.

#include <windows.h>

#include <oaidl.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/Dispatch.h"
#include "common/OleVariant.h"
#include "core/com/ComVariant.h"

namespace tallowmer::com {

// One host argument, with the storage a by-reference argument points at during the call.
struct HostArgument {
  VARIANT* target = nullptr;  // end of the host's by-reference-variant chain; null for by-value
  OleVariant portable;
  OleVariant shadowVariant;
  uint32_t shadowLong = 0;
  int16_t shadowSmall = 0;
  uint8_t shadowByte = 0;
  float shadowSingle = 0;
  double shadowDouble = 0;
  Currency shadowCurrency{};
  std::u16string shadowText;
  DispatchPtr shadowDispatch;
  SafeArrayPtr shadowArray;
  // The value as read, kept only where the portable model could not hold all of it: if the call
  // leaves it as it was, the host's own value stays.
  bool lossy = false;
  OleVariant asRead;
};

// Why an argument is refused before any method runs: the code the exception record carries and the
// text that names the argument and the reason.
struct ArgumentRefusal {
  int32_t code = 0;
  std::string description;
};

// The host's arguments for one call, in the platform's order (last argument first).
class HostArguments {
 public:
  // An argument the reader refuses (nesting without end, a loop, too many elements), an array
  // reached through a by-reference array of another element type or size, or a variable whose
  // array the host has locked reaches the portable side as a reference nothing can be stored into,
  // which it refuses before any method runs; Refusal() then says which argument and why.
  explicit HostArguments(DISPPARAMS* params);

  // The first refused argument's refusal, or null.
  const ArgumentRefusal* Refusal() const { return refusal_ ? &*refusal_ : nullptr; }

  DispParams Portable() {
    return DispParams{portable_.empty() ? nullptr : portable_.data(), count_, namedCount_};
  }

  // Copies what the call left in the by-reference targets back into the host's memory: every
  // write is prepared first and only then carried out, so a write that cannot be made (the
  // bad-input EquException) leaves every argument as the host passed it. By-value arguments belong
  // to the caller and stay as they were.
  void WriteBack();

 private:
  void Bind(HostArgument& argument, VARIANT& host, ReadBudget& budget);
  void Refuse(HostArgument& argument, uint32_t position, int32_t code, const std::string& reason);

  uint32_t count_ = 0;
  uint32_t namedCount_ = 0;
  std::deque<HostArgument> arguments_;
  std::vector<OleVariant> portable_;
  std::optional<ArgumentRefusal> refusal_;
};

}  // namespace tallowmer::com
