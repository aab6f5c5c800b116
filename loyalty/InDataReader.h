#pragma once

// Reads the elements of a loyalty method's InData. A required element must exist at its index of
// a one-dimensional array; an optional one counts only when present and neither Empty nor Null,
// and otherwise takes its default unconverted. Every failure raises EConvertError or ERangeError,
// which the methods answer with 1004.

#include <string>

#include "common/OleVariant.h"

namespace tallowmer {

class InDataReader {
 public:
  explicit InDataReader(const OleVariant& inData) : inData_(inData.Resolved()) {}

  const OleVariant& Required(int32_t index) const;
  std::string RequiredStr(int32_t index) const;
  int32_t RequiredInt(int32_t index) const;
  double RequiredDate(int32_t index) const;
  Currency RequiredCurr(int32_t index) const;

  std::string OptionalStr(int32_t index, const std::string& defaultValue = "") const;
  int32_t OptionalInt(int32_t index, int32_t defaultValue) const;
  // Read through a double, multiplied by 10000 and rounded ties to even.
  Currency OptionalCurr(int32_t index) const;
  // The current local date-time when absent.
  double OptionalDate(int32_t index) const;
  OleVariant OptionalVariant(int32_t index) const;

 private:
  const OleVariant& inData_;
};

}  // namespace tallowmer
