#pragma once

// The receipt lines of a sale, built from the host's receipt table [column, line]: column 2 the
// product identifier, 3 its name, 4 the discount, 5 the quantity, 6 the amount before discount.

#include <string>
#include <string_view>
#include <vector>

#include "common/OleVariant.h"
#include "service/uDevice.h"

namespace tallowmer {

struct TReceipt {
  std::vector<TCheckItem> lines;
  Currency sum;
  Currency sumWithDiscount;
};

// Price per unit rounded to four digits, discounted price per unit to two, ties to even; with a
// quantity of 0 the amounts themselves. Raises when the table is no two-dimensional array, an
// element is missing or does not convert, or a line's discounted amount or either sum of the
// order leaves the Currency range. An Empty table is a receipt without lines.
TReceipt BuildReceipt(const OleVariant& table);

// The text a sale or return prints: the identifier under its kind's label, then the new balance
// with two fractional digits, its second line opened by an apostrophe.
std::string BalanceReceiptText(std::string_view kindLabel, std::string_view clientId, Currency balance);

}  // namespace tallowmer
