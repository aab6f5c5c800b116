#include "common/DateTime.h"

#include <cctype>
#include <cmath>
#include <cstdint>

namespace tallowmer {
namespace {

constexpr int64_t kMillisecondsPerDay = 86'400'000;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthPart = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * monthPart + 2) / 5 + 1);
  month = static_cast<int>(monthPart < 10 ? monthPart + 3 : monthPart - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

std::string Padded(int value, size_t width) {
  const std::string text = std::to_string(value);
  return text.size() < width ? std::string(width - text.size(), '0') + text : text;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads an unsigned decimal number at the cursor.
std::optional<int> ReadNumber(std::string_view text, size_t& position) {
  const size_t start = position;
  int64_t value = 0;
  while (position < text.size() && std::isdigit(static_cast<unsigned char>(text[position])) &&
         position - start < 9) {
    value = value * 10 + (text[position++] - '0');
  }
  if (position == start) return std::nullopt;
  return static_cast<int>(value);
}

bool Skip(std::string_view text, size_t& position, std::string_view separator) {
  if (separator.empty() || text.substr(position, separator.size()) != separator) return false;
  position += separator.size();
  return true;
}

void SkipBlanks(std::string_view text, size_t& position) {
  while (position < text.size() && text[position] == ' ') ++position;
}

// Order of day, month and year in a date pattern, as the letters first appear.
std::string DateOrder(std::string_view pattern) {
  std::string order;
  for (char c : pattern) {
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((letter == 'd' || letter == 'm' || letter == 'y') && order.find(letter) == std::string::npos)
      order += letter;
  }
  return order.size() == 3 ? order : "dmy";
}

bool ParseTime(std::string_view text, size_t& position, const FormatSettings& settings, int& hour,
               int& minute, int& second, int& millisecond) {
  const auto readSeparator = [&] {
    return Skip(text, position, settings.timeSeparator) || Skip(text, position, ":");
  };
  const auto h = ReadNumber(text, position);
  if (!h || !readSeparator()) return false;
  const auto n = ReadNumber(text, position);
  if (!n) return false;
  hour = *h;
  minute = *n;
  if (readSeparator()) {
    const auto s = ReadNumber(text, position);
    if (!s) return false;
    second = *s;
    if (Skip(text, position, ".") || Skip(text, position, settings.decimalSeparator)) {
      const auto z = ReadNumber(text, position);
      if (!z) return false;
      millisecond = *z;
    }
  }
  return hour < 24 && minute < 60 && second < 60 && millisecond < 1000;
}

}  // namespace

FormatSettings ServiceDateTimeFormats() {
  FormatSettings formats;
  formats.decimalSeparator = ".";
  formats.dateSeparator = "-";
  formats.shortDateFormat = "yyyy/mm/dd";
  formats.timeSeparator = ":";
  formats.shortTimeFormat = "hh:nn";
  formats.longTimeFormat = "hh:nn:ss";
  return formats;
}

double EncodeDateTime(const platform::LocalTime& time) {
  const int64_t days = DaysFromCivil(time.year, time.month, time.day) - kEpochOffset;
  const double fraction =
      static_cast<double>(((time.hour * 60 + time.minute) * 60 + time.second) * 1000 + time.millisecond) /
      kMillisecondsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

platform::LocalTime DecodeDateTime(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 3.0e8) value = 0;
  int64_t days = static_cast<int64_t>(std::trunc(value));
  int64_t milliseconds = std::llround(std::fabs(value - static_cast<double>(days)) * kMillisecondsPerDay);
  if (milliseconds >= kMillisecondsPerDay) {
    milliseconds -= kMillisecondsPerDay;
    days += value < 0 ? -1 : 1;
  }
  platform::LocalTime result;
  CivilFromDays(days + kEpochOffset, result.year, result.month, result.day);
  result.millisecond = static_cast<int>(milliseconds % 1000);
  result.second = static_cast<int>(milliseconds / 1000 % 60);
  result.minute = static_cast<int>(milliseconds / 60000 % 60);
  result.hour = static_cast<int>(milliseconds / 3600000);
  return result;
}

double NowAsDateTime() {
  return EncodeDateTime(platform::Env::Current().Now());
}

std::string FormatDateTime(std::string_view pattern, const platform::LocalTime& time,
                           const FormatSettings& settings) {
  std::string result;
  bool afterHour = false;
  for (size_t i = 0; i < pattern.size();) {
    const char c = pattern[i];
    if (c == '"' || c == '\'') {
      const size_t end = pattern.find(c, i + 1);
      result += pattern.substr(i + 1, (end == std::string_view::npos ? pattern.size() : end) - i - 1);
      i = end == std::string_view::npos ? pattern.size() : end + 1;
      continue;
    }
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t run = 1;
    while (i + run < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[i + run])) == letter)
      ++run;
    const size_t width = run >= 2 ? 2 : 1;
    switch (letter) {
      case 'y':
        result += run <= 2 ? Padded(time.year % 100, 2) : Padded(time.year, 4);
        break;
      case 'm':
        result += Padded(afterHour ? time.minute : time.month, width);
        break;
      case 'd':
        result += Padded(time.day, width);
        break;
      case 'h':
        result += Padded(time.hour, width);
        break;
      case 'n':
        result += Padded(time.minute, width);
        break;
      case 's':
        result += Padded(time.second, width);
        break;
      case 'z':
        result += Padded(time.millisecond, run >= 3 ? 3 : 1);
        break;
      case '/':
        result += settings.dateSeparator;
        run = 1;
        break;
      case ':':
        result += settings.timeSeparator;
        run = 1;
        break;
      default:
        result += c;
        run = 1;
        break;
    }
    if (letter != ' ' && letter != ':') afterHour = letter == 'h';
    i += run;
  }
  return result;
}

std::string FormatDateTime(std::string_view pattern, double value, const FormatSettings& settings) {
  return FormatDateTime(pattern, DecodeDateTime(value), settings);
}

std::string DateTimeToStr(double value, const FormatSettings& settings) {
  const platform::LocalTime time = DecodeDateTime(value);
  std::string result = FormatDateTime(settings.shortDateFormat, time, settings);
  if (time.hour != 0 || time.minute != 0 || time.second != 0 || time.millisecond != 0) {
    result += " " + FormatDateTime(settings.longTimeFormat, time, settings);
  }
  return result;
}

std::optional<double> TryStrToDateTime(std::string_view text, const FormatSettings& settings) {
  size_t position = 0;
  SkipBlanks(text, position);
  platform::LocalTime time;
  bool hasDate = false;
  const size_t probe = position;
  const auto first = ReadNumber(text, position);
  if (!first) return std::nullopt;
  if (Skip(text, position, settings.dateSeparator)) {
    const auto second = ReadNumber(text, position);
    if (!second || !Skip(text, position, settings.dateSeparator)) return std::nullopt;
    const auto third = ReadNumber(text, position);
    if (!third) return std::nullopt;
    const std::string order = DateOrder(settings.shortDateFormat);
    const int values[] = {*first, *second, *third};
    for (size_t k = 0; k < 3; ++k) {
      if (order[k] == 'd') time.day = values[k];
      if (order[k] == 'm') time.month = values[k];
      if (order[k] == 'y')
        time.year = values[k] < 100 ? values[k] + (values[k] < 50 ? 2000 : 1900) : values[k];
    }
    if (time.year < 1 || time.year > 9999 || time.month < 1 || time.month > 12 || time.day < 1 ||
        time.day > DaysInMonth(time.year, time.month)) {
      return std::nullopt;
    }
    hasDate = true;
    SkipBlanks(text, position);
  } else {
    position = probe;
  }
  if (position < text.size()) {
    if (!ParseTime(text, position, settings, time.hour, time.minute, time.second, time.millisecond)) {
      return std::nullopt;
    }
    SkipBlanks(text, position);
  } else if (!hasDate) {
    return std::nullopt;
  }
  if (position != text.size()) return std::nullopt;
  return EncodeDateTime(time);
}

}  // namespace tallowmer
