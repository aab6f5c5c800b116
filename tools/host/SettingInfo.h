#pragma once

#include <string>

namespace tallowmer::host {

// One setting as the driver declares it.
struct SettingInfo {
  std::string id;
  // "Number", "String", "Date" or "Boolean".
  std::string type;
  // The default as JSON, as a settings file would hold it.
  std::string defaultText;
  std::string name;
  std::string description;
  bool secret = false;
};

}  // namespace tallowmer::host
