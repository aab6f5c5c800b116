#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

class CommonUtilsTest : public ::testing::Test {
 protected:
  testing::TestEnv env;
};

OleVariant Matrix2x3() {
  auto array = SafeArray::Create2D({0, 2}, {0, 3});
  const char* names[] = {"a", "b", "c", "d", "e", "f"};
  int k = 0;
  for (int32_t j = 0; j < 3; ++j) {
    for (int32_t i = 0; i < 2; ++i) array->At(i, j) = OleVariant::Text(names[k++]);
  }
  return OleVariant::Array(std::move(array));
}

TEST_F(CommonUtilsTest, VarToLogStrRendersEveryKind) {
  const std::pair<OleVariant, std::string> cases[] = {
      {OleVariant(), "EMPTY"},
      {OleVariant::Null(), "NULL"},
      {OleVariant::Int32(-5), "-5"},
      {OleVariant::Int16(7), "7"},
      {OleVariant::Double(12.5), "12.5"},
      {OleVariant::FromCurrency(Currency{1505000}), "150.5"},
      {OleVariant::Boolean(true), "True"},
      {OleVariant::Byte(65), "A"},
      {OleVariant::Text("ab\r\ncd"), "'ab\\ncd'"},
      {OleVariant::Text("ab\ncd"), "'ab\ncd'"},
      {OleVariant::Ansi("x"), "'x'"},
      {OleVariant::Date(EncodeDateTime({2024, 1, 31, 10, 20, 30, 0})), "31.01.2024 10:20:30"},
      {OleVariant::Int64(5), ""},
      {OleVariant::Vector({OleVariant::Int32(1), OleVariant::Int32(2)}), "[(1; 2)]"},
      {OleVariant::Vector(
           {OleVariant::Int32(1), OleVariant::Vector({OleVariant::Int32(3), OleVariant::Int32(4)})}),
       "[(1; [(3; 4)])]"},
      {OleVariant::Vector({}), "[()]"},
      {OleVariant::Array(nullptr), "EMPTY"},
      {Matrix2x3(), "[(('a'; 'b')('c'; 'd')('e'; 'f'))]"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(VarToLogStr(value), expected) << expected;
}

TEST_F(CommonUtilsTest, VarToLogStrRendersAnArrayEndingAtTheLargestIndex) {
  EXPECT_EQ(VarToLogStr(OleVariant::Vector({OleVariant::Int32(1), OleVariant::Int32(2)}, INT32_MAX - 1)),
            "[(1; 2)]");
}

TEST_F(CommonUtilsTest, VarToLogStrFollowsReferences) {
  int32_t number = 9;
  OleVariant text = OleVariant::Text("t");
  EXPECT_EQ(VarToLogStr(OleVariant::RefInteger(&number)), "9");
  EXPECT_EQ(VarToLogStr(OleVariant::RefVariant(&text)), "'t'");
}

TEST_F(CommonUtilsTest, ArrayItemExistsNeedsAPresentNonEmptyElement) {
  const OleVariant array = OleVariant::Vector({OleVariant::Int32(5), OleVariant(), OleVariant::Null()});
  EXPECT_TRUE(ArrayItemExists(array, 0));
  EXPECT_FALSE(ArrayItemExists(array, 1));
  EXPECT_FALSE(ArrayItemExists(array, 2));
  EXPECT_FALSE(ArrayItemExists(array, 3));
  EXPECT_FALSE(ArrayItemExists(OleVariant::Int32(5), 0));
  EXPECT_FALSE(ArrayItemExists(OleVariant(), 0));
  // Below the lower bound there is no element either.
  EXPECT_FALSE(ArrayItemExists(OleVariant::Vector({OleVariant::Int32(5)}, 1), 0));
}

TEST_F(CommonUtilsTest, ArrayReadersGiveDefaultsUnconvertedAndConvertPresentElements) {
  const OleVariant array = OleVariant::Vector({OleVariant::Text("12"), OleVariant::Text("abc")});
  EXPECT_EQ(GetArrayItemStr(array, 5, "default"), "default");
  EXPECT_EQ(GetArrayItemInt(array, 0, -1), 12);
  EXPECT_EQ(GetArrayItemInt(array, 9, -1), -1);
  EXPECT_DOUBLE_EQ(GetArrayItemDbl(array, 0, 0), 12.0);
  EXPECT_THROW(GetArrayItemInt(array, 1, 0), EConvertError);
  EXPECT_TRUE(GetArrayItem(array, 7).IsEmpty());

  env.fixedClock = true;
  EXPECT_DOUBLE_EQ(GetArrayItemDate(array, 4), EncodeDateTime(env.clock));
}

TEST_F(CommonUtilsTest, TextToSettingValueByType) {
  EXPECT_TRUE(VarToBool(TextToSettingValue(dtBoolean, "true")));
  EXPECT_FALSE(VarToBool(TextToSettingValue(dtBoolean, "yes")));
  const OleVariant number = TextToSettingValue(dtNumber, "abc");
  EXPECT_EQ(number.Type(), varDouble);
  EXPECT_DOUBLE_EQ(number.DoubleValue(), 0.0);
  EXPECT_DOUBLE_EQ(TextToSettingValue(dtNumber, "2.5").DoubleValue(), 2.5);
  EXPECT_EQ(TextToSettingValue(dtString, "x").Type(), varOleStr);
  const OleVariant date = TextToSettingValue(dtDateTime, "31.01.2024");
  EXPECT_EQ(date.Type(), varDate);
  EXPECT_DOUBLE_EQ(date.DoubleValue(), EncodeDateTime({2024, 1, 31, 0, 0, 0, 0}));
  EXPECT_EQ(TextToSettingValue(dtDateTime, "someday").Type(), varOleStr);
  EXPECT_EQ(DataTypeName(dtDateTime), "Date");
  EXPECT_EQ(DataTypeName(static_cast<TDataType>(9)), "");
}

// On POSIX "everyone" is the folder's group: the logs hold customers' personal data.
TEST_F(CommonUtilsTest, GrantEveryoneFullAccessSharesTheFolderWithItsGroup) {
  const std::string folder = env.Root() + "logs";
  ForceDirectories(folder + "/nested");
  GrantEveryoneFullAccess(folder);
  GrantEveryoneFullAccess(folder);
  struct stat status {};
  ASSERT_EQ(::stat(folder.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 03770u);
  EXPECT_THROW(GrantEveryoneFullAccess(env.Root() + "missing"), EOSError);
}

// A log folder swapped for a link to a folder of the host's must not open that folder to everyone.
TEST_F(CommonUtilsTest, GrantingAccessThroughALinkLeavesTheFolderItLeadsToAlone) {
  const std::string hosts = env.Root() + "hosts";
  ForceDirectories(hosts);
  ASSERT_EQ(::chmod(hosts.c_str(), 0700), 0);
  std::filesystem::create_directory_symlink(hosts, env.Root() + "logs");
  GrantEveryoneFullAccess(env.Root() + "logs");
  struct stat status {};
  ASSERT_EQ(::stat(hosts.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
}

TEST_F(CommonUtilsTest, CommonAppDataFolderEndsWithADelimiter) {
  EXPECT_EQ(GetCommonAppDataFolder(), env.Root() + "common/");
  EXPECT_EQ(ExtractFileNameWithoutExtension("/opt/x/ls_tallowmer.dll"), "ls_tallowmer");
  EXPECT_EQ(IncludeTrailingPathDelimiter("a/"), "a/");
}

}  // namespace
}  // namespace tallowmer
