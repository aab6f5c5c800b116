#include <gtest/gtest.h>

#include <ostream>

#include "common/uCommon.h"
#include "tests/device/DeviceFixture.h"

namespace tallowmer {
namespace {

using testing::DeviceFixture;
using testing::PublicCall;

struct TypeNameCase {
  const char* label;
  const char* identifier;
  const char* displayName;
};

void PrintTo(const TypeNameCase& c, std::ostream* out) {
  *out << c.label;
}

class EquipmentTypeNameTest : public ::testing::TestWithParam<TypeNameCase> {};

TEST_P(EquipmentTypeNameTest, ComparesExactly) {
  EXPECT_EQ(GetEquipmentTypeName(GetParam().identifier), GetParam().displayName);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceInfo, EquipmentTypeNameTest,
    ::testing::Values(TypeNameCase{"First", "Unknown", "Неизвестный тип"},
                      TypeNameCase{"Loyalty", "LoyaltySystem", "Система лояльности"},
                      TypeNameCase{"WithDigit", "EcrOnline3", "ККТ с функцией передачи в ОФД БПО 3.X"},
                      TypeNameCase{"Last", "FastPaymentSystem", "Cистема быстрых платежей"},
                      TypeNameCase{"NoCaseFolding", "loyaltysystem", "loyaltysystem"},
                      TypeNameCase{"PrefixOnly", "Scale ", "Scale "}, TypeNameCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<TypeNameCase>& info) { return std::string(info.param.label); });

TEST(DeviceInfo, FastPaymentSystemIsShownWithALatinC) {
  const std::string name = GetEquipmentTypeName("FastPaymentSystem");
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name[0], 'C');
}

TEST(DeviceInfo, ContactBlockHasOneLabelledLinePerField) {
  TDeviceInfoStruct info;
  EXPECT_EQ(FormatContactInfo(info), "E-mail:\t\r\nWeb:\t\r\nТел:\t\r\nАдрес:\t\r\n");
  info.CI_email = "a@b";
  info.CI_www = "w";
  info.CI_Phones = "1, 2";
  info.CI_address = "Москва";
  EXPECT_EQ(FormatContactInfo(info), "E-mail:\ta@b\r\nWeb:\tw\r\nТел:\t1, 2\r\nАдрес:\tМосква\r\n");
}

TEST(DeviceInfo, VersionTextLeavesTheReleaseOut) {
  TDeviceInfoStruct info;
  info.MajorVersion = 2;
  info.MinorVersion = 0;
  info.BuildVersion = 17;
  EXPECT_EQ(FormatDeviceVersion(info), "2.0.17");
}

class DeviceInfoTest : public DeviceFixture {};

TEST_F(DeviceInfoTest, DefaultsComeFromTheModuleAndTheMaker) {
  const TDeviceInfoStruct& info = device->DeviceInfo();
  EXPECT_EQ(info.TypeName, "Unknown");
  EXPECT_EQ(info.ModelID, "");
  EXPECT_EQ(info.MajorVersion, 2);
  EXPECT_EQ(info.MinorVersion, 0);
  EXPECT_EQ(info.BuildVersion, 17);
  EXPECT_EQ(device->GetDeviceVersion(), "2.0.17");
  EXPECT_EQ(info.ProcessorType, 1);
  EXPECT_FALSE(info.IsSettingsDlgExist);
  EXPECT_EQ(info.DeveloperName, "ООО \"QUORVANE\"");
  for (const std::string* contact : {&info.CI_email, &info.CI_www, &info.CI_Phones, &info.CI_address}) {
    EXPECT_FALSE(contact->empty());
  }
  EXPECT_EQ(info.DriverURL, "");
  EXPECT_EQ(info.DriverDescription, "");
}

TEST_F(DeviceInfoTest, GetDeviceInfoSendsFifteenElementsWithTheirKinds) {
  OleVariant outData;
  const testing::Outcome outcome = PublicCall(*device, "GetDeviceInfo", OleVariant(), outData);
  EXPECT_TRUE(VarToBool(outcome.result));
  ASSERT_TRUE(outData.IsArray());
  const SafeArray& sent = *outData.ArrayValue();
  ASSERT_EQ(sent.DimensionCount(), 1);
  EXPECT_EQ(sent.LowBound(1), 0);
  ASSERT_EQ(sent.HighBound(1), 14);

  // A device that leaves FillDeviceInfo alone sends the defaults.
  const OleVariant expected[] = {
      OleVariant::Text("Unknown"),
      OleVariant::Text(""),
      OleVariant::Text(""),
      OleVariant::Int32(2),
      OleVariant::Int32(0),
      OleVariant::Int32(17),
      OleVariant::Text(""),
      OleVariant::Int32(1),
      OleVariant::Boolean(false),
      OleVariant::Text(""),
      OleVariant::Text(kDeveloperName),
      OleVariant::Text(kDeveloperEmail),
      OleVariant::Text(kDeveloperWeb),
      OleVariant::Text(kDeveloperPhones),
      OleVariant::Text(kDeveloperAddress),
  };
  for (int32_t i = 0; i <= 14; ++i) {
    EXPECT_EQ(sent.At(i).Type(), expected[i].Type()) << "element " << i;
    EXPECT_EQ(VarToLogStr(sent.At(i)), VarToLogStr(expected[i])) << "element " << i;
  }
}

}  // namespace
}  // namespace tallowmer
