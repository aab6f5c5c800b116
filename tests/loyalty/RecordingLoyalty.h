#pragma once

// A loyalty device whose operations record what they received, as a line of text in field order,
// and answer with outputs and a result code the test prepares.

#include <cstdio>
#include <string>

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "loyalty/uBaseLoyaltySystem.h"

namespace tallowmer::testing {

// The rendering of what an operation received: texts quoted, amounts in ten-thousandths,
// date-times with four decimals or "now" for the clock's reading, variants as the log shows them.
class Received {
 public:
  explicit Received(double now) : now_(now) {}

  Received& Text(const std::string& value) { return Add("'" + value + "'"); }
  Received& Number(int32_t value) { return Add(std::to_string(value)); }
  Received& Amount(Currency value) { return Add(std::to_string(value.value)); }
  Received& Date(double value) {
    if (value == now_) return Add("now");
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return Add(text);
  }
  Received& Variant(const OleVariant& value) { return Add(VarToLogStr(value)); }
  const std::string& str() const { return line_; }

 private:
  Received& Add(const std::string& item) {
    line_ += (line_.empty() ? "" : "; ") + item;
    return *this;
  }

  double now_;
  std::string line_;
};

class RecordingLoyalty : public TBaseLoyaltySystem {
 public:
  int32_t DoGetCustomerData(const TGetCustomerDataIn& in, TGetCustomerDataOut& out, std::string&) override {
    Record("GetCustomerData", Start().Text(in.ClientID).Number(in.ClientIDKind).Number(in.Element2));
    out = customerOut;
    return Answer();
  }
  int32_t DoRegisterCustomer(const TRegisterCustomerIn& in, std::string&) override {
    Record("RegisterCustomer", Start()
                                   .Text(in.ClientID)
                                   .Number(in.ClientIDKind)
                                   .Text(in.FullName)
                                   .Text(in.Element3)
                                   .Text(in.Element4)
                                   .Number(in.Element5)
                                   .Date(in.DateAttribute)
                                   .Number(in.Element7)
                                   .Text(in.Element8));
    return Answer();
  }
  int32_t DoCreateOrder(const TCreateOrderIn& in, TCreateOrderOut& out, std::string&) override {
    Record("CreateOrder", Start()
                              .Variant(in.Element0)
                              .Text(in.ClientID)
                              .Number(in.ClientIDKind)
                              .Variant(in.Element3)
                              .Amount(in.Element4)
                              .Text(in.Element5)
                              .Text(in.Element6));
    out = createOut;
    return Answer();
  }
  int32_t DoCloseOrder(const TCloseOrderIn& in, TCloseOrderOut& out, std::string&) override {
    Record("CloseOrder", Start()
                             .Text(in.OrderID)
                             .Variant(in.Receipt != nullptr ? *in.Receipt : OleVariant::Text("no receipt"))
                             .Amount(in.BonusWriteOff)
                             .Amount(in.Element3)
                             .Text(in.ClientID)
                             .Number(in.ClientIDKind)
                             .Number(in.OperationKind)
                             .Text(in.ReturnOrderID)
                             .Date(in.ReturnDateTime)
                             .Text(in.Element9)
                             .Text(in.OrderNumber)
                             .Text(in.Element11)
                             .Text(in.Element12)
                             .Text(in.Element13)
                             .Text(in.Element14));
    out = closeOut;
    return Answer();
  }
  int32_t DoCancelOrder(const TCancelOrderIn& in, TCancelOrderOut& out, std::string&) override {
    Record("CancelOrder", Start()
                              .Text(in.OrderID)
                              .Date(in.TransactionDateTime)
                              .Text(in.Element2)
                              .Number(in.Element3)
                              .Text(in.Element4)
                              .Text(in.Element5)
                              .Amount(in.Element6)
                              .Amount(in.Element7));
    out = cancelOut;
    return Answer();
  }
  int32_t DoGetAvailableProduct(const TGetAvailableProductIn& in, OleVariant& product,
                                std::string&) override {
    Record("GetAvailableProduct", Start().Variant(in.Element0).Text(in.Element1));
    product = productOut;
    return Answer();
  }
  int32_t DoVerifyClient(const TVerifyClientIn& in, std::string&) override {
    Record("VerifyClient", Start()
                               .Text(in.Element0)
                               .Number(in.Element1)
                               .Text(in.Element2)
                               .Amount(in.Element3)
                               .Amount(in.Element4));
    return Answer();
  }
  int32_t DoVerifyPromocode(const TVerifyPromocodeIn& in, std::string&) override {
    Record("VerifyPromocode", Start()
                                  .Variant(in.Element0)
                                  .Text(in.Element1)
                                  .Number(in.Element2)
                                  .Variant(in.Element3)
                                  .Amount(in.Element4)
                                  .Text(in.Element5)
                                  .Text(in.Element6));
    return Answer();
  }

  // The operation that ran last and what it received; both empty when none ran.
  std::string called;
  std::string received;

  int32_t code = kResultOk;
  // When set, the operation raises it instead of answering.
  std::string failure;
  TGetCustomerDataOut customerOut;
  TCreateOrderOut createOut;
  TCloseOrderOut closeOut;
  TCancelOrderOut cancelOut;
  OleVariant productOut;

 private:
  Received Start() const { return Received(NowAsDateTime()); }
  void Record(const char* operation, const Received& line) {
    called = operation;
    received = line.str();
  }
  int32_t Answer() const {
    if (!failure.empty()) throw Exception(failure);
    return code;
  }
};

}  // namespace tallowmer::testing
