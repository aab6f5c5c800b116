#include <gtest/gtest.h>

#include <ostream>

#include "common/DateTime.h"
#include "common/uEquipmentErrors.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/loyalty/RecordingLoyalty.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using testing::PublicCall;
using testing::RecordingLoyalty;

OleVariant Items(std::vector<OleVariant> items, int32_t lower = 0) {
  return OleVariant::Vector(std::move(items), lower);
}
OleVariant T(const char* text) {
  return OleVariant::Text(text);
}
OleVariant I(int32_t value) {
  return OleVariant::Int32(value);
}
OleVariant D(double value) {
  return OleVariant::Double(value);
}
OleVariant Day(double value) {
  return OleVariant::Date(value);
}
OleVariant Money(int64_t tenThousandths) {
  return OleVariant::FromCurrency(Currency{tenThousandths});
}
const OleVariant E;
const OleVariant N = OleVariant::Null();

// A receipt of one line: columns 0..6, [column, line].
OleVariant Receipt() {
  auto table = SafeArray::Create2D({0, 7}, {0, 1});
  table->At(2, 0) = T("P1");
  table->At(5, 0) = D(2);
  return OleVariant::Array(std::move(table));
}

OleVariant Table2D() {
  return OleVariant::Array(SafeArray::Create2D({0, 2}, {0, 2}));
}

class LoyaltyFixture : public ::testing::Test {
 protected:
  LoyaltyFixture() { env.fixedClock = true; }

  // The result code the host sees: 0 for a true call result, else element 0 of OutData.
  int32_t Call(const std::string& method, OleVariant inData) {
    loyalty->called.clear();
    loyalty->received.clear();
    const testing::Outcome outcome = PublicCall(*loyalty, method, std::move(inData), outData);
    EXPECT_EQ(outcome.hr, hrOk);
    if (VarToBool(outcome.result)) return kResultOk;
    return outData.IsArray() ? VarToInt32(outData.ArrayValue()->At(0)) : -12345;
  }

  testing::TestEnv env;
  testing::Held<RecordingLoyalty> loyalty;
  OleVariant outData;
};

class LoyaltyContractTest : public LoyaltyFixture {};

TEST_F(LoyaltyContractTest, MethodsTakeDispIdsTenToSeventeen) {
  const char* names[] = {"GetCustomerData", "RegisterCustomer",    "CreateOrder",  "CloseOrder",
                         "CancelOrder",     "GetAvailableProduct", "VerifyClient", "VerifyPromocode"};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(loyalty->FindMethodID(names[i]), static_cast<int32_t>(10 + i));
    EXPECT_TRUE(loyalty->Methods()[10 + i].IsSpecific);
    EXPECT_TRUE(loyalty->Methods()[10 + i].IsPublic);
  }
  EXPECT_EQ(loyalty->FindMethodID("CheckHealth"), 9);
  EXPECT_EQ(loyalty->DeviceInfo().TypeName, "LoyaltySystem");
}

// Each method with a shortest well-formed InData and the positions of one required element read
// as text and one read as a number.
struct MethodShape {
  const char* method;
  std::vector<OleVariant> wellFormed;
  int32_t requiredText;
  int32_t requiredNumber;
};

std::vector<MethodShape> Shapes() {
  return {
      {"GetCustomerData", {T("79001234567"), I(0), I(0)}, 0, 1},
      {"RegisterCustomer", {T("1"), I(0), T("Иванов"), E, E, E, E}, 2, 1},
      {"CreateOrder", {E, T("1"), I(0)}, 1, 2},
      {"CloseOrder", {T("order"), E, I(0), I(0), T("1"), I(0), I(0), T("")}, 4, 5},
      {"CancelOrder", {T("order"), D(45000.5), T(""), I(0), T("")}, 0, 3},
      {"VerifyClient", {T("a"), I(1), T("b")}, 0, 1},
      {"VerifyPromocode", {E, T("code"), I(1)}, 1, 2},
  };
}

TEST_F(LoyaltyContractTest, MalformedInDataAnswers1004WithoutCallingTheOperation) {
  for (const MethodShape& shape : Shapes()) {
    std::vector<OleVariant> nullText = shape.wellFormed;
    nullText[static_cast<size_t>(shape.requiredText)] = N;
    std::vector<OleVariant> badNumber = shape.wellFormed;
    badNumber[static_cast<size_t>(shape.requiredNumber)] = T("abc");
    std::vector<OleVariant> truncated = shape.wellFormed;
    truncated.pop_back();
    const std::pair<const char*, OleVariant> cases[] = {
        {"Empty", E},
        {"not an array", T("x")},
        {"two dimensions", Table2D()},
        {"lower bound 1", Items(shape.wellFormed, 1)},
        {"required element Null", Items(nullText)},
        {"unconvertible number", Items(badNumber)},
        {"missing required element", Items(truncated)},
    };
    for (const auto& [label, inData] : cases) {
      EXPECT_EQ(Call(shape.method, inData), kResultBadInput) << shape.method << ": " << label;
      EXPECT_EQ(loyalty->called, "") << shape.method << ": " << label;
      EXPECT_EQ(VarToLogStr(outData), "[(1004; 'Ошибка входных параметров команды')]") << shape.method;
    }
    EXPECT_EQ(Call(shape.method, Items(shape.wellFormed)), kResultOk) << shape.method;
    EXPECT_EQ(loyalty->called, shape.method);
  }
}

// One element of a well-formed InData replaced by a value its reading cannot take.
struct FailureCase {
  const char* name;
  const char* method;
  std::vector<OleVariant> wellFormed;
  size_t index;
  OleVariant value;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.method << " " << c.name;
}

class ConversionFailureTest : public LoyaltyFixture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConversionFailureTest, Answers1004WithoutCallingTheOperation) {
  const FailureCase& c = GetParam();
  std::vector<OleVariant> items = c.wellFormed;
  if (items.size() <= c.index) items.resize(c.index + 1);
  items[c.index] = c.value;
  EXPECT_EQ(Call(c.method, Items(items)), kResultBadInput);
  EXPECT_EQ(loyalty->called, "");
  // Without the bad element the same InData goes through.
  EXPECT_EQ(Call(c.method, Items(c.wellFormed)), kResultOk);
}

const std::vector<OleVariant> kCustomer{T("79"), I(0), I(0)};
const std::vector<OleVariant> kRegister{T("1"), I(0), T("И"), E, E, E, E};
const std::vector<OleVariant> kCreate{E, T("1"), I(0)};
const std::vector<OleVariant> kClose{T("o"), E, I(0), I(0), T("1"), I(0), I(0), T("")};
const std::vector<OleVariant> kCancel{T("o"), Day(45000.5), T(""), I(0), T("")};
const std::vector<OleVariant> kVerify{T("a"), I(1), T("b")};
const std::vector<OleVariant> kPromocode{E, T("code"), I(1)};

INSTANTIATE_TEST_SUITE_P(
    LoyaltyContractTest, ConversionFailureTest,
    ::testing::Values(FailureCase{"TextFromAnArray", "GetCustomerData", kCustomer, 0, Items({I(1)})},
                      FailureCase{"KindBeyond32Bits", "GetCustomerData", kCustomer, 1, D(3e9)},
                      FailureCase{"IntegerFromAnArray", "GetCustomerData", kCustomer, 2, Items({})},
                      FailureCase{"OptionalIntegerFromWords", "RegisterCustomer", kRegister, 5, T("пять")},
                      FailureCase{"DateFromWords", "RegisterCustomer", kRegister, 6, T("вчера")},
                      FailureCase{"LastOptionalInteger", "RegisterCustomer", kRegister, 7, T("x")},
                      FailureCase{"OptionalTextFromAnArray", "RegisterCustomer", kRegister, 8,
                                  Items({T("a")})},
                      FailureCase{"OptionalCurrencyFromWords", "CreateOrder", kCreate, 4, T("много")},
                      FailureCase{"KindNull", "CreateOrder", kCreate, 2, N},
                      FailureCase{"CurrencyFromWords", "CloseOrder", kClose, 2, T("x")},
                      FailureCase{"CurrencyNull", "CloseOrder", kClose, 3, N},
                      FailureCase{"OperationKindBeyond32Bits", "CloseOrder", kClose, 6, D(1e10)},
                      FailureCase{"OptionalDateFromWords", "CloseOrder", kClose, 8, T("x")},
                      FailureCase{"LastOptionalText", "CloseOrder", kClose, 14, Items({})},
                      FailureCase{"DateFromWords", "CancelOrder", kCancel, 1, T("x")},
                      FailureCase{"DateNull", "CancelOrder", kCancel, 1, N},
                      FailureCase{"OptionalCurrencyFromWords", "CancelOrder", kCancel, 7, T("x")},
                      FailureCase{"OptionalTextFromAnArray", "GetAvailableProduct", {}, 1, Items({})},
                      FailureCase{"EchoedTextNull", "VerifyClient", kVerify, 2, N},
                      FailureCase{"OptionalCurrencyFromWords", "VerifyClient", kVerify, 4, T("x")},
                      FailureCase{"IntegerNull", "VerifyPromocode", kPromocode, 2, N},
                      FailureCase{"OptionalCurrencyFromWords", "VerifyPromocode", kPromocode, 4, T("x")}),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
      return std::string(info.param.method) + "_" + info.param.name;
    });

// What an operation receives from a given InData, rendered in field order (see Received).
struct UnpackCase {
  const char* name;
  const char* method;
  OleVariant inData;
  const char* received;
};

void PrintTo(const UnpackCase& c, std::ostream* out) {
  *out << c.method << " " << c.name;
}

class UnpackingTest : public LoyaltyFixture, public ::testing::WithParamInterface<UnpackCase> {};

TEST_P(UnpackingTest, HandsTheOperationItsConvertedElements) {
  const UnpackCase& c = GetParam();
  EXPECT_EQ(Call(c.method, c.inData), kResultOk);
  EXPECT_EQ(loyalty->called, c.method);
  EXPECT_EQ(loyalty->received, c.received);
}

INSTANTIATE_TEST_SUITE_P(
    LoyaltyContractTest, UnpackingTest,
    ::testing::Values(
        UnpackCase{"AsSent", "GetCustomerData", Items({T("79001234567"), I(3), I(7)}), "'79001234567'; 3; 7"},
        UnpackCase{"FloatsRoundHalfToEven", "GetCustomerData", Items({I(79), D(2.5), D(3.5)}), "'79'; 2; 4"},
        // Only the low 8 bits of a kind count, but that is the driver's to apply.
        UnpackCase{"KindPassedWhole", "GetCustomerData", Items({T("79"), I(259), I(0)}), "'79'; 259; 0"},
        UnpackCase{"EmptyTextAndTrue", "GetCustomerData", Items({E, T("1"), OleVariant::Boolean(true)}),
                   "''; 1; -1"},
        UnpackCase{"Defaults", "RegisterCustomer", Items({T("1"), I(0), T("Иванов"), E, E, E, E}),
                   "'1'; 0; 'Иванов'; ''; ''; -1; -1.0000; 0; ''"},
        UnpackCase{"NullsTakeDefaultsAndNullDateIsNow", "RegisterCustomer",
                   Items({T("1"), I(0), T("И"), N, N, N, N, N, N}), "'1'; 0; 'И'; ''; ''; -1; now; 0; ''"},
        UnpackCase{"Everything", "RegisterCustomer",
                   Items({T("1"), I(1), T("И"), T("a"), T("b"), I(5), Day(45000.25), I(7), T("c")}),
                   "'1'; 1; 'И'; 'a'; 'b'; 5; 45000.2500; 7; 'c'"},
        UnpackCase{"DateFromANumberText", "RegisterCustomer",
                   Items({T("1"), I(1), T("И"), E, E, E, T("45000.5")}),
                   "'1'; 1; 'И'; ''; ''; -1; 45000.5000; 0; ''"},
        UnpackCase{"Defaults", "CreateOrder", Items({N, T("1"), I(2)}), "NULL; '1'; 2; EMPTY; 0; ''; ''"},
        UnpackCase{"Everything", "CreateOrder",
                   Items({I(9), T("1"), I(258), T("v"), D(12.345), T("a"), T("b")}),
                   "9; '1'; 258; 'v'; 123450; 'a'; 'b'"},
        UnpackCase{"OptionalCurrencyTieToEven", "CreateOrder", Items({E, T("1"), I(0), E, D(0.00025)}),
                   "EMPTY; '1'; 0; EMPTY; 2; ''; ''"},
        UnpackCase{"OptionalCurrencyTieUpToEven", "CreateOrder", Items({E, T("1"), I(0), E, T("0.00035")}),
                   "EMPTY; '1'; 0; EMPTY; 4; ''; ''"},
        UnpackCase{"NegativeTieToEven", "CreateOrder", Items({E, T("1"), I(0), E, D(-0.00025)}),
                   "EMPTY; '1'; 0; EMPTY; -2; ''; ''"},
        UnpackCase{"OptionalCurrencyFromCurrency", "CreateOrder", Items({E, T("1"), I(0), E, Money(25)}),
                   "EMPTY; '1'; 0; EMPTY; 25; ''; ''"},
        // Seventeen digits are more than a double holds: the optional reading shows its path.
        UnpackCase{"OptionalCurrencyReadThroughADouble", "CreateOrder",
                   Items({E, T("1"), I(0), E, Money(12345678901234567)}),
                   "EMPTY; '1'; 0; EMPTY; 12345678901234568; ''; ''"},
        UnpackCase{"RequiredCurrencyKeptExact", "CloseOrder",
                   Items({T("o"), E, Money(12345678901234567), I(0), T("79"), I(0), I(0), T("")}),
                   "'o'; EMPTY; 12345678901234567; 0; '79'; 0; 0; ''; now; ''; ''; ''; ''; ''; ''"},
        UnpackCase{"EightElements", "CloseOrder",
                   Items({T("o"), E, D(10.5), I(0), T("79"), I(257), I(257), T("ret")}),
                   "'o'; EMPTY; 105000; 0; '79'; 257; 257; 'ret'; now; ''; ''; ''; ''; ''; ''"},
        UnpackCase{"Everything", "CloseOrder",
                   Items({T("o"), Receipt(), Money(12345), T("2.5"), T("79"), I(3), OleVariant::Boolean(true),
                          T("r"), Day(45000.5), T("9"), T("N-7"), T("11"), T("12"), T("13"), T("14")}),
                   "'o'; [((EMPTY; EMPTY; 'P1'; EMPTY; EMPTY; 2; EMPTY))]; 12345; 25000; '79'; 3; -1; 'r'; "
                   "45000.5000; '9'; 'N-7'; '11'; '12'; '13'; '14'"},
        UnpackCase{"RequiredCurrencyTieToEven", "CloseOrder",
                   Items({T("o"), E, D(0.00025), D(0.00035), T("79"), I(0), I(0), T(""), N}),
                   "'o'; EMPTY; 2; 4; '79'; 0; 0; ''; now; ''; ''; ''; ''; ''; ''"},
        UnpackCase{"Defaults", "CancelOrder", Items({T("o"), Day(45000.5), T("a"), I(3), T("b")}),
                   "'o'; 45000.5000; 'a'; 3; 'b'; ''; 0; 0"},
        UnpackCase{"Everything", "CancelOrder",
                   Items({T("o"), D(45000.25), I(2), T("4"), T("b"), T("c"), D(0.00025), T("0.00035")}),
                   "'o'; 45000.2500; '2'; 4; 'b'; 'c'; 2; 4"},
        UnpackCase{"EmptyInData", "GetAvailableProduct", E, "EMPTY; ''"},
        UnpackCase{"TextInData", "GetAvailableProduct", T("x"), "EMPTY; ''"},
        UnpackCase{"TwoDimensions", "GetAvailableProduct", Table2D(), "EMPTY; ''"},
        UnpackCase{"LowerBoundOne", "GetAvailableProduct", Items({I(1), T("p")}, 1), "EMPTY; '1'"},
        UnpackCase{"Everything", "GetAvailableProduct", Items({I(1), T("p")}), "1; 'p'"},
        UnpackCase{"Defaults", "VerifyClient", Items({T("a"), I(1), T("b")}), "'a'; 1; 'b'; 0; 0"},
        UnpackCase{"Everything", "VerifyClient", Items({T("a"), I(1), I(123), D(1.5), Money(25)}),
                   "'a'; 1; '123'; 15000; 25"},
        UnpackCase{"Defaults", "VerifyPromocode", Items({E, T("code"), I(1)}),
                   "EMPTY; 'code'; 1; EMPTY; 0; ''; ''"},
        UnpackCase{"NullVariantsStayOrTurnEmpty", "VerifyPromocode", Items({N, T("code"), I(1), N}),
                   "NULL; 'code'; 1; EMPTY; 0; ''; ''"},
        UnpackCase{"Everything", "VerifyPromocode",
                   Items({T("v"), T("code"), I(1), I(5), D(2), T("x"), T("y")}),
                   "'v'; 'code'; 1; 5; 20000; 'x'; 'y'"}),
    [](const ::testing::TestParamInfo<UnpackCase>& info) {
      return std::string(info.param.method) + "_" + info.param.name;
    });

TEST_F(LoyaltyContractTest, RegisterCustomerNeedsElementSixToExist) {
  EXPECT_EQ(Call("RegisterCustomer", Items({T("1"), I(0), T("Иванов"), E, E, E})), kResultBadInput);
  EXPECT_EQ(loyalty->called, "");
}

TEST_F(LoyaltyContractTest, DefaultOperationsAnswer1003ForWellFormedInData) {
  testing::Held<TBaseLoyaltySystem> plain;
  for (const MethodShape& shape : Shapes()) {
    OleVariant out;
    PublicCall(*plain, shape.method, Items(shape.wellFormed), out);
    EXPECT_EQ(VarToLogStr(out), "[(1003; 'Команда не поддерживается устройством')]") << shape.method;
    PublicCall(*plain, shape.method, E, out);
    EXPECT_EQ(VarToLogStr(out), "[(1004; 'Ошибка входных параметров команды')]") << shape.method;
  }
  OleVariant out;
  PublicCall(*plain, "GetAvailableProduct", E, out);
  EXPECT_EQ(VarToLogStr(out), "[(1003; 'Команда не поддерживается устройством')]");
}

TEST_F(LoyaltyContractTest, DefaultOperationsEmptyTheirTexts) {
  testing::Held<TBaseLoyaltySystem> plain;
  std::string description = "старое";
  TGetCustomerDataOut customer{"a", "b", "c", Currency{1}, "d", "e", 0, 0};
  EXPECT_EQ(plain->DoGetCustomerData({}, customer, description), kResultNotSupported);
  EXPECT_EQ(customer.Name + customer.Phone + customer.Email + customer.CardNumber + customer.ServiceClientID,
            "");
  EXPECT_EQ(description, "");
  TCreateOrderOut order{"a", Currency{}, E, Currency{}, Currency{}, "b"};
  plain->DoCreateOrder({}, order, description);
  EXPECT_EQ(order.OrderID + order.Text4, "");
  TCloseOrderOut close{Currency{}, "a", 0, "b"};
  plain->DoCloseOrder({}, close, description);
  EXPECT_EQ(close.Text + close.Text3, "");
  TCancelOrderOut cancel{"a"};
  plain->DoCancelOrder({}, cancel, description);
  EXPECT_EQ(cancel.Text, "");
}

TEST_F(LoyaltyContractTest, GetCustomerDataPacksEightElementsWithTheirKinds) {
  loyalty->customerOut = {"Иванов Иван", "79", "a@b", Currency{1505000}, "777", "c1", -1, 45000.5};
  Call("GetCustomerData", Items({T("79"), I(0), I(0)}));
  ASSERT_TRUE(outData.IsArray());
  const SafeArray& out = *outData.ArrayValue();
  EXPECT_EQ(out.LowBound(1), 0);
  ASSERT_EQ(out.HighBound(1), 7);
  const VarType kinds[] = {varOleStr, varOleStr, varOleStr, varCurrency,
                           varOleStr, varOleStr, varEmpty,  varDate};
  for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(out.At(i).Type(), kinds[i]) << i;
  EXPECT_EQ(VarToStr(out.At(0)), "Иванов Иван");
  EXPECT_EQ(out.At(3).CurrencyValue().value, 1505000);
  EXPECT_EQ(VarToStr(out.At(5)), "c1");
  EXPECT_DOUBLE_EQ(out.At(7).DoubleValue(), 45000.5);

  for (const int32_t attribute : {0, -2, 5}) {
    loyalty->customerOut.IntegerAttribute = attribute;
    Call("GetCustomerData", Items({T("79"), I(0), I(0)}));
    EXPECT_EQ(outData.ArrayValue()->At(6).Type(), varInteger);
    EXPECT_EQ(VarToInt32(outData.ArrayValue()->At(6)), attribute);
  }
}

TEST_F(LoyaltyContractTest, CreateOrderPacksElementFiveBeforeFour) {
  loyalty->createOut = {"ORDER", Currency{10000}, I(9), Currency{20000}, Currency{50000}, "текст"};
  Call("CreateOrder", Items({E, T("1"), I(0)}));
  EXPECT_EQ(VarToLogStr(outData), "[('ORDER'; 1; 9; 2; 'текст'; 5)]");
  const VarType kinds[] = {varOleStr, varCurrency, varInteger, varCurrency, varOleStr, varCurrency};
  for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(outData.ArrayValue()->At(i).Type(), kinds[i]) << i;
}

TEST_F(LoyaltyContractTest, OtherMethodsPackTheirOutputs) {
  loyalty->closeOut = {Currency{1505000}, "строки", 45000.5, "ещё"};
  Call("CloseOrder", Items({T("o"), E, I(0), I(0), T("1"), I(0), I(0), T("")}));
  ASSERT_TRUE(outData.IsArray());
  const SafeArray& closed = *outData.ArrayValue();
  ASSERT_EQ(closed.HighBound(1), 3);
  const VarType closeKinds[] = {varCurrency, varOleStr, varDate, varOleStr};
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(closed.At(i).Type(), closeKinds[i]) << i;
  EXPECT_EQ(closed.At(0).CurrencyValue().value, 1505000);
  EXPECT_EQ(VarToStr(closed.At(1)), "строки");
  EXPECT_DOUBLE_EQ(closed.At(2).DoubleValue(), 45000.5);
  EXPECT_EQ(VarToStr(closed.At(3)), "ещё");

  loyalty->cancelOut.Text = "отменено";
  Call("CancelOrder", Items({T("o"), Day(45000), T(""), I(0), T("")}));
  EXPECT_EQ(VarToLogStr(outData), "[('отменено')]");
  EXPECT_EQ(outData.ArrayValue()->At(0).Type(), varOleStr);

  Call("VerifyClient", Items({T("a"), I(1), I(123)}));
  EXPECT_EQ(VarToLogStr(outData), "[('123')]");
  EXPECT_EQ(outData.ArrayValue()->At(0).Type(), varOleStr);

  loyalty->productOut = Items({T("товар"), I(2)});
  EXPECT_EQ(Call("GetAvailableProduct", T("not an array")), kResultOk);
  EXPECT_EQ(VarToLogStr(outData), "[([('товар'; 2)])]");

  Call("RegisterCustomer", Items({T("1"), I(0), T("И"), E, E, E, E}));
  EXPECT_TRUE(outData.IsEmpty());
  Call("VerifyPromocode", Items({E, T("code"), I(1)}));
  EXPECT_TRUE(outData.IsEmpty());
}

TEST_F(LoyaltyContractTest, AFailingOperationDeliversNoOutputs) {
  loyalty->code = 70;
  loyalty->customerOut.Name = "не для хоста";
  Call("GetCustomerData", Items({T("79"), I(0), I(0)}));
  EXPECT_EQ(VarToLogStr(outData), "[(70; 'Устройство не включено')]");

  loyalty->code = kResultOk;
  loyalty->failure = "сбой операции";
  Call("CloseOrder", Items({T("o"), E, I(0), I(0), T("1"), I(0), I(0), T("")}));
  EXPECT_EQ(VarToLogStr(outData), "[(1001; 'сбой операции')]");
}

TEST_F(LoyaltyContractTest, MethodsRunBeforeTheDeviceIsEnabled) {
  ASSERT_NE(loyalty->DeviceState(), dsEnabled);
  EXPECT_EQ(Call("VerifyClient", Items({T("a"), I(1), T("b")})), kResultOk);
  EXPECT_EQ(loyalty->called, "VerifyClient");
}

}  // namespace
}  // namespace tallowmer
