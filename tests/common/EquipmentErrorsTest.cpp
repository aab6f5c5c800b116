#include <gtest/gtest.h>

#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"

namespace tallowmer {
namespace {

TEST(ResultDescriptionTest, PicksTheDescriptionOrTheTableText) {
  struct Case {
    int32_t code;
    const char* description;
    const char* expected;
  };
  const Case cases[] = {
      {0, "что-то", "Нет ошибок"},
      {1004, "своё", "своё"},
      {1004, "", "Ошибка входных параметров команды"},
      {1021, "", "Неизвестная ошибка"},
      {-1, "", "Неизвестная ошибка"},
      {400, "Не введен идентификатор заказа", "Не введен идентификатор заказа"},
      {99001, "", "Ошибок нет"},
      {3017, "", "Недостаточно наличности в кассе"},
      {99115, "",
       "Специфичная для данного класса устройств ошибка. Расширенная информация в дополнительном описании "
       "ошибки"},
  };
  for (const Case& c : cases) EXPECT_EQ(GetResultDescription(c.code, c.description), c.expected) << c.code;
  EXPECT_EQ(FindResultText(3016), nullptr);
  EXPECT_STREQ(FindResultText(2001), FindResultText(8001));
}

TEST(MakeResultArrayTest, HoldsCodeAndDescriptionAndOptionalExtraData) {
  const OleVariant plain = MakeResultArray(1003, "");
  const SafeArray* array = plain.ArrayValue();
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->LowBound(1), 0);
  EXPECT_EQ(array->HighBound(1), 1);
  EXPECT_EQ(array->At(0).Type(), varInteger);
  EXPECT_EQ(VarToInt32(array->At(0)), 1003);
  EXPECT_EQ(array->At(1).Type(), varOleStr);
  EXPECT_EQ(VarToStr(array->At(1)), "Команда не поддерживается устройством");

  const OleVariant extended = MakeResultArray(70, "нет", OleVariant::Vector({OleVariant::Int32(1)}));
  ASSERT_EQ(extended.ArrayValue()->HighBound(1), 2);
  EXPECT_TRUE(extended.ArrayValue()->At(2).IsArray());
  EXPECT_EQ(VarToStr(extended.ArrayValue()->At(1)), "нет");
}

}  // namespace
}  // namespace tallowmer
