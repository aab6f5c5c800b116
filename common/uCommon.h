#pragma once

// Equipment kinds, the device-information record, the module's version and the maker's contacts.

#include <cstdint>
#include <string>

namespace tallowmer {

// The maker of this driver, as the device information and the settings dialog show it.
inline constexpr const char* kDeveloperName = "ООО \"QUORVANE\"";
inline constexpr const char* kDeveloperEmail = "support@quorvane.ru";
inline constexpr const char* kDeveloperWeb = "https://quorvane.ru";
inline constexpr const char* kDeveloperPhones = "+7 (495) 120-45-67, 8 (800) 555-01-23";
inline constexpr const char* kDeveloperAddress = "123112, г. Москва, Пресненская наб., д. 12, офис 401";

struct TDeviceInfoStruct {
  std::string TypeName;
  std::string ModelID;
  std::string ModelName;
  int32_t MajorVersion = 0;
  int32_t MinorVersion = 0;
  int32_t BuildVersion = 0;
  std::string ProcessorName;
  int32_t ProcessorType = 1;
  bool IsSettingsDlgExist = false;
  std::string Description;
  std::string DeveloperName;
  std::string CI_email;
  std::string CI_www;
  std::string CI_Phones;
  std::string CI_address;
  std::string DriverURL;
  std::string DriverDescription;
};

struct TFileVersion {
  uint16_t Major = 0;
  uint16_t Minor = 0;
  uint16_t Release = 0;
  uint16_t Build = 0;
};

// The display name of an equipment kind; an unknown identifier comes back unchanged.
std::string GetEquipmentTypeName(const std::string& typeName);
// The version of a module file; an empty name means this module.
TFileVersion GetFileVersion(const std::string& fileName = "");
// "major.minor.build".
std::string FormatDeviceVersion(const TDeviceInfoStruct& info);
// Four lines "Label:\tvalue\r\n" for e-mail, web, phones and address.
std::string FormatContactInfo(const TDeviceInfoStruct& info);

}  // namespace tallowmer
