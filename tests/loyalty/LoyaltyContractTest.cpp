#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "common/uEquipmentErrors.h"
#include "loyalty/uBaseLoyaltySystem.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using testing::PublicCall;

// Records what each operation received and answers with prepared outputs.
class RecordingLoyalty : public TBaseLoyaltySystem {
 public:
  int32_t DoGetCustomerData(const TGetCustomerDataIn& in, TGetCustomerDataOut& out, std::string&) override {
    called = "GetCustomerData";
    customerIn = in;
    out = customerOut;
    return code;
  }
  int32_t DoRegisterCustomer(const TRegisterCustomerIn& in, std::string&) override {
    called = "RegisterCustomer";
    registerIn = in;
    return code;
  }
  int32_t DoCreateOrder(const TCreateOrderIn& in, TCreateOrderOut& out, std::string&) override {
    called = "CreateOrder";
    createIn = in;
    out = createOut;
    return code;
  }
  int32_t DoCloseOrder(const TCloseOrderIn& in, TCloseOrderOut& out, std::string&) override {
    called = "CloseOrder";
    closeIn = in;
    receiptWasArray = in.Receipt != nullptr && in.Receipt->IsArray();
    closeIn.Receipt = nullptr;
    out = closeOut;
    return code;
  }
  int32_t DoCancelOrder(const TCancelOrderIn& in, TCancelOrderOut& out, std::string&) override {
    called = "CancelOrder";
    cancelIn = in;
    out.Text = "отменено";
    return code;
  }
  int32_t DoGetAvailableProduct(const TGetAvailableProductIn& in, OleVariant& product,
                                std::string&) override {
    called = "GetAvailableProduct";
    productIn = in;
    product = OleVariant::Text("товар");
    return code;
  }
  int32_t DoVerifyClient(const TVerifyClientIn& in, std::string&) override {
    called = "VerifyClient";
    verifyIn = in;
    return code;
  }
  int32_t DoVerifyPromocode(const TVerifyPromocodeIn&, std::string&) override {
    called = "VerifyPromocode";
    return code;
  }

  std::string called;
  int32_t code = kResultOk;
  TGetCustomerDataIn customerIn;
  TGetCustomerDataOut customerOut;
  TRegisterCustomerIn registerIn;
  TCreateOrderIn createIn;
  TCreateOrderOut createOut;
  TCloseOrderIn closeIn;
  bool receiptWasArray = false;
  TCloseOrderOut closeOut;
  TCancelOrderIn cancelIn;
  TGetAvailableProductIn productIn;
  TVerifyClientIn verifyIn;
};

OleVariant Items(std::vector<OleVariant> items, int32_t lower = 0) {
  return OleVariant::Vector(std::move(items), lower);
}
OleVariant T(const char* text) {
  return OleVariant::Text(text);
}
OleVariant I(int32_t value) {
  return OleVariant::Int32(value);
}

struct MethodShape {
  const char* method;
  std::vector<OleVariant> wellFormed;
  int32_t requiredText;    // an element read as text
  int32_t requiredNumber;  // an element read as a number
};

std::vector<MethodShape> Shapes() {
  return {
      {"GetCustomerData", {T("79001234567"), I(0), I(0)}, 0, 1},
      {"RegisterCustomer",
       {T("1"), I(0), T("Иванов"), OleVariant(), OleVariant(), OleVariant(), OleVariant()},
       2,
       1},
      {"CreateOrder", {OleVariant(), T("1"), I(0)}, 1, 2},
      {"CloseOrder", {T("order"), OleVariant(), I(0), I(0), T("1"), I(0), I(0), T("")}, 4, 5},
      {"CancelOrder", {T("order"), OleVariant::Double(45000.5), T(""), I(0), T("")}, 0, 3},
      {"VerifyClient", {T("a"), I(1), T("b")}, 0, 1},
      {"VerifyPromocode", {OleVariant(), T("code"), I(1)}, 1, 2},
  };
}

class LoyaltyContractTest : public ::testing::Test {
 protected:
  int32_t Call(const std::string& method, OleVariant inData) {
    loyalty->called.clear();
    const testing::Outcome outcome = PublicCall(*loyalty, method, std::move(inData), outData);
    EXPECT_EQ(outcome.hr, hrOk);
    if (VarToBool(outcome.result)) return kResultOk;
    return outData.IsArray() ? VarToInt32(outData.ArrayValue()->At(0)) : -12345;
  }

  testing::TestEnv env;
  testing::Held<RecordingLoyalty> loyalty;
  OleVariant outData;
};

TEST_F(LoyaltyContractTest, MethodsTakeDispIdsTenToSeventeen) {
  const char* names[] = {"GetCustomerData", "RegisterCustomer",    "CreateOrder",  "CloseOrder",
                         "CancelOrder",     "GetAvailableProduct", "VerifyClient", "VerifyPromocode"};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(loyalty->FindMethodID(names[i]), static_cast<int32_t>(10 + i));
    EXPECT_TRUE(loyalty->Methods()[10 + i].IsSpecific);
    EXPECT_TRUE(loyalty->Methods()[10 + i].IsPublic);
  }
  EXPECT_EQ(loyalty->DeviceInfo().TypeName, "LoyaltySystem");
}

TEST_F(LoyaltyContractTest, MalformedInDataAnswers1004WithoutCallingTheOperation) {
  for (const MethodShape& shape : Shapes()) {
    std::vector<OleVariant> nullText = shape.wellFormed;
    nullText[static_cast<size_t>(shape.requiredText)] = OleVariant::Null();
    std::vector<OleVariant> badNumber = shape.wellFormed;
    badNumber[static_cast<size_t>(shape.requiredNumber)] = T("abc");
    std::vector<OleVariant> truncated = shape.wellFormed;
    truncated.pop_back();
    const std::pair<const char*, OleVariant> cases[] = {
        {"Empty", OleVariant()},
        {"not an array", T("x")},
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

TEST_F(LoyaltyContractTest, DefaultOperationsAnswer1003ForWellFormedInData) {
  testing::Held<TBaseLoyaltySystem> plain;
  for (const MethodShape& shape : Shapes()) {
    OleVariant out;
    PublicCall(*plain, shape.method, Items(shape.wellFormed), out);
    EXPECT_EQ(VarToLogStr(out), "[(1003; 'Команда не поддерживается устройством')]") << shape.method;
  }
  OleVariant out;
  PublicCall(*plain, "GetAvailableProduct", OleVariant(), out);
  EXPECT_EQ(VarToLogStr(out), "[(1003; 'Команда не поддерживается устройством')]");
}

TEST_F(LoyaltyContractTest, EmptyRequiredTextReadsAsEmptyAndOptionalNullTakesItsDefault) {
  EXPECT_EQ(Call("CloseOrder", Items({OleVariant(), OleVariant(), I(0), I(0), T("1"), I(0), I(0), T("ret"),
                                      OleVariant::Null(), OleVariant::Null(), T("N-7")})),
            kResultOk);
  EXPECT_EQ(loyalty->closeIn.OrderID, "");
  EXPECT_EQ(loyalty->closeIn.OrderNumber, "N-7");
  EXPECT_EQ(loyalty->closeIn.Element9, "");
}

TEST_F(LoyaltyContractTest, CloseOrderWithEightElementsTakesTheCurrentTimeAndEmptyTexts) {
  env.fixedClock = true;
  OleVariant receipt = OleVariant::Array(SafeArray::Create2D({0, 7}, {0, 1}));
  EXPECT_EQ(Call("CloseOrder",
                 Items({T("o"), receipt, OleVariant::Double(10.5), I(0), T("79"), I(257), I(257), T("ret")})),
            kResultOk);
  const TCloseOrderIn& in = loyalty->closeIn;
  EXPECT_DOUBLE_EQ(in.ReturnDateTime, EncodeDateTime(env.clock));
  EXPECT_EQ(in.OrderNumber, "");
  EXPECT_EQ(in.Element14, "");
  EXPECT_EQ(in.BonusWriteOff.value, 105000);
  EXPECT_EQ(in.ClientIDKind, 257);
  EXPECT_EQ(in.OperationKind, 257);
  EXPECT_TRUE(loyalty->receiptWasArray);

  EXPECT_EQ(Call("CloseOrder", Items({T("o"), OleVariant(), I(0), I(0), T("79"), I(0),
                                      OleVariant::Boolean(true), T("ret")})),
            kResultOk);
  EXPECT_EQ(loyalty->closeIn.OperationKind, -1);
}

TEST_F(LoyaltyContractTest, RegisterCustomerNeedsElementSixAndReadsItsDate) {
  env.fixedClock = true;
  std::vector<OleVariant> items{T("1"), I(0), T("Иванов"), OleVariant(), OleVariant(), OleVariant()};
  EXPECT_EQ(Call("RegisterCustomer", Items(items)), kResultBadInput);
  items.push_back(OleVariant());
  Call("RegisterCustomer", Items(items));
  EXPECT_DOUBLE_EQ(loyalty->registerIn.DateAttribute, -1.0);
  EXPECT_EQ(loyalty->registerIn.Element5, -1);
  items[6] = OleVariant::Null();
  Call("RegisterCustomer", Items(items));
  EXPECT_DOUBLE_EQ(loyalty->registerIn.DateAttribute, EncodeDateTime(env.clock));
  items[6] = OleVariant::Date(45000.25);
  Call("RegisterCustomer", Items(items));
  EXPECT_DOUBLE_EQ(loyalty->registerIn.DateAttribute, 45000.25);
  EXPECT_EQ(loyalty->called, "RegisterCustomer");
}

TEST_F(LoyaltyContractTest, OptionalCurrencyIsReadThroughADouble) {
  Call("CreateOrder",
       Items({OleVariant(), T("1"), I(0), OleVariant::Null(), T("1.5"), OleVariant(), T("x")}));
  EXPECT_EQ(loyalty->createIn.Element4.value, 15000);
  EXPECT_TRUE(loyalty->createIn.Element3.IsEmpty());
  EXPECT_EQ(loyalty->createIn.Element6, "x");
  EXPECT_EQ(Call("CreateOrder", Items({OleVariant(), T("1"), I(0), OleVariant(), T("много")})),
            kResultBadInput);
}

TEST_F(LoyaltyContractTest, GetCustomerDataPacksEightElementsWithTheirKinds) {
  loyalty->customerOut = {"Иванов Иван", "79", "a@b", Currency{1505000}, "777", "c1", -1, 45000.5};
  Call("GetCustomerData", Items({T("79"), I(0), I(0)}));
  ASSERT_TRUE(outData.IsArray());
  const SafeArray& out = *outData.ArrayValue();
  ASSERT_EQ(out.HighBound(1), 7);
  const VarType kinds[] = {varOleStr, varOleStr, varOleStr, varCurrency,
                           varOleStr, varOleStr, varEmpty,  varDate};
  for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(out.At(i).Type(), kinds[i]) << i;
  EXPECT_EQ(out.At(3).CurrencyValue().value, 1505000);

  loyalty->customerOut.IntegerAttribute = 0;
  Call("GetCustomerData", Items({T("79"), I(0), I(0)}));
  EXPECT_EQ(outData.ArrayValue()->At(6).Type(), varInteger);
}

TEST_F(LoyaltyContractTest, CreateOrderPacksElementFiveBeforeFour) {
  loyalty->createOut = {"ORDER",         Currency{10000}, OleVariant::Int32(9),
                        Currency{20000}, Currency{50000}, "текст"};
  Call("CreateOrder", Items({OleVariant(), T("1"), I(0)}));
  EXPECT_EQ(VarToLogStr(outData), "[('ORDER'; 1; 9; 2; 'текст'; 5)]");
  const VarType kinds[] = {varOleStr, varCurrency, varInteger, varCurrency, varOleStr, varCurrency};
  for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(outData.ArrayValue()->At(i).Type(), kinds[i]) << i;
}

TEST_F(LoyaltyContractTest, OtherMethodsPackTheirOutputs) {
  loyalty->closeOut = {Currency{1505000}, "строки", 45000.5, ""};
  Call("CloseOrder", Items({T("o"), OleVariant(), I(0), I(0), T("1"), I(0), I(0), T("")}));
  const VarType closeKinds[] = {varCurrency, varOleStr, varDate, varOleStr};
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(outData.ArrayValue()->At(i).Type(), closeKinds[i]) << i;

  Call("CancelOrder", Items({T("o"), OleVariant::Date(45000), T(""), I(0), T("")}));
  EXPECT_EQ(VarToLogStr(outData), "[('отменено')]");

  Call("VerifyClient", Items({T("a"), I(1), I(123)}));
  EXPECT_EQ(VarToLogStr(outData), "[('123')]");

  EXPECT_EQ(Call("GetAvailableProduct", T("not an array")), kResultOk);
  EXPECT_TRUE(loyalty->productIn.Element0.IsEmpty());
  EXPECT_EQ(loyalty->productIn.Element1, "");
  EXPECT_EQ(VarToLogStr(outData), "[('товар')]");

  Call("RegisterCustomer",
       Items({T("1"), I(0), T("И"), OleVariant(), OleVariant(), OleVariant(), OleVariant()}));
  EXPECT_TRUE(outData.IsEmpty());
  Call("VerifyPromocode", Items({OleVariant(), T("code"), I(1)}));
  EXPECT_TRUE(outData.IsEmpty());
}

TEST_F(LoyaltyContractTest, AFailingOperationDeliversNoOutputs) {
  loyalty->code = 70;
  Call("GetCustomerData", Items({T("79"), I(0), I(0)}));
  EXPECT_EQ(VarToLogStr(outData), "[(70; 'Устройство не включено')]");
}

}  // namespace
}  // namespace tallowmer
