#include "tools/sim/Decimal.h"

#include <gtest/gtest.h>

#include "tools/sim/Store.h"

namespace tallowmer::sim {
namespace {

struct ParseCase {
  const char* text;
  std::int64_t units;
};

class DecimalParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(DecimalParseTest, ReadsExactTenThousandths) {
  const auto parsed = Decimal::Parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << GetParam().text;
  EXPECT_EQ(parsed->Units(), GetParam().units) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DecimalParseTest,
    ::testing::Values(ParseCase{"0", 0}, ParseCase{"-0", 0}, ParseCase{"0.0", 0}, ParseCase{"100", 1000000},
                      ParseCase{"100.0", 1000000}, ParseCase{"150.5", 1505000}, ParseCase{"-12.5", -125000},
                      ParseCase{"33.3333", 333333}, ParseCase{"0.1", 1000}, ParseCase{"10.55", 105500},
                      ParseCase{"007.50", 75000}, ParseCase{"1e3", 10000000}, ParseCase{"1E+2", 1000000},
                      ParseCase{"2.5e-3", 25}, ParseCase{"1.5e-05", 0}, ParseCase{"12.3456e1", 1234560},
                      ParseCase{"999999999999.9999", 9999999999999999}, ParseCase{"1e-99999999999", 0},
                      ParseCase{"0e999999999", 0},
                      // Past the fourth place: half away from zero, decided by the first digit dropped.
                      ParseCase{"0.00005", 1}, ParseCase{"-0.00005", -1}, ParseCase{"0.000049999", 0},
                      ParseCase{"33.33333333333333", 333333}, ParseCase{"66.66666666666667", 666667},
                      ParseCase{"2.99995", 30000}, ParseCase{"9999.99995", 100000000}));

class DecimalRejectTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DecimalRejectTest, RefusesWhatIsNotANumberInRange) {
  EXPECT_FALSE(Decimal::Parse(GetParam())) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Text, DecimalRejectTest,
                         ::testing::Values("", "-", ".", "abc", "1.2.3", "1e", "1e+", "--1", " 1", "1 ",
                                           "0x10", "1,5", "1000000000000", "-1000000000000.0001", "1e13",
                                           "99999999999999999999"));

struct TextCase {
  std::int64_t units;
  const char* text;
};

class DecimalTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(DecimalTextTest, WritesTheShortestExactText) {
  EXPECT_EQ(Decimal::FromUnits(GetParam().units).ToString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Units, DecimalTextTest,
                         ::testing::Values(TextCase{0, "0"}, TextCase{4940000, "494"},
                                           TextCase{1505000, "150.5"}, TextCase{1, "0.0001"},
                                           TextCase{-1, "-0.0001"}, TextCase{-125000, "-12.5"},
                                           TextCase{333333, "33.3333"}, TextCase{100, "0.01"},
                                           TextCase{9999999999999999, "999999999999.9999"}));

TEST(DecimalTest, TextReadsBackToTheSameValue) {
  for (std::int64_t units = -30011; units <= 30011; units += 7) {
    const auto back = Decimal::Parse(Decimal::FromUnits(units).ToString());
    ASSERT_TRUE(back.has_value()) << units;
    EXPECT_EQ(back->Units(), units);
  }
}

TEST(DecimalTest, CountsDecimalPlaces) {
  EXPECT_TRUE(Decimal::FromUnits(1505000).HasAtMostPlaces(1));
  EXPECT_TRUE(Decimal::FromUnits(1505100).HasAtMostPlaces(2));
  EXPECT_FALSE(Decimal::FromUnits(1505100).HasAtMostPlaces(1));
  EXPECT_FALSE(Decimal::FromUnits(1505010).HasAtMostPlaces(2));
  EXPECT_TRUE(Decimal::FromUnits(1505010).HasAtMostPlaces(3));
  EXPECT_TRUE(Decimal::FromUnits(-100).HasAtMostPlaces(2));
  EXPECT_TRUE(Decimal::FromUnits(1).HasAtMostPlaces(4));
  EXPECT_TRUE(Decimal::FromUnits(50000).IsWhole());
  EXPECT_FALSE(Decimal::FromUnits(50001).IsWhole());
}

TEST(DecimalTest, SumsOfTenthsDoNotDrift) {
  // 0.1 has no exact binary form: a thousand of them add up to 100 only in decimal.
  Decimal total;
  const Decimal tenth = *Decimal::Parse("0.1");
  for (int i = 0; i < 1000; ++i) total = total + tenth;
  EXPECT_EQ(total, *Decimal::Parse("100"));
  for (int i = 0; i < 1000; ++i) total = total - tenth;
  EXPECT_EQ(total, Decimal());
}

struct AccrualCase {
  const char* paid;
  const char* accrual;
};

class AccrualTest : public ::testing::TestWithParam<AccrualCase> {};

TEST_P(AccrualTest, FivePercentRoundedHalfUpToHundredths) {
  EXPECT_EQ(AccrualFor(*Decimal::Parse(GetParam().paid)).ToString(), GetParam().accrual) << GetParam().paid;
}

INSTANTIATE_TEST_SUITE_P(Paid, AccrualTest,
                         ::testing::Values(AccrualCase{"80", "4"}, AccrualCase{"0", "0"},
                                           AccrualCase{"0.1", "0.01"}, AccrualCase{"0.09", "0"},
                                           AccrualCase{"0.3", "0.02"}, AccrualCase{"33.33", "1.67"},
                                           AccrualCase{"100.01", "5"}, AccrualCase{"19.99", "1"},
                                           AccrualCase{"0.0001", "0"}, AccrualCase{"123.4567", "6.17"},
                                           AccrualCase{"999999.99", "50000"}));

}  // namespace
}  // namespace tallowmer::sim
