#pragma once

// Conversions of variant values. Empty gives 0, false or an empty text; Null and values that have
// no such meaning raise EConvertError; numbers outside the target range raise ERangeError.
// Floating-point values round to the nearest whole number, ties to the even one. References are
// followed to the value they point at.

#include <cstdint>
#include <string>

#include "common/OleVariant.h"

namespace tallowmer {

int32_t VarToInt32(const OleVariant& value);
int64_t VarToInt64(const OleVariant& value);
double VarToDouble(const OleVariant& value);
Currency VarToCurrency(const OleVariant& value);
bool VarToBool(const OleVariant& value);
std::u16string VarToWide(const OleVariant& value);
// The text as UTF-8.
std::string VarToStr(const OleVariant& value);
DispatchPtr VarToDispatch(const OleVariant& value);

// Multiplies by 10000 and rounds ties to the even neighbour.
Currency DoubleToCurrency(double value);

// The kind's name as messages show it ("Integer", "OleStr", "Array" ...).
std::string VarTypeName(VarType type);

}  // namespace tallowmer
