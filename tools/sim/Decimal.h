#pragma once

// Amounts, prices and quantities as whole ten-thousandths. Bonus sums are added and subtracted over
// and over on the same balance; with binary fractions they would drift, with integers they cannot.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowmer::sim {

class Decimal {
 public:
  static constexpr int kPlaces = 4;
  static constexpr std::int64_t kOne = 10000;
  // Magnitudes stay below 10^12: far above any receipt, and sums of many such values still fit in
  // 64 bits.
  static constexpr std::int64_t kUnitsLimit = 1'000'000'000'000 * kOne;

  constexpr Decimal() = default;
  static constexpr Decimal FromUnits(std::int64_t units) { return Decimal(units); }

  // Decimal text as JSON writes numbers: "-12.5", "100", "1.5e-05". Digits past the fourth place
  // round half away from zero. Empty when the text is not a number or not below the limit.
  static std::optional<Decimal> Parse(std::string_view text);

  constexpr std::int64_t Units() const { return units_; }
  constexpr bool IsWhole() const { return units_ % kOne == 0; }
  // True when nothing beyond `places` decimal places is set.
  bool HasAtMostPlaces(int places) const;
  // Shortest exact text: "150.5", "494", "-0.0001".
  std::string ToString() const;

  friend constexpr Decimal operator+(Decimal a, Decimal b) { return Decimal(a.units_ + b.units_); }
  friend constexpr Decimal operator-(Decimal a, Decimal b) { return Decimal(a.units_ - b.units_); }
  friend constexpr auto operator<=>(Decimal, Decimal) = default;

 private:
  constexpr explicit Decimal(std::int64_t units) : units_(units) {}
  std::int64_t units_ = 0;
};

}  // namespace tallowmer::sim
