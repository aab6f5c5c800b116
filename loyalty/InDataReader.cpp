#include "loyalty/InDataReader.h"

#include "common/Exceptions.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"

namespace tallowmer {

const OleVariant& InDataReader::Required(int32_t index) const {
  const SafeArray* array = inData_.IsArray() ? inData_.ArrayValue() : nullptr;
  if (array == nullptr || array->DimensionCount() != 1)
    throw EConvertError("InData не является одномерным массивом");
  if (!array->Contains(std::span<const int32_t>(&index, 1))) {
    throw ERangeError("В InData нет элемента " + std::to_string(index));
  }
  return array->At(index).Resolved();
}

std::string InDataReader::RequiredStr(int32_t index) const {
  return VarToStr(Required(index));
}

int32_t InDataReader::RequiredInt(int32_t index) const {
  return VarToInt32(Required(index));
}

double InDataReader::RequiredDate(int32_t index) const {
  return VarToDouble(Required(index));
}

Currency InDataReader::RequiredCurr(int32_t index) const {
  return VarToCurrency(Required(index));
}

std::string InDataReader::OptionalStr(int32_t index, const std::string& defaultValue) const {
  return GetArrayItemStr(inData_, index, defaultValue);
}

int32_t InDataReader::OptionalInt(int32_t index, int32_t defaultValue) const {
  return GetArrayItemInt(inData_, index, defaultValue);
}

Currency InDataReader::OptionalCurr(int32_t index) const {
  return DoubleToCurrency(GetArrayItemDbl(inData_, index, 0.0));
}

double InDataReader::OptionalDate(int32_t index) const {
  return GetArrayItemDate(inData_, index);
}

OleVariant InDataReader::OptionalVariant(int32_t index) const {
  return GetArrayItem(inData_, index);
}

}  // namespace tallowmer
