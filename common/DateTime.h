#pragma once

// Date-time values: days since 1899-12-30 00:00 as a double, the fraction being the time of day.

#include <optional>
#include <string>
#include <string_view>

#include "common/FormatSettings.h"
#include "platform/Env.h"

namespace tallowmer {

// "YYYY-mm-dd hh:nn:ss", the form in which date-times travel to and from the loyalty service.
inline constexpr const char* kServiceDateTimePattern = "yyyy-mm-dd hh:nn:ss";
// Settings that write and read that form whatever the regional formats are: "-" between the date
// parts, ":" in the time, "." as the decimal separator.
FormatSettings ServiceDateTimeFormats();

double EncodeDateTime(const platform::LocalTime& time);
platform::LocalTime DecodeDateTime(double value);
// The local clock as a date-time value.
double NowAsDateTime();

// Formats by the patterns yyyy yy m mm d dd h hh n nn s ss z zzz; "/" stands for the date
// separator and ":" for the time separator; text in quotes is copied.
std::string FormatDateTime(std::string_view pattern, double value,
                           const FormatSettings& settings = DefaultFormatSettings());
std::string FormatDateTime(std::string_view pattern, const platform::LocalTime& time,
                           const FormatSettings& settings = DefaultFormatSettings());
// Short date, then the long time; the time is left out at midnight.
std::string DateTimeToStr(double value, const FormatSettings& settings = DefaultFormatSettings());
// Reads a date in the order of the short date format, optionally followed by a time.
std::optional<double> TryStrToDateTime(std::string_view text,
                                       const FormatSettings& settings = DefaultFormatSettings());

}  // namespace tallowmer
