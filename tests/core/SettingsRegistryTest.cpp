#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "common/VariantConvert.h"
#include "tests/core/TestObject.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

class SettingsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    object->AddSetting("EventLogEnabled", dtBoolean, OleVariant::Boolean(false), false, "Журнал",
                       "Журнал событий");
    object->AddSetting("Token", dtString, OleVariant::Text(""), true, "Token", "Token");
    object->AddSetting("Host", dtString, OleVariant::Text("https://a/api/v2"), false, "Хост", "Хост сервера");
  }

  testing::TestEnv env;
  testing::TestObjectHolder object;
};

TEST_F(SettingsRegistryTest, DeclaringAgainResetsValueButKeepsCaptionTypeAndPosition) {
  object->SetSettingValue("Host", OleVariant::Text("edited"));
  object->AddSetting("Host", dtNumber, OleVariant::Text("https://b/api/v2"), true, "Другой",
                     "Новое описание");
  const TSettingStruct& host = object->SettingList().back();
  EXPECT_EQ(host.ID, "Host");
  EXPECT_EQ(VarToStr(host.Value), "https://b/api/v2");
  EXPECT_EQ(host.ValueType, dtString);
  EXPECT_EQ(host.Name, "Хост");
  EXPECT_EQ(host.Description, "Новое описание");
  EXPECT_TRUE(host.ReadOnly);
  EXPECT_EQ(object->SettingList().size(), 5u);
}

TEST_F(SettingsRegistryTest, LookupFoldsAsciiCaseAndMissingIdsGiveEmptyValues) {
  object->SetSettingValue("debuglogenabled", OleVariant::Boolean(true));
  EXPECT_TRUE(object->GetSettingValueBool("DEBUGLOGENABLED"));
  EXPECT_EQ(object->GetSettingValueInt("Missing"), 0);
  EXPECT_EQ(object->GetSettingValueStr("Missing"), "");
  EXPECT_FALSE(object->GetSettingValueBool("Missing"));
  EXPECT_FALSE(object->GetSettingReadOnly("Missing"));
  EXPECT_TRUE(object->GetSettingValue("Missing").IsEmpty());
  object->SetSettingValue("Missing", OleVariant::Int32(1));
  EXPECT_TRUE(object->GetSettingValue("Missing").IsEmpty());
}

TEST_F(SettingsRegistryTest, TypedGettersConvertAndRaiseOnBadValues) {
  const double date = EncodeDateTime({2024, 1, 31, 12, 0, 0, 0});
  object->SetSettingValue("DefaultTimeOut", OleVariant::Date(date));
  EXPECT_DOUBLE_EQ(object->GetSettingValueDate("DefaultTimeOut"), date);
  object->SetSettingValue("DefaultTimeOut", OleVariant::Int32(45000));
  EXPECT_DOUBLE_EQ(object->GetSettingValueDate("DefaultTimeOut"), 45000.0);
  EXPECT_EQ(object->GetSettingValueCurr("DefaultTimeOut").value, 450000000);
  object->SetSettingValue("DefaultTimeOut", OleVariant::Text("abc"));
  EXPECT_THROW(object->GetSettingValueInt("DefaultTimeOut"), EConvertError);
  EXPECT_EQ(object->GetSettingValue("DefaultTimeOut", true).Type(), varInteger);
}

TEST_F(SettingsRegistryTest, ReadOnlyIsReportedButNotEnforced) {
  EXPECT_TRUE(object->GetSettingReadOnly("token"));
  object->SetSettingValue("Token", OleVariant::Text("secret"));
  EXPECT_EQ(object->GetSettingValueStr("Token"), "secret");
}

TEST_F(SettingsRegistryTest, TableHasSevenRowsPerSettingInRegistryOrder) {
  const OleVariant table = object->BuildSettingsTable();
  const SafeArray& array = *table.ArrayValue();
  ASSERT_EQ(array.DimensionCount(), 2);
  EXPECT_EQ(array.HighBound(1), 6);
  EXPECT_EQ(array.HighBound(2), 4);
  EXPECT_EQ(VarToStr(array.At(0, 0)), "DefaultTimeOut");
  EXPECT_EQ(array.At(1, 0).Type(), varInteger);
  EXPECT_EQ(VarToStr(array.At(2, 0)), "Number");
  EXPECT_EQ(VarToStr(array.At(2, 1)), "Boolean");
  EXPECT_EQ(array.At(4, 3).Type(), varBoolean);
  EXPECT_TRUE(VarToBool(array.At(4, 3)));
  EXPECT_EQ(VarToStr(array.At(5, 4)), "Хост");
  EXPECT_EQ(VarToStr(array.At(6, 4)), "Хост сервера");
}

TEST_F(SettingsRegistryTest, TableRoundTripChangesOnlyEditedValues) {
  const OleVariant unchanged = object->BuildSettingsTable();
  object->ApplySettingsTable(unchanged);
  EXPECT_EQ(VarToLogStr(object->BuildSettingsTable()), VarToLogStr(unchanged));

  // Changed through ArrayValue(), which is const, so the check takes the copy as unchanged.
  OleVariant edited = unchanged;  // NOLINT(performance-unnecessary-copy-initialization)
  edited.ArrayValue()->At(1, 3) = OleVariant::Text("new token");
  edited.ArrayValue()->At(0, 3) = OleVariant::Text("token");
  edited.ArrayValue()->At(1, 0) = OleVariant::Int32(30);
  object->ApplySettingsTable(edited);
  EXPECT_EQ(object->GetSettingValueStr("Token"), "new token");
  EXPECT_EQ(object->GetSettingValueInt("DefaultTimeOut"), 30);
  EXPECT_EQ(object->GetSettingValueStr("Host"), "https://a/api/v2");
}

TEST_F(SettingsRegistryTest, TableColumnsMayComeInAnyOrderAndBoundsWithAbsoluteRows) {
  auto table = SafeArray::Create2D({0, 2}, {5, 2});
  table->At(0, 5) = OleVariant::Text("Unknown");
  table->At(1, 5) = OleVariant::Int32(1);
  table->At(0, 6) = OleVariant::Text("HOST");
  table->At(1, 6) = OleVariant::Text("https://c");
  object->ApplySettingsTable(OleVariant::Array(std::move(table)));
  EXPECT_EQ(object->GetSettingValueStr("Host"), "https://c");
  EXPECT_THROW(object->ApplySettingsTable(OleVariant::Vector({OleVariant::Int32(1)})), EConvertError);
}

TEST_F(SettingsRegistryTest, ATableWhoseColumnsEndAtTheLargestIndexIsRead) {
  auto table = SafeArray::Create2D({0, 2}, {INT32_MAX, 1});
  table->At(0, INT32_MAX) = OleVariant::Text("Host");
  table->At(1, INT32_MAX) = OleVariant::Text("https://last");
  object->ApplySettingsTable(OleVariant::Array(std::move(table)));
  EXPECT_EQ(object->GetSettingValueStr("Host"), "https://last");
}

TEST_F(SettingsRegistryTest, ResetGivesEveryEntryItsDefault) {
  object->SetSettingValue("Host", OleVariant::Text("x"));
  object->SetSettingValue("DefaultTimeOut", OleVariant::Int32(1));
  object->SetAllSettingsDefault();
  EXPECT_EQ(object->GetSettingValueStr("Host"), "https://a/api/v2");
  EXPECT_EQ(object->GetSettingValueInt("DefaultTimeOut"), 120);
}

}  // namespace
}  // namespace tallowmer
