#pragma once

// TfrmMainSettings: the loyalty driver's page "Параметры", which edits the connection settings
// "Host" and "Token".

#include <string>
#include <vector>

#include "ui/uBaseSettingsDeviceFrm.h"

namespace tallowmer {

class TfrmMainSettings : public TfrmBaseSettings {
 public:
  using TfrmBaseSettings::OnSaveSettings;
  using TfrmBaseSettings::TfrmBaseSettings;

  void OnReadSettings() override;
  void OnSaveSettings() override;

  std::string Caption() const override { return "Параметры"; }
  TRect ClientRect() const override { return {0, 0, 412, 100}; }
  // "Адрес сервера:" over `edHost`, then "Token:" over the masked `edToken`, in tab order.
  std::vector<TPageEdit> Edits() override;

  // The texts of the two edit boxes, exactly as typed.
  std::string edHost;
  std::string edToken;
};

}  // namespace tallowmer
