#include "ui/ufmMainSettings.h"

namespace tallowmer {

void TfrmMainSettings::OnReadSettings() {
  TfrmBaseSettings::OnReadSettings();
  edHost = DeviceManager().GetSettingValueStr("Host");
  edToken = DeviceManager().GetSettingValueStr("Token");
}

void TfrmMainSettings::OnSaveSettings() {
  TfrmBaseSettings::OnSaveSettings();
  DeviceManager().SetSettingValue("Host", OleVariant::Text(edHost));
  DeviceManager().SetSettingValue("Token", OleVariant::Text(edToken));
}

std::vector<TPageEdit> TfrmMainSettings::Edits() {
  return {{"edHost", "Адрес сервера:", &edHost, false}, {"edToken", "Token:", &edToken, true}};
}

}  // namespace tallowmer
