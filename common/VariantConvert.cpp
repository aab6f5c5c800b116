#include "common/VariantConvert.h"

#include <cmath>
#include <limits>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"

namespace tallowmer {
namespace {

[[noreturn]] void CannotConvert(const OleVariant& value, const char* target) {
  throw EConvertError("Не удалось преобразовать значение типа " + VarTypeName(value.Type()) + " в тип " +
                      target);
}

[[noreturn]] void OutOfRange(const std::string& text, const char* target) {
  throw ERangeError("Значение " + text + " вне допустимого диапазона типа " + target);
}

// The value itself, or for a reference the value it points at (kept in `holder`).
const OleVariant& Plain(const OleVariant& input, OleVariant& holder) {
  if (!input.IsByRef()) return input;
  holder = input.Dereferenced();
  return holder;
}

// Whole-number kinds whose payload is held as a signed 64-bit value (every one but UInt64).
bool HeldAsInt64(VarType type) {
  switch (type) {
    case varShortInt:
    case varByte:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varInt64:
    case varInt:
    case varUInt:
    case varBoolean:
      return true;
    default:
      return false;
  }
}

bool IsFloating(VarType type) {
  return type == varSingle || type == varDouble || type == varDate;
}

double FloatingValue(const OleVariant& value) {
  return value.Type() == varSingle ? static_cast<double>(value.SingleValue()) : value.DoubleValue();
}

std::string TextOf(const OleVariant& value) {
  return value.Type() == varOleStr ? Utf16ToUtf8(value.WideValue()) : value.AnsiValue();
}

int64_t RoundToInt64(double value, const char* target) {
  const double rounded = RoundHalfEven(value);
  if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0))
    OutOfRange(FloatToStr(value), target);
  return static_cast<int64_t>(rounded);
}

// Currency to a whole number, ties to even, in exact integer arithmetic.
int64_t CurrencyToInt64(Currency value) {
  int64_t quotient = value.value / Currency::kScale;
  const int64_t remainder = value.value % Currency::kScale;
  const int64_t twice = 2 * (remainder < 0 ? -remainder : remainder);
  if (twice > Currency::kScale || (twice == Currency::kScale && quotient % 2 != 0))
    quotient += remainder < 0 ? -1 : 1;
  return quotient;
}

int64_t TextToInt64(const OleVariant& value, const char* target) {
  const std::string text = TextOf(value);
  if (const auto whole = TryStrToInt64(text)) return *whole;
  if (const auto number = TryStrToFloat(text)) return RoundToInt64(*number, target);
  CannotConvert(value, target);
}

}  // namespace

std::string VarTypeName(VarType type) {
  std::string prefix;
  if ((type & varByRef) != 0) prefix = "ByRef ";
  if ((type & varArray) != 0) return prefix + "Array";
  switch (type & varTypeMask) {
    case varEmpty:
      return prefix + "Empty";
    case varNull:
      return prefix + "Null";
    case varSmallint:
      return prefix + "Smallint";
    case varInteger:
      return prefix + "Integer";
    case varSingle:
      return prefix + "Single";
    case varDouble:
      return prefix + "Double";
    case varCurrency:
      return prefix + "Currency";
    case varDate:
      return prefix + "Date";
    case varOleStr:
      return prefix + "OleStr";
    case varDispatch:
      return prefix + "Dispatch";
    case varUnknown:
      return prefix + "Unknown";
    case varError:
      return prefix + "Error";
    case varBoolean:
      return prefix + "Boolean";
    case varVariant:
      return prefix + "Variant";
    case varShortInt:
      return prefix + "ShortInt";
    case varByte:
      return prefix + "Byte";
    case varWord:
      return prefix + "Word";
    case varLongWord:
      return prefix + "LongWord";
    case varInt64:
      return prefix + "Int64";
    case varUInt64:
      return prefix + "UInt64";
    case varInt:
      return prefix + "Int";
    case varUInt:
      return prefix + "UInt";
    case varString:
      return prefix + "String";
    default:
      return prefix + "0x" + std::to_string(type);
  }
}

int64_t VarToInt64(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  const VarType type = value.Type();
  if (type == varEmpty) return 0;
  if (HeldAsInt64(type)) return value.IntegerValue();
  if (type == varUInt64) {
    if (value.UnsignedValue() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      OutOfRange(std::to_string(value.UnsignedValue()), "Int64");
    }
    return static_cast<int64_t>(value.UnsignedValue());
  }
  if (IsFloating(type)) return RoundToInt64(FloatingValue(value), "Int64");
  if (type == varCurrency) return CurrencyToInt64(value.CurrencyValue());
  if (value.IsString()) return TextToInt64(value, "Int64");
  CannotConvert(value, "Int64");
}

int32_t VarToInt32(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  const VarType type = value.Type();
  int64_t wide = 0;
  if (IsFloating(type)) {
    const double rounded = RoundHalfEven(FloatingValue(value));
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
      OutOfRange(FloatToStr(FloatingValue(value)), "Integer");
    return static_cast<int32_t>(rounded);
  }
  if (type == varEmpty || HeldAsInt64(type) || type == varUInt64 || type == varCurrency) {
    wide = VarToInt64(value);
  } else if (value.IsString()) {
    wide = TextToInt64(value, "Integer");
  } else {
    CannotConvert(value, "Integer");
  }
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
    OutOfRange(std::to_string(wide), "Integer");
  }
  return static_cast<int32_t>(wide);
}

double VarToDouble(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  const VarType type = value.Type();
  if (type == varEmpty) return 0;
  if (HeldAsInt64(type)) return static_cast<double>(value.IntegerValue());
  if (type == varUInt64) return static_cast<double>(value.UnsignedValue());
  if (IsFloating(type)) return FloatingValue(value);
  if (type == varCurrency) return static_cast<double>(value.CurrencyValue().value) / Currency::kScale;
  if (value.IsString()) {
    if (const auto number = TryStrToFloat(TextOf(value))) return *number;
  }
  CannotConvert(value, "Double");
}

Currency DoubleToCurrency(double value) {
  const double scaled = RoundHalfEven(value * Currency::kScale);
  if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0))
    OutOfRange(FloatToStr(value), "Currency");
  return Currency{static_cast<int64_t>(scaled)};
}

Currency VarToCurrency(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  const VarType type = value.Type();
  if (type == varCurrency) return value.CurrencyValue();
  if (type == varEmpty) return Currency{};
  if (HeldAsInt64(type) || type == varUInt64) {
    const int64_t units = VarToInt64(value);
    if (units > std::numeric_limits<int64_t>::max() / Currency::kScale ||
        units < std::numeric_limits<int64_t>::min() / Currency::kScale) {
      OutOfRange(std::to_string(units), "Currency");
    }
    return Currency::FromUnits(units);
  }
  if (IsFloating(type) || value.IsString()) return DoubleToCurrency(VarToDouble(value));
  CannotConvert(value, "Currency");
}

bool VarToBool(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  const VarType type = value.Type();
  if (type == varEmpty) return false;
  if (value.IsString()) {
    const std::string text = TextOf(value);
    if (SameNameAscii(text, "TRUE")) return true;
    if (SameNameAscii(text, "FALSE")) return false;
    if (const auto number = TryStrToFloat(text)) return *number != 0;
    CannotConvert(value, "Boolean");
  }
  if (HeldAsInt64(type) || type == varUInt64 || IsFloating(type) || type == varCurrency) {
    return VarToDouble(value) != 0;
  }
  CannotConvert(value, "Boolean");
}

std::string VarToStr(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  const VarType type = value.Type();
  switch (type) {
    case varEmpty:
      return "";
    case varOleStr:
      return Utf16ToUtf8(value.WideValue());
    case varString:
      return value.AnsiValue();
    case varBoolean:
      return value.BooleanValue() ? "True" : "False";
    case varUInt64:
      return std::to_string(value.UnsignedValue());
    case varSingle:
      return FloatToStrPrecision(value.SingleValue(), 7);
    case varDouble:
      return FloatToStr(value.DoubleValue());
    case varDate:
      return DateTimeToStr(value.DoubleValue());
    case varCurrency:
      return CurrToStr(value.CurrencyValue());
    default:
      break;
  }
  if (HeldAsInt64(type)) return std::to_string(value.IntegerValue());
  CannotConvert(value, "String");
}

std::u16string VarToWide(const OleVariant& input) {
  const OleVariant& value = input.Resolved();
  if (value.Type() == varOleStr) return value.WideValue();
  return Utf8ToUtf16(VarToStr(value));
}

DispatchPtr VarToDispatch(const OleVariant& input) {
  OleVariant holder;
  const OleVariant& value = Plain(input, holder);
  if (value.Type() == varDispatch || value.Type() == varUnknown) return value.DispatchValue();
  if (value.Type() == varEmpty) return DispatchPtr();
  CannotConvert(value, "Dispatch");
}

}  // namespace tallowmer
