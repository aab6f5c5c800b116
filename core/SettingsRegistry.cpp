// The settings registry of TBaseObject and the seven-row table in which the host exchanges it.

#include <utility>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
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

bool TBaseObject::IsSecretSetting(const std::string& id) const {
  for (const std::string& secret : FSecretSettingIds) {
    if (SameNameAscii(secret, id)) return true;
  }
  return false;
}

void TBaseObject::RememberSecret(const std::string& id, const OleVariant& value) {
  constexpr size_t kShortestSecret = 8;
  const OleVariant& resolved = value.Resolved();
  if (!IsSecretSetting(id) || !resolved.IsString()) return;
  const std::string text = VarToStr(resolved);
  if (text.size() < kShortestSecret) return;
  for (const std::string& known : FLogSecrets) {
    if (known == text) return;
  }
  FLogSecrets.push_back(text);
}

void TBaseObject::RememberSecretsIn(const OleVariant& inData) {
  if (FSecretSettingIds.empty()) return;
  const OleVariant& resolved = inData.Resolved();
  if (!resolved.IsArray() || resolved.ArrayValue() == nullptr) return;
  for (const OleVariant& element : resolved.ArrayValue()->Elements()) {
    const OleVariant& table = element.Resolved();
    const SafeArray* array = table.IsArray() ? table.ArrayValue() : nullptr;
    if (array == nullptr || array->DimensionCount() != 2 || array->LowBound(1) > kRowId ||
        array->HighBound(1) < kRowValue) {
      continue;
    }
    // Counted in 64 bits: the columns may end at the largest 32-bit index.
    for (int64_t wide = array->LowBound(2); wide <= array->HighBound(2); ++wide) {
      const auto column = static_cast<int32_t>(wide);
      const OleVariant& id = array->At(kRowId, column).Resolved();
      if (id.IsString()) RememberSecret(VarToStr(id), array->At(kRowValue, column));
    }
  }
}

std::string TBaseObject::MaskSecrets(std::string text) const {
  for (const std::string& secret : FLogSecrets) {
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
      text.replace(at, secret.size(), "***");
    }
  }
  return text;
}

void TBaseObject::AddSetting(const std::string& id, TDataType valueType, const OleVariant& defaultValue,
                             bool readOnly, const std::string& name, const std::string& description) {
  RememberSecret(id, defaultValue);
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
    RememberSecret(entry->ID, value);
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
      RememberSecret(entry->ID, entry->Value);
    }
  }
}

}  // namespace tallowmer
