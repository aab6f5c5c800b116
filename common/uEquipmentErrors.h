#pragma once

// Result codes with their Russian texts, the failure array [code, description] and the equipment
// exception that carries a code across layers.

#include <cstdint>
#include <string>

#include "common/Exceptions.h"
#include "common/OleVariant.h"

namespace tallowmer {

inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultCancelled = 201;
inline constexpr int32_t kResultUnknownError = 1001;
inline constexpr int32_t kResultNotSupported = 1003;
inline constexpr int32_t kResultBadInput = 1004;
inline constexpr int32_t kResultBadSettings = 1020;
// A service request that got no answer at all.
inline constexpr int32_t kResultNoAnswer = -1;

class EquException : public Exception {
 public:
  EquException(int32_t code, const std::string& message) : Exception(message), Code(code) {}
  const char* ClassName() const noexcept override { return "EquException"; }

  int32_t Code;
};

// The table text of a code, or null for a code the table does not hold.
const char* FindResultText(int32_t code);

// `description` when it is given and the code is not 0; else the code's text; else the text of 1001.
std::string GetResultDescription(int32_t code, const std::string& description);

// [code, description] as a variant array with bounds 0..1, or 0..2 with `extData` when that is not empty.
OleVariant MakeResultArray(int32_t code, const std::string& description,
                           const OleVariant& extData = OleVariant());

}  // namespace tallowmer
