#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "common/FormatSettings.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

FormatSettings PointSettings() {
  FormatSettings settings;
  settings.decimalSeparator = ".";
  return settings;
}

TEST(FloatToStrTest, UsesTheGeneralFormatWithFifteenDigits) {
  const std::pair<double, const char*> cases[] = {
      {100.0, "100"},
      {12.5, "12.5"},
      {33.3333, "33.3333"},
      {1e15, "1E15"},
      {123456789012345.0, "123456789012345"},
      {0.00001, "0.00001"},
      {0.0000015, "1.5E-6"},
      {-0.125, "-0.125"},
      {0.0, "0"},
      {1.0 / 3.0, "0.333333333333333"},
      {2.5e20, "2.5E20"},
  };
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(FloatToStr(value, PointSettings()), expected) << value;
  FormatSettings comma = PointSettings();
  comma.decimalSeparator = ",";
  EXPECT_EQ(FloatToStr(12.5, comma), "12,5");
}

TEST(CurrToStrTest, WritesExactDecimalsWithoutTrailingZeros) {
  EXPECT_EQ(CurrToStr(Currency{1505000}, PointSettings()), "150.5");
  EXPECT_EQ(CurrToStr(Currency{-1}, PointSettings()), "-0.0001");
  EXPECT_EQ(CurrToStr(Currency{INT64_MIN}, PointSettings()), "-922337203685477.5808");
}

TEST(CurrToStrFixedTest, RoundsTheExactAmountHalfAwayFromZero) {
  struct Case {
    int64_t tenThousandths;
    int digits;
    const char* expected;
  };
  const Case cases[] = {
      {150, 2, "0.02"},
      {26750, 2, "2.68"},
      {1250, 2, "0.13"},
      {-150, 2, "-0.02"},
      {-26750, 2, "-2.68"},
      {149, 2, "0.01"},
      {1505000, 2, "150.50"},
      {0, 2, "0.00"},
      {-49, 2, "0.00"},
      {5000, 0, "1"},
      {-5000, 0, "-1"},
      {12345, 4, "1.2345"},
      {12345, 3, "1.235"},
      {12345, 1, "1.2"},
      {INT64_MAX, 2, "922337203685477.58"},
      {INT64_MIN, 2, "-922337203685477.58"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.tenThousandths) + " to " + std::to_string(c.digits) + " digits");
    EXPECT_EQ(CurrToStrFixed(Currency{c.tenThousandths}, c.digits, PointSettings()), c.expected);
  }
  FormatSettings comma = PointSettings();
  comma.decimalSeparator = ",";
  EXPECT_EQ(CurrToStrFixed(Currency{1505000}, 2, comma), "150,50");
}

TEST(TryStrToFloatTest, AcceptsOnlyWellFormedNumbers) {
  EXPECT_EQ(TryStrToFloat(" -1.5e2 ", PointSettings()), -150.0);
  EXPECT_EQ(TryStrToFloat("+.5", PointSettings()), 0.5);
  for (const char* bad : {"", ".", "1.2.3", "1e", "abc", "1,5", "0x10"}) {
    EXPECT_FALSE(TryStrToFloat(bad, PointSettings()).has_value()) << bad;
  }
}

TEST(DateTimeTest, EncodesAndDecodesAroundTheEpoch) {
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1900, 1, 1, 12, 0, 0, 0}), 2.5);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 29, 6, 0, 0, 0}), -1.25);
  const platform::LocalTime decoded = DecodeDateTime(EncodeDateTime({2024, 2, 29, 23, 59, 59, 999}));
  EXPECT_EQ(decoded.year, 2024);
  EXPECT_EQ(decoded.month, 2);
  EXPECT_EQ(decoded.day, 29);
  EXPECT_EQ(decoded.hour, 23);
  EXPECT_EQ(decoded.minute, 59);
  EXPECT_EQ(decoded.second, 59);
  EXPECT_EQ(decoded.millisecond, 999);
}

TEST(DateTimeTest, FormatsPatternsWithRegionalSeparators) {
  FormatSettings settings = PointSettings();
  settings.timeSeparator = ".";
  settings.dateSeparator = "-";
  const platform::LocalTime time{2024, 1, 5, 7, 8, 9, 45};
  EXPECT_EQ(FormatDateTime("yyyy.mm.dd hh:nn:ss.zzz", time, settings), "2024.01.05 07.08.09.045");
  EXPECT_EQ(FormatDateTime("YYYY-mm-dd hh:nn:ss", time, settings), "2024-01-05 07.08.09");
  EXPECT_EQ(FormatDateTime("d/m/yy h:mm", time, settings), "5-1-24 7.08");
}

TEST(DateTimeTest, DateTimeToStrLeavesOutMidnight) {
  FormatSettings settings = PointSettings();
  settings.shortDateFormat = "dd/mm/yyyy";
  EXPECT_EQ(DateTimeToStr(EncodeDateTime({2024, 1, 31, 0, 0, 0, 0}), settings), "31.01.2024");
  EXPECT_EQ(DateTimeToStr(EncodeDateTime({2024, 1, 31, 10, 20, 30, 0}), settings), "31.01.2024 10:20:30");
}

TEST(DateTimeTest, ParsesInTheOrderOfTheShortDateFormat) {
  FormatSettings settings = PointSettings();
  settings.dateSeparator = "-";
  settings.shortDateFormat = "yyyy/mm/dd";
  EXPECT_EQ(TryStrToDateTime("2024-01-31 10:20:30", settings), EncodeDateTime({2024, 1, 31, 10, 20, 30, 0}));
  settings.dateSeparator = ".";
  settings.shortDateFormat = "dd/mm/yyyy";
  EXPECT_EQ(TryStrToDateTime("31.01.2024", settings), EncodeDateTime({2024, 1, 31, 0, 0, 0, 0}));
  EXPECT_EQ(TryStrToDateTime("10:20", settings), EncodeDateTime({1899, 12, 30, 10, 20, 0, 0}));
  for (const char* bad : {"", "31.02.2024", "2024", "31.01.2024 25:00", "31.01.2024 x", "1.2"}) {
    EXPECT_FALSE(TryStrToDateTime(bad, settings).has_value()) << bad;
  }
}

}  // namespace
}  // namespace tallowmer
