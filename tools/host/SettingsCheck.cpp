#include "tools/host/SettingsCheck.h"

#include <fstream>
#include <string>

#include "common/DateTime.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

const SettingInfo* FindSetting(const std::vector<SettingInfo>& settings, const std::string& id) {
  for (const SettingInfo& setting : settings) {
    if (SameNameAscii(setting.id, id)) return &setting;
  }
  return nullptr;
}

const SettingInfo& KnownSetting(const std::vector<SettingInfo>& settings, const std::string& id,
                                const std::string& where) {
  if (const SettingInfo* setting = FindSetting(settings, id)) return *setting;
  std::vector<std::string> ids;
  for (const SettingInfo& setting : settings) ids.push_back(setting.id);
  throw UsageError(where + "unknown setting " + id + "; the settings are " + Joined(ids));
}

// A --set value must read as its setting's type: a typo must not become 0 or False on the till.
void CheckTextValue(const SettingInfo& setting, const std::string& id, const std::string& text) {
  const bool valid = setting.type == "Number"    ? TryStrToFloat(text).has_value()
                     : setting.type == "Boolean" ? SameNameAscii(text, "true") || SameNameAscii(text, "false")
                     : setting.type == "Date"    ? TryStrToDateTime(text).has_value()
                                                 : true;
  if (!valid) {
    throw UsageError("--set " + id + "=" + text + ": " + setting.type +
                     (setting.type == "Boolean" ? " expects true or false" : " expected"));
  }
}

void LoadSettingsFile(HostOptions& options, const DispatchPtr& manager,
                      const std::vector<SettingInfo>& declared) {
  if (options.settingsFile.empty()) return;
  std::ifstream file(options.settingsFile);
  if (!file) throw UsageError("cannot read the settings file " + options.settingsFile);
  Json settings;
  try {
    settings = Json::parse(file);
  } catch (const Json::parse_error& error) {
    throw UsageError(options.settingsFile + ": " + error.what());
  }
  if (!settings.is_object())
    throw UsageError(options.settingsFile + ": expected an object of setting ID -> value");
  for (const auto& [id, value] : settings.items()) {
    KnownSetting(declared, id, options.settingsFile + ": ");
    try {
      options.setup.settings[id] = JsonToVariant(value, DecodeContext{manager, nullptr});
    } catch (const JsonEncodingError& error) {
      throw UsageError(options.settingsFile + ": setting " + id + ": " + error.what());
    }
  }
}

}  // namespace

void CheckSettings(HostOptions& options, const DispatchPtr& manager,
                   const std::vector<SettingInfo>& declared) {
  for (const auto& [id, text] : options.setup.textSettings)
    CheckTextValue(KnownSetting(declared, id, "--set " + id + "=" + text + ": "), id, text);
  LoadSettingsFile(options, manager, declared);
}

}  // namespace tallowmer::host
