#include "ui/uBaseSettingsDeviceFrm.h"

#include "common/uEquipmentErrors.h"
#include "ui/ufmCommonSettings.h"

namespace tallowmer {

int32_t TfrmBaseSettings::EnableDevice(std::string& ResultDescription) {
  ResultDescription.clear();
  SetBusy(true);
  FDeviceManager->StoreSettings();
  return SaveAndEnable(ResultDescription);
}

int32_t TfrmBaseSettings::EnableDevice() {
  std::string ignored;
  return EnableDevice(ignored);
}

int32_t TfrmBaseSettings::EnableDevice(const std::vector<std::string>& Settings,
                                       std::string& ResultDescription) {
  ResultDescription.clear();
  SetBusy(true);
  FDeviceManager->StoreSettings(Settings);
  return SaveAndEnable(ResultDescription);
}

int32_t TfrmBaseSettings::EnableDevice(const std::vector<std::string>& Settings) {
  std::string ignored;
  return EnableDevice(Settings, ignored);
}

int32_t TfrmBaseSettings::SaveAndEnable(std::string& ResultDescription) {
  bool allowClose = true;
  OnSaveSettings(allowClose);
  // The saved copy stays: the caller's DisableDevice puts it back.
  if (!allowClose) return kResultBadSettings;
  OnSaveSettings();
  return FDeviceManager->Enable(ResultDescription);
}

void TfrmBaseSettings::DisableDevice() {
  FDeviceManager->Disable();
  FDeviceManager->RestoreSettings();
  SetBusy(false);
}

void TfrmBaseSettings::NotifyOwner(const std::string& Msg, const std::string& Data) {
  if (FOwnerFrm != nullptr) FOwnerFrm->NotifyPages(Msg, Data);
}

void TfrmBaseSettings::SetBusy(bool busy) {
  if (FOwnerFrm != nullptr) FOwnerFrm->SetBusy(busy);
}

}  // namespace tallowmer
