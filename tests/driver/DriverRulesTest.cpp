#include <gtest/gtest.h>

#include "common/FormatSettings.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "driver/ClientInfo.h"
#include "driver/Receipt.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

class DriverRulesTest : public ::testing::Test {
 protected:
  testing::TestEnv env;
};

TEST_F(DriverRulesTest, IdentifierKindsUseTheirLowEightBits) {
  EXPECT_EQ(MapClientIDKind(0).clientType, 3);
  EXPECT_STREQ(MapClientIDKind(0).label, "Телефон");
  EXPECT_EQ(MapClientIDKind(1).clientType, 2);
  EXPECT_EQ(MapClientIDKind(2).clientType, 1);
  EXPECT_STREQ(MapClientIDKind(3).label, "ID клиента");
  EXPECT_EQ(MapClientIDKind(256).clientType, 3);
  try {
    MapClientIDKind(4);
    FAIL() << "kind 4 was accepted";
  } catch (const EquException& error) {
    EXPECT_EQ(error.Code, 1001);
    EXPECT_EQ(error.Message(), "Неизвестный тип идентификатора клиента");
  }
}

TEST_F(DriverRulesTest, BonusBalanceFromEveryShapeOfAnswer) {
  const std::pair<const char*, int64_t> cases[] = {
      {R"({"bonusBalance":150.5})", 1505000},
      {R"({"bonusBalance":"150.50"})", 1505000},
      {R"({"bonusBalance":500})", 5000000},
      {R"({"bonusBalance":null})", 0},
      {R"({})", 0},
      {R"({"bonusBalance":"много"})", 0},
      {R"({"bonusBalance":0.00005})", 0},
      {R"({"bonusBalance":true})", 0},
  };
  for (const auto& [answer, expected] : cases)
    EXPECT_EQ(ParseClientInfo(answer).bonusBalance.value, expected) << answer;
}

TEST_F(DriverRulesTest, FractionalBalanceUnderACommaLocaleReadsAsZero) {
  env.formats.decimalSeparator = ",";
  ResetDefaultFormatSettings();
  EXPECT_EQ(ParseClientInfo(R"({"bonusBalance":150.5})").bonusBalance.value, 0);
  EXPECT_EQ(ParseClientInfo(R"({"bonusBalance":150})").bonusBalance.value, 1500000);
}

TEST_F(DriverRulesTest, NameJoinsLastAndFirstNameTrimmed) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"lastName":"Smith"})", "Smith"},
      {R"({"firstName":"Иван"})", "Иван"},
      {R"({"lastName":"Иванов","firstName":"Иван"})", "Иванов Иван"},
      {R"({})", ""},
  };
  for (const auto& [answer, expected] : cases) EXPECT_EQ(ParseClientInfo(answer).name, expected) << answer;
  const TClientInfo info =
      ParseClientInfo(R"({"phone":79001234567,"email":"a@b","cardNumber":"777","clientId":"c1"})");
  EXPECT_EQ(info.phone, "79001234567");
  EXPECT_EQ(info.email, "a@b");
  EXPECT_EQ(info.cardNumber, "777");
  EXPECT_EQ(info.clientId, "c1");
  EXPECT_THROW(ParseClientInfo("not json"), EConvertError);
}

OleVariant ReceiptTable(const std::vector<std::vector<OleVariant>>& lines) {
  auto table = SafeArray::Create2D({0, 7}, {0, static_cast<int32_t>(lines.size())});
  for (size_t r = 0; r < lines.size(); ++r) {
    for (size_t c = 0; c < lines[r].size(); ++c)
      table->At(static_cast<int32_t>(c), static_cast<int32_t>(r)) = lines[r][c];
  }
  return OleVariant::Array(std::move(table));
}

std::vector<OleVariant> Line(const char* product, const char* name, double discount, double quantity,
                             double amount) {
  return {OleVariant(),
          OleVariant(),
          OleVariant::Text(product),
          OleVariant::Text(name),
          OleVariant::FromCurrency(DoubleToCurrency(discount)),
          OleVariant::Double(quantity),
          OleVariant::FromCurrency(DoubleToCurrency(amount))};
}

TEST_F(DriverRulesTest, ReceiptPricesRoundPerUnit) {
  struct Case {
    double amount, discount, quantity;
    int64_t price, priceWithDiscount;
  };
  const Case cases[] = {
      {100, 10, 3, 333333, 300000},
      {0.25, 0, 2, 1250, 1200},  // the tie rounds to even
      {0.27, 0, 2, 1350, 1400},
      {50, 5, 0, 500000, 450000},
  };
  for (const Case& c : cases) {
    const TReceipt receipt = BuildReceipt(ReceiptTable({Line("p", "n", c.discount, c.quantity, c.amount)}));
    ASSERT_EQ(receipt.lines.size(), 1u);
    EXPECT_EQ(receipt.lines[0].Price().value, c.price) << c.amount << "/" << c.quantity;
    EXPECT_EQ(receipt.lines[0].PriceWithDiscount().value, c.priceWithDiscount)
        << c.amount << "/" << c.quantity;
  }
}

TEST_F(DriverRulesTest, ReceiptBalanceIsRoundedAsMoney) {
  struct Case {
    int64_t balance;
    const char* text;
  };
  // Through a double these give 0.01, 2.67 and 0.12: just below the half in binary, or a tie to even.
  for (const Case c : {Case{150, "0.02"}, Case{26750, "2.68"}, Case{1250, "0.13"}, Case{1505000, "150.50"}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(BalanceReceiptText("Номер карты", "777", Currency{c.balance}),
              std::string("Номер карты: 777\r\n'Баланс: ") + c.text + "\r\n");
  }
}

TEST_F(DriverRulesTest, AReceiptWhoseLinesEndAtTheLargestIndexIsRead) {
  const std::vector<OleVariant> line = Line("p", "n", 0, 1, 5);
  auto table = SafeArray::Create2D({0, 7}, {INT32_MAX, 1});
  for (size_t c = 0; c < line.size(); ++c) table->At(static_cast<int32_t>(c), INT32_MAX) = line[c];
  const TReceipt receipt = BuildReceipt(OleVariant::Array(std::move(table)));
  ASSERT_EQ(receipt.lines.size(), 1u);
  EXPECT_EQ(receipt.sum, Currency::FromUnits(5));
}

TEST_F(DriverRulesTest, ReceiptSumsAreExactAndLinesCarryTheirNames) {
  const TReceipt receipt = BuildReceipt(ReceiptTable(
      {Line("A-1", "Хлеб", 10, 3, 100), Line("B-2", "Молоко", 0.01, 1, 0.1), Line("C-3", "Сыр", 0, 1, 0.2)}));
  EXPECT_EQ(receipt.sum.value, 1003000);
  EXPECT_EQ(receipt.sumWithDiscount.value, 902900);
  EXPECT_EQ(receipt.lines[1].NID(), "B-2");
  EXPECT_EQ(receipt.lines[1].GroupID(), "B-2");
  EXPECT_EQ(receipt.lines[1].Name(), "Молоко");
  EXPECT_EQ(receipt.lines[1].GroupName(), "Молоко");
  EXPECT_TRUE(BuildReceipt(OleVariant()).lines.empty());
}

std::vector<OleVariant> MoneyLine(int64_t discount, int64_t amount) {
  return {OleVariant(),
          OleVariant(),
          OleVariant::Text("p"),
          OleVariant::Text("n"),
          OleVariant::FromCurrency(Currency{discount}),
          OleVariant::Double(1),
          OleVariant::FromCurrency(Currency{amount})};
}

// Amounts in ten-thousandths; the Currency range ends at +-922337203685477.5807.
TEST_F(DriverRulesTest, ReceiptSumsOutsideTheCurrencyRangeAreRefusedNotWrapped) {
  constexpr int64_t k600Trillion = 6000000000000000000;
  constexpr int64_t kHalfRange = int64_t{1} << 62;
  struct Case {
    const char* label;
    std::vector<std::vector<OleVariant>> lines;
    bool refused;
    int64_t sum, sumWithDiscount;
  };
  const Case cases[] = {
      {"two lines of 600 trillion", {MoneyLine(0, k600Trillion), MoneyLine(0, k600Trillion)}, true, 0, 0},
      {"two lines of -600 trillion", {MoneyLine(0, -k600Trillion), MoneyLine(0, -k600Trillion)}, true, 0, 0},
      {"a line whose discounted amount leaves the range",
       {MoneyLine(-k600Trillion, k600Trillion)},
       true,
       0,
       0},
      {"a line whose discounted amount leaves it below",
       {MoneyLine(k600Trillion, -k600Trillion)},
       true,
       0,
       0},
      {"only the discounted sum leaves the range",
       {MoneyLine(-k600Trillion / 2, k600Trillion), MoneyLine(-k600Trillion / 2, 0)},
       true,
       0,
       0},
      {"sums that end at the largest amount",
       {MoneyLine(0, kHalfRange), MoneyLine(0, kHalfRange - 1)},
       false,
       INT64_MAX,
       INT64_MAX},
      {"sums that end at the smallest amount",
       {MoneyLine(0, -kHalfRange), MoneyLine(0, -kHalfRange)},
       false,
       INT64_MIN,
       INT64_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.refused) {
      EXPECT_THROW(BuildReceipt(ReceiptTable(c.lines)), ERangeError);
      continue;
    }
    const TReceipt receipt = BuildReceipt(ReceiptTable(c.lines));
    EXPECT_EQ(receipt.sum.value, c.sum);
    EXPECT_EQ(receipt.sumWithDiscount.value, c.sumWithDiscount);
  }
}

TEST_F(DriverRulesTest, MalformedReceiptTablesAreRejected) {
  auto narrow = SafeArray::Create2D({0, 5}, {0, 1});
  const OleVariant bad[] = {
      OleVariant::Vector({OleVariant::Int32(1)}),
      OleVariant::Text("table"),
      OleVariant::Array(std::move(narrow)),
      ReceiptTable({{OleVariant(), OleVariant(), OleVariant::Text("p"), OleVariant::Text("n"),
                     OleVariant::Text("x"), OleVariant::Double(1), OleVariant::Double(1)}}),
  };
  for (const OleVariant& table : bad) EXPECT_ANY_THROW(BuildReceipt(table)) << VarToLogStr(table);
}

}  // namespace
}  // namespace tallowmer
