#include "ui/ufmSettingsList.h"

#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"

namespace tallowmer {

namespace {
bool IsTrue(const OleVariant& value) {
  return value.Type() == varBoolean && value.BooleanValue();
}

// One "•" for each character of `text`.
std::string Masked(const std::string& text) {
  std::string masked;
  for (const char byte : text) {
    // Continuation bytes of UTF-8 do not start a character.
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) masked += "•";
  }
  return masked;
}
}  // namespace

TfrmSettingsList::TfrmSettingsList(TBaseDevice& ADeviceManager)
    : FDeviceManager(&ADeviceManager), FRowCount(ADeviceManager.SettingsCount()) {}

std::optional<TSettingsRow> TfrmSettingsList::lvSettingsData(int32_t row) const {
  const TSettingStruct* entry = FDeviceManager->GetSetting(row);
  if (entry == nullptr) return std::nullopt;
  if (!FDeviceManager->IsSecretSetting(entry->ID))
    return TSettingsRow{entry->Name, VarToStr(entry->Value), VarToStr(entry->Default)};
  return TSettingsRow{entry->Name, Masked(VarToStr(entry->Value)), Masked(VarToStr(entry->Default)), true};
}

void TfrmSettingsList::lvSettingsChange(int32_t row) {
  EndEdit(false);
  FSelected = row;
  if (const TSettingStruct* entry = FDeviceManager->GetSetting(row)) FStatus = entry->Description;
}

void TfrmSettingsList::lvSettingsKeyDown(TKey key) {
  switch (key) {
    case TKey::Enter:
    case TKey::F2:
      BeginEdit();
      break;
    case TKey::Escape:
      EndEdit(false);
      break;
    case TKey::Other:
      break;
  }
}

void TfrmSettingsList::edEditKeyDown(TKey key) {
  if (key == TKey::Enter) {
    if (FEditorShown) {
      EndEdit(false);
    } else {
      BeginEdit();
    }
  } else if (key == TKey::Escape && FEditorShown) {
    EndEdit(true);
  }
}

void TfrmSettingsList::btnDefaultClick() {
  FDeviceManager->SetAllSettingsDefault();
  RedrawRow(-1);
}

void TfrmSettingsList::miDefaultClick() {
  TSettingStruct* entry = FDeviceManager->GetSetting(FSelected);
  if (entry == nullptr) return;
  entry->Value = entry->Default;
  RedrawRow(FSelected);
}

TRect TfrmSettingsList::EditorBounds(int32_t column0Width, int32_t column1Width, const TRect& row) {
  return {column0Width + row.Left + 3, row.Top, column1Width, row.Height + 7};
}

void TfrmSettingsList::BeginEdit() {
  if (FEditorShown || FSelected < 0) return;
  const TSettingStruct* entry = FDeviceManager->GetSetting(FSelected);
  if (entry == nullptr) return;
  if (entry->ValueType == dtBoolean) {
    FEditControl = TSettingsEditor::cbEdit;
    cbEditItemIndex = IsTrue(entry->Value) ? 1 : 0;
  } else {
    FEditControl = TSettingsEditor::edEdit;
    edEditText = VarToStr(entry->Value);
  }
  FEditorShown = true;
  if (FView != nullptr) FView->EditorChanged();
}

void TfrmSettingsList::EndEdit(bool ACancel) {
  if (!FEditorShown) return;
  TSettingStruct* entry = FDeviceManager->GetSetting(FSelected);
  if (entry != nullptr && !ACancel) {
    if (FEditControl == TSettingsEditor::cbEdit) {
      entry->Value = OleVariant::Boolean(cbEditItemIndex == 1);
    } else {
      entry->Value = TextToSettingValue(entry->ValueType, edEditText);
    }
    RedrawRow(FSelected);
  }
  FEditorShown = false;
  if (FView != nullptr) FView->EditorChanged();
}

void TfrmSettingsList::RedrawRow(int32_t row) {
  if (FView != nullptr) FView->RedrawRow(row);
}

}  // namespace tallowmer
