// The settings registry of TBaseObject and the seven-row table in which the host exchanges it.

#include <memory>
#include <utility>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "core/uCOMSupport.h"

namespace tallowmer {
namespace {

enum SettingsTableRow : int32_t {
  kRowId = 0,
  kRowValue,
  kRowValueType,
  kRowDefault,
  kRowReadOnly,
  kRowName,
  kRowDescription,
  kRowCount
};

// Nothing to hide: an empty value, null or an empty text shows only that no secret is set.
bool IsBlankForLog(const OleVariant& value) {
  const OleVariant& resolved = value.Resolved();
  return resolved.IsEmpty() || resolved.IsNull() || (resolved.IsString() && VarToStr(resolved).empty());
}

// A two-dimensional array with at least the rows of the setting's ID and value: a settings table as
// the host exchanges it, whatever else it holds.
bool IsSettingsTableShape(const SafeArray& array) {
  return array.DimensionCount() == 2 && array.LowBound(1) <= kRowId && array.HighBound(1) >= kRowValue;
}

}  // namespace

const TSettingStruct* TBaseObject::FindSettingEntry(const std::string& id) const {
  for (const TSettingStruct& entry : FSettingList) {
    if (SameNameAscii(entry.ID, id)) return &entry;
  }
  return nullptr;
}

TSettingStruct* TBaseObject::FindSettingEntry(const std::string& id) {
  return const_cast<TSettingStruct*>(std::as_const(*this).FindSettingEntry(id));
}

void TBaseObject::MarkSecretSetting(const std::string& id) {
  if (!IsSecretSetting(id)) FSecretSettingIds.push_back(id);
}

void TBaseObject::LimitSettingLength(const std::string& id, size_t maxCharacters,
                                     const std::string& refusal) {
  FSettingLengthLimits.push_back({id, maxCharacters, refusal});
}

bool TBaseObject::IsSecretSetting(const std::string& id) const {
  for (const std::string& secret : FSecretSettingIds) {
    if (SameNameAscii(secret, id)) return true;
  }
  return false;
}

bool TBaseObject::IsSecretCell(const SafeArray& table, int32_t column) const {
  const OleVariant& id = table.At(kRowId, column).Resolved();
  return id.IsString() && IsSecretSetting(VarToStr(id)) && !IsBlankForLog(table.At(kRowValue, column));
}

bool TBaseObject::HoldsSecretValue(const OleVariant& value) const {
  const OleVariant& resolved = value.Resolved();
  const SafeArray* array = resolved.IsArray() ? resolved.ArrayValue() : nullptr;
  if (array == nullptr) return false;
  if (IsSettingsTableShape(*array)) {
    // Counted in 64 bits: the columns may end at the largest 32-bit index.
    for (int64_t column = array->LowBound(2); column <= array->HighBound(2); ++column) {
      if (IsSecretCell(*array, static_cast<int32_t>(column))) return true;
    }
  }
  for (const OleVariant& element : array->Elements()) {
    if (HoldsSecretValue(element)) return true;
  }
  return false;
}

OleVariant TBaseObject::WithSecretValuesMasked(const OleVariant& value) const {
  if (!HoldsSecretValue(value)) return value;
  // A copy of what the host lent: the host's own values stay untouched.
  OleVariant copy = value.IsByRef() ? value.Dereferenced() : value;
  SafeArray& array = *copy.ArrayValue();
  if (IsSettingsTableShape(array)) {
    for (int64_t wide = array.LowBound(2); wide <= array.HighBound(2); ++wide) {
      const auto column = static_cast<int32_t>(wide);
      if (IsSecretCell(array, column)) array.At(kRowValue, column) = OleVariant::Text("***");
    }
  }
  for (OleVariant& element : array.Elements()) element = WithSecretValuesMasked(element);
  return copy;
}

std::string TBaseObject::TraceText(const OleVariant& value) const {
  return VarToLogStr(WithSecretValuesMasked(value));
}

std::string TBaseObject::TraceText(const SafeArray& params) const {
  for (const OleVariant& element : params.Elements()) {
    if (HoldsSecretValue(element)) return TraceText(OleVariant::Array(std::make_unique<SafeArray>(params)));
  }
  return VarToLogStr(params);
}

std::string TBaseObject::SettingLogText(const TSettingStruct& setting) const {
  if (IsSecretSetting(setting.ID) && !IsBlankForLog(setting.Value))
    return VarToLogStr(OleVariant::Text("***"));
  return VarToLogStr(setting.Value);
}

void TBaseObject::AddSetting(const std::string& id, TDataType valueType, const OleVariant& defaultValue,
                             bool readOnly, const std::string& name, const std::string& description) {
  if (TSettingStruct* existing = FindSettingEntry(id)) {
    // A second declaration resets the value but keeps the first caption, type and position.
    existing->Value = defaultValue;
    existing->Default = defaultValue;
    existing->ReadOnly = readOnly;
    existing->Description = description;
    return;
  }
  FSettingList.push_back(
      TSettingStruct{id, defaultValue, valueType, defaultValue, readOnly, name, description});
}

OleVariant TBaseObject::GetSettingValue(const std::string& id, bool isDefault) const {
  const TSettingStruct* entry = FindSettingEntry(id);
  if (entry == nullptr) return OleVariant();
  return isDefault ? entry->Default : entry->Value;
}

bool TBaseObject::GetSettingValueBool(const std::string& id) const {
  return VarToBool(GetSettingValue(id));
}

int32_t TBaseObject::GetSettingValueInt(const std::string& id) const {
  return VarToInt32(GetSettingValue(id));
}

Currency TBaseObject::GetSettingValueCurr(const std::string& id) const {
  return VarToCurrency(GetSettingValue(id));
}

double TBaseObject::GetSettingValueDbl(const std::string& id) const {
  return VarToDouble(GetSettingValue(id));
}

double TBaseObject::GetSettingValueDate(const std::string& id) const {
  return VarToDouble(GetSettingValue(id));
}

std::string TBaseObject::GetSettingValueStr(const std::string& id) const {
  return VarToStr(GetSettingValue(id));
}

bool TBaseObject::GetSettingReadOnly(const std::string& id) const {
  const TSettingStruct* entry = FindSettingEntry(id);
  return entry != nullptr && entry->ReadOnly;
}

void TBaseObject::SetSettingValue(const std::string& id, const OleVariant& value) {
  if (TSettingStruct* entry = FindSettingEntry(id)) {
    entry->Value = value;
  }
}

void TBaseObject::SetAllSettingsDefault() {
  for (TSettingStruct& entry : FSettingList) entry.Value = entry.Default;
}

OleVariant TBaseObject::BuildSettingsTable() const {
  auto table = SafeArray::Create2D({0, kRowCount}, {0, static_cast<int32_t>(FSettingList.size())});
  for (size_t i = 0; i < FSettingList.size(); ++i) {
    const TSettingStruct& entry = FSettingList[i];
    const auto column = static_cast<int32_t>(i);
    table->At(kRowId, column) = OleVariant::Text(entry.ID);
    table->At(kRowValue, column) = entry.Value;
    table->At(kRowValueType, column) = OleVariant::Text(DataTypeName(entry.ValueType));
    table->At(kRowDefault, column) = entry.Default;
    table->At(kRowReadOnly, column) = OleVariant::Boolean(entry.ReadOnly);
    table->At(kRowName, column) = OleVariant::Text(entry.Name);
    table->At(kRowDescription, column) = OleVariant::Text(entry.Description);
  }
  return OleVariant::Array(std::move(table));
}

void TBaseObject::ApplySettingsTable(const OleVariant& table) {
  const OleVariant& resolved = table.Resolved();
  const SafeArray* array = resolved.IsArray() ? resolved.ArrayValue() : nullptr;
  if (array == nullptr || array->DimensionCount() != 2) {
    throw EConvertError("Таблица настроек должна быть двумерным массивом");
  }
  for (int64_t wide = array->LowBound(2); wide <= array->HighBound(2); ++wide) {
    const auto column = static_cast<int32_t>(wide);
    const std::string id = VarToStr(array->At(kRowId, column));
    if (TSettingStruct* entry = FindSettingEntry(id)) {
      entry->Value = array->At(kRowValue, column).Resolved();
    }
  }
}

std::string TBaseObject::RefusedSettingsTable(const OleVariant& table) const {
  const OleVariant& resolved = table.Resolved();
  const SafeArray* array = resolved.IsArray() ? resolved.ArrayValue() : nullptr;
  if (array == nullptr || array->DimensionCount() != 2) return "";
  for (int64_t wide = array->LowBound(2); wide <= array->HighBound(2); ++wide) {
    const auto column = static_cast<int32_t>(wide);
    const std::string id = VarToStr(array->At(kRowId, column));
    for (const LengthLimit& limit : FSettingLengthLimits) {
      if (!SameNameAscii(limit.id, id)) continue;
      const OleVariant& value = array->At(kRowValue, column).Resolved();
      if (value.IsString() && Utf8ToUtf16(VarToStr(value)).size() > limit.maxCharacters) return limit.refusal;
    }
  }
  return "";
}

}  // namespace tallowmer
