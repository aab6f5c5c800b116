#include "tools/sim/Decimal.h"

#include <cctype>

namespace tallowmer::sim {
namespace {

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::optional<Decimal> Decimal::Parse(std::string_view text) {
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';

  // The number is digits × 10^exponent, with leading zeros dropped from the digits.
  std::string digits;
  long long exponent = 0;
  bool anyDigit = false;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    anyDigit = true;
    if (!digits.empty() || text[at] != '0') digits += text[at];
  }
  if (at < text.size() && text[at] == '.') {
    ++at;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
      anyDigit = true;
      --exponent;
      if (!digits.empty() || text[at] != '0') digits += text[at];
    }
  }
  if (!anyDigit) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    bool negativeExponent = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negativeExponent = text[at++] == '-';
    if (at == text.size()) return std::nullopt;
    long long written = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
      // Any exponent this large already puts the value out of range or rounds it to zero.
      if (written < 100000) written = written * 10 + (text[at] - '0');
    }
    exponent += negativeExponent ? -written : written;
  }
  if (at != text.size()) return std::nullopt;
  if (digits.empty()) return Decimal();

  // Shift the point to ten-thousandths: the digits that stay make the units, the first one that
  // falls off decides the rounding.
  const long long kept = static_cast<long long>(digits.size()) + exponent + kPlaces;
  if (kept > 18) return std::nullopt;
  std::int64_t units = 0;
  for (long long i = 0; i < kept; ++i) {
    units = units * 10 + (i < static_cast<long long>(digits.size()) ? digits[i] - '0' : 0);
  }
  if (kept >= 0 && kept < static_cast<long long>(digits.size()) && digits[kept] >= '5') ++units;
  if (units >= kUnitsLimit) return std::nullopt;
  return Decimal(negative ? -units : units);
}

bool Decimal::HasAtMostPlaces(int places) const {
  std::int64_t step = 1;
  for (int i = places; i < kPlaces; ++i) step *= 10;
  return units_ % step == 0;
}

std::string Decimal::ToString() const {
  const std::uint64_t magnitude =
      units_ < 0 ? 0 - static_cast<std::uint64_t>(units_) : static_cast<std::uint64_t>(units_);
  std::string text = units_ < 0 ? "-" : "";
  text += std::to_string(magnitude / kOne);
  std::string fraction = std::to_string(magnitude % kOne + kOne).substr(1);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

}  // namespace tallowmer::sim
