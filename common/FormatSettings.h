#pragma once

// Number and date-time text under the module's regional formats. The module-wide settings start
// from the user's regional formats; enabling a device later forces its decimal separator to ".".

#include <optional>
#include <string>
#include <string_view>

#include "common/OleVariant.h"
#include "platform/Env.h"

namespace tallowmer {

using FormatSettings = platform::RegionalFormats;

// The module-wide settings, read from the platform on first use.
FormatSettings& DefaultFormatSettings();
// Forgets the module-wide settings so that the next use reads the platform again.
void ResetDefaultFormatSettings();

// General format, at most 15 significant digits, no trailing zeros; exponent form ("1E15",
// "1.5E-6") for 15 or more integer digits and for magnitudes below 0.00001.
std::string FloatToStr(double value, const FormatSettings& settings = DefaultFormatSettings());
// The same with another number of significant digits (7 for single precision).
std::string FloatToStrPrecision(double value, int precision,
                                const FormatSettings& settings = DefaultFormatSettings());
// Exact decimal text of a currency amount, no trailing zeros.
std::string CurrToStr(Currency value, const FormatSettings& settings = DefaultFormatSettings());
// A currency amount with a fixed number of fractional digits (0 to 4), rounded in decimal half
// away from zero as money is rounded on a receipt: 0.015 gives 0.02, -2.675 gives -2.68.
std::string CurrToStrFixed(Currency value, int digits,
                           const FormatSettings& settings = DefaultFormatSettings());

// Parses an optionally signed decimal number with the settings' decimal separator and an optional
// exponent; blanks around it are allowed.
std::optional<double> TryStrToFloat(std::string_view text,
                                    const FormatSettings& settings = DefaultFormatSettings());
// As above, for whole numbers only.
std::optional<int64_t> TryStrToInt64(std::string_view text);

// Rounds to the nearest whole number, ties to the even one.
double RoundHalfEven(double value);

}  // namespace tallowmer
