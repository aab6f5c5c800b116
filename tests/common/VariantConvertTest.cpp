#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "common/Exceptions.h"
#include "common/FormatSettings.h"
#include "common/VariantConvert.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

class VariantConvertTest : public ::testing::Test {
 protected:
  testing::TestEnv env;
};

struct IntCase {
  const char* label;
  OleVariant value;
  int32_t expected;
};

TEST_F(VariantConvertTest, ConvertsToInt32RoundingHalfToEven) {
  const IntCase cases[] = {
      {"empty", OleVariant(), 0},
      {"2.5 rounds down to even", OleVariant::Double(2.5), 2},
      {"3.5 rounds up to even", OleVariant::Double(3.5), 4},
      {"-2.5", OleVariant::Double(-2.5), -2},
      {"2.4999", OleVariant::Double(2.4999), 2},
      {"currency 2.5", OleVariant::FromCurrency(Currency{25000}), 2},
      {"currency 3.5", OleVariant::FromCurrency(Currency{35000}), 4},
      {"currency -1.5", OleVariant::FromCurrency(Currency{-15000}), -2},
      {"true", OleVariant::Boolean(true), -1},
      {"false", OleVariant::Boolean(false), 0},
      {"text integer", OleVariant::Text(" 42 "), 42},
      {"text fraction", OleVariant::Text("6.5"), 6},
      {"byte", OleVariant::Byte(200), 200},
      {"int64 in range", OleVariant::Int64(-7), -7},
  };
  for (const IntCase& c : cases) EXPECT_EQ(VarToInt32(c.value), c.expected) << c.label;
}

TEST_F(VariantConvertTest, RaisesConversionAndRangeErrors) {
  const std::pair<const char*, OleVariant> conversionFailures[] = {
      {"null", OleVariant::Null()},
      {"non-numeric text", OleVariant::Text("abc")},
      {"array", OleVariant::Vector({OleVariant::Int32(1)})},
  };
  for (const auto& [label, value] : conversionFailures) {
    EXPECT_THROW(VarToInt32(value), EConvertError) << label;
  }
  const std::pair<const char*, OleVariant> rangeFailures[] = {
      {"double above 32 bits", OleVariant::Double(2147483648.0)},
      {"double below 32 bits", OleVariant::Double(-2147483649.0)},
      {"int64 above 32 bits", OleVariant::Int64(int64_t{1} << 40)},
      {"nan", OleVariant::Double(std::nan(""))},
  };
  for (const auto& [label, value] : rangeFailures) EXPECT_THROW(VarToInt32(value), ERangeError) << label;
  // Both are errors of the system's base class, so a dispatcher can report them uniformly.
  EXPECT_THROW(VarToDouble(OleVariant::Null()), Exception);
}

TEST_F(VariantConvertTest, TextToNumberFollowsTheCurrentDecimalSeparator) {
  EXPECT_DOUBLE_EQ(VarToDouble(OleVariant::Text("12.5")), 12.5);
  env.formats.decimalSeparator = ",";
  ResetDefaultFormatSettings();
  EXPECT_DOUBLE_EQ(VarToDouble(OleVariant::Text("12,5")), 12.5);
  EXPECT_THROW(VarToDouble(OleVariant::Text("12.5")), EConvertError);
  EXPECT_EQ(VarToStr(OleVariant::Double(0.25)), "0,25");
}

TEST_F(VariantConvertTest, CurrencyFromFloatingPointRoundsHalfToEven) {
  EXPECT_EQ(RoundHalfEven(2.5), 2.0);
  EXPECT_EQ(RoundHalfEven(3.5), 4.0);
  EXPECT_EQ(RoundHalfEven(-2.5), -2.0);
  EXPECT_EQ(RoundHalfEven(-3.5), -4.0);
  EXPECT_EQ(DoubleToCurrency(0.125).value, 1250);
  EXPECT_EQ(DoubleToCurrency(150.5).value, 1505000);
  EXPECT_EQ(VarToCurrency(OleVariant::Int32(-3)).value, -30000);
  EXPECT_EQ(VarToCurrency(OleVariant::Text("100")).value, 1000000);
  EXPECT_THROW(DoubleToCurrency(1e300), ERangeError);
}

TEST_F(VariantConvertTest, ConvertsToTextAndBoolean) {
  EXPECT_EQ(VarToStr(OleVariant()), "");
  EXPECT_EQ(VarToStr(OleVariant::Boolean(true)), "True");
  EXPECT_EQ(VarToStr(OleVariant::FromCurrency(Currency{1505000})), "150.5");
  EXPECT_EQ(VarToStr(OleVariant::Int32(-12)), "-12");
  EXPECT_EQ(VarToStr(OleVariant::Text("Привет")), "Привет");
  EXPECT_EQ(VarToWide(OleVariant::Text("Привет")), u"Привет");
  EXPECT_TRUE(VarToBool(OleVariant::Text("tRuE")));
  EXPECT_FALSE(VarToBool(OleVariant::Text("False")));
  EXPECT_TRUE(VarToBool(OleVariant::Int32(2)));
  EXPECT_THROW(VarToBool(OleVariant::Text("yes")), EConvertError);
  EXPECT_THROW(VarToStr(OleVariant::Null()), EConvertError);
}

TEST_F(VariantConvertTest, ReferencesAreFollowedToTheirValues) {
  int16_t small = 7;
  std::u16string text = u"15";
  OleVariant inner = OleVariant::RefSmallint(&small);
  const OleVariant chain = OleVariant::RefVariant(&inner);
  EXPECT_EQ(VarToInt32(chain), 7);
  EXPECT_EQ(VarToInt32(OleVariant::RefOleStr(&text)), 15);
  EXPECT_EQ(chain.Dereferenced().Type(), varSmallint);
}

TEST_F(VariantConvertTest, ArraysCopyDeeply) {
  OleVariant original = OleVariant::Vector({OleVariant::Int32(1), OleVariant::Text("a")});
  // The copy is what is tested; ArrayValue() is const, so the check takes it as unchanged.
  OleVariant copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  copy.ArrayValue()->At(0) = OleVariant::Int32(99);
  EXPECT_EQ(VarToInt32(original.ArrayValue()->At(0)), 1);
  EXPECT_EQ(VarToInt32(copy.ArrayValue()->At(0)), 99);
}

}  // namespace
}  // namespace tallowmer
