#include "common/FormatSettings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tallowmer {
namespace {

std::optional<FormatSettings>& ModuleSettings() {
  static std::optional<FormatSettings> settings;
  return settings;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Splits a finite non-zero value into its significant digits (no trailing zeros) and the decimal
// exponent of the first digit.
void SignificantDigits(double magnitude, int precision, std::string& digits, int& exponent) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, magnitude);
  const std::string_view text(buffer);
  const size_t ePosition = text.find('e');
  for (char c : text.substr(0, ePosition)) {
    if (IsDigit(c)) digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  exponent = std::atoi(buffer + ePosition + 1);
}

}  // namespace

FormatSettings& DefaultFormatSettings() {
  auto& settings = ModuleSettings();
  if (!settings) settings = platform::Env::Current().UserRegionalFormats();
  return *settings;
}

void ResetDefaultFormatSettings() {
  ModuleSettings().reset();
}

double RoundHalfEven(double value) {
  const double rounded = std::round(value);
  if (std::fabs(value - std::trunc(value)) == 0.5) return 2.0 * std::round(value / 2.0);
  return rounded;
}

std::string FloatToStrPrecision(double value, int precision, const FormatSettings& settings) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  std::string digits;
  int exponent = 0;
  SignificantDigits(std::fabs(value), precision, digits, exponent);
  std::string result = value < 0 ? "-" : "";
  if (exponent >= precision || exponent < -5) {
    result += digits[0];
    if (digits.size() > 1) result += settings.decimalSeparator + digits.substr(1);
    result += "E" + std::to_string(exponent);
    return result;
  }
  if (exponent < 0) {
    result += "0" + settings.decimalSeparator + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    return result;
  }
  const size_t integerDigits = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= integerDigits) {
    result += digits + std::string(integerDigits - digits.size(), '0');
  } else {
    result += digits.substr(0, integerDigits) + settings.decimalSeparator + digits.substr(integerDigits);
  }
  return result;
}

std::string FloatToStr(double value, const FormatSettings& settings) {
  // Amounts are whole ten-thousandths almost always. Below 1e11 they have at most 15 significant
  // digits, so their exact decimal text is what the general format prints, without printf.
  const double tenThousandths = value * Currency::kScale;
  if (std::fabs(tenThousandths) < 1e15 && tenThousandths == std::trunc(tenThousandths)) {
    return CurrToStr(Currency{static_cast<int64_t>(tenThousandths)}, settings);
  }
  return FloatToStrPrecision(value, 15, settings);
}

std::string CurrToStr(Currency value, const FormatSettings& settings) {
  const bool negative = value.value < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(value.value) : static_cast<uint64_t>(value.value);
  std::string result = (negative ? "-" : "") + std::to_string(magnitude / Currency::kScale);
  std::string fraction = std::to_string(magnitude % Currency::kScale);
  fraction.insert(0, 4 - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) result += settings.decimalSeparator + fraction;
  return result;
}

std::string CurrToStrFixed(Currency value, int digits, const FormatSettings& settings) {
  digits = std::clamp(digits, 0, 4);
  uint64_t unit = 1;
  for (int i = digits; i < 4; ++i) unit *= 10;
  uint64_t scale = 1;
  for (int i = 0; i < digits; ++i) scale *= 10;
  const bool negative = value.value < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(value.value) : static_cast<uint64_t>(value.value);
  // Rounding the magnitude half up is rounding the signed amount half away from zero.
  const uint64_t rounded = (magnitude + unit / 2) / unit;
  std::string result = (negative && rounded != 0 ? "-" : "") + std::to_string(rounded / scale);
  if (digits > 0) {
    std::string fraction = std::to_string(rounded % scale);
    fraction.insert(0, static_cast<size_t>(digits) - fraction.size(), '0');
    result += settings.decimalSeparator + fraction;
  }
  return result;
}

std::optional<double> TryStrToFloat(std::string_view text, const FormatSettings& settings) {
  text = TrimBlanks(text);
  std::string normalized;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') normalized += '-';
    ++i;
  }
  bool anyDigit = false;
  while (i < text.size() && IsDigit(text[i])) {
    normalized += text[i++];
    anyDigit = true;
  }
  const std::string& separator = settings.decimalSeparator;
  if (!separator.empty() && text.substr(i, separator.size()) == separator) {
    normalized += '.';
    i += separator.size();
    while (i < text.size() && IsDigit(text[i])) {
      normalized += text[i++];
      anyDigit = true;
    }
  }
  if (!anyDigit) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    normalized += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) normalized += text[i++];
    if (i == text.size() || !IsDigit(text[i])) return std::nullopt;
    while (i < text.size() && IsDigit(text[i])) normalized += text[i++];
  }
  if (i != text.size()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(normalized.data(), normalized.data() + normalized.size(), value);
  if (error != std::errc() || end != normalized.data() + normalized.size()) return std::nullopt;
  return value;
}

std::optional<int64_t> TryStrToInt64(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace tallowmer
