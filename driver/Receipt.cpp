#include "driver/Receipt.h"

#include "common/Exceptions.h"
#include "common/FormatSettings.h"
#include "common/VariantConvert.h"

namespace tallowmer {
namespace {

enum ReceiptColumn : int32_t {
  kColumnProduct = 2,
  kColumnName = 3,
  kColumnDiscount = 4,
  kColumnQuantity = 5,
  kColumnAmount = 6
};

// Divides in units of the last kept digit, so that decimal ties stay exact ties.
Currency DividedAndRounded(Currency amount, double quantity, int64_t unitsPerDigit) {
  const double units = static_cast<double>(amount.value) / static_cast<double>(unitsPerDigit) / quantity;
  const double rounded = RoundHalfEven(units);
  if (!(rounded > -9.2e18 / static_cast<double>(unitsPerDigit) &&
        rounded < 9.2e18 / static_cast<double>(unitsPerDigit))) {
    throw ERangeError("Цена строки чека вне допустимого диапазона");
  }
  return Currency{static_cast<int64_t>(rounded) * unitsPerDigit};
}

}  // namespace

TReceipt BuildReceipt(const OleVariant& input) {
  TReceipt receipt;
  const OleVariant& table = input.Resolved();
  if (table.IsEmpty()) return receipt;
  const SafeArray* array = table.IsArray() ? table.ArrayValue() : nullptr;
  if (array == nullptr || array->DimensionCount() != 2)
    throw EConvertError("Таблица чека должна быть двумерным массивом");
  // Counted in 64 bits: the table's lines may end at the largest 32-bit index.
  for (int64_t wideLine = array->LowBound(2); wideLine <= array->HighBound(2); ++wideLine) {
    const auto line = static_cast<int32_t>(wideLine);
    const Currency discount = VarToCurrency(array->At(kColumnDiscount, line));
    const double quantity = VarToDouble(array->At(kColumnQuantity, line));
    const Currency amount = VarToCurrency(array->At(kColumnAmount, line));
    const Currency discounted = amount - discount;
    const Currency price = quantity != 0 ? DividedAndRounded(amount, quantity, 1) : amount;
    const Currency priceWithDiscount =
        quantity != 0 ? DividedAndRounded(discounted, quantity, 100) : discounted;
    receipt.sum = receipt.sum + amount;
    receipt.sumWithDiscount = receipt.sumWithDiscount + discounted;
    const std::string product = VarToStr(array->At(kColumnProduct, line));
    const std::string name = VarToStr(array->At(kColumnName, line));
    receipt.lines.emplace_back(product, product, name, name, price, priceWithDiscount, quantity);
  }
  return receipt;
}

std::string BalanceReceiptText(std::string_view kindLabel, std::string_view clientId, Currency balance) {
  return std::string(kindLabel) + ": " + std::string(clientId) +
         "\r\n'Баланс: " + CurrToStrFixed(balance, 2) + "\r\n";
}

}  // namespace tallowmer
