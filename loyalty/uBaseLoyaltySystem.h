#pragma once

// TBaseLoyaltySystem: the equipment class of loyalty systems. It registers the eight loyalty
// methods, unpacks each method's InData into typed values, hands them to one virtual operation per
// method and packs the operation's outputs into the OutData array the host receives. Operations a
// concrete driver does not override answer 1003.
//
// Each operation gets its InData elements as a record whose fields follow the element order, and
// fills a record of outputs that come preset (texts empty, amounts 0, date-times 0.0, variants
// Empty). Elements whose meaning belongs to the host and that this system only passes on are named
// after their position.

#include <cstdint>
#include <string>

#include "device/uBaseDevice.h"

namespace tallowmer {

// Identifier kinds; only the low 8 bits of the host's integer count.
enum TClientIDKind : int32_t { ckPhone = 0, ckCardNumber = 1, ckCardToken = 2, ckClientID = 3 };

// GetCustomerData: look a customer up.
struct TGetCustomerDataIn {
  std::string ClientID;      // the customer's identifier
  int32_t ClientIDKind = 0;  // what ClientID is (TClientIDKind, low 8 bits)
  int32_t Element2 = 0;
};
struct TGetCustomerDataOut {
  std::string Name;  // the customer's full name
  std::string Phone;
  std::string Email;
  Currency BonusBalance;
  std::string CardNumber;        // the loyalty card's number
  std::string ServiceClientID;   // the loyalty service's own identifier of the customer
  int32_t IntegerAttribute = 0;  // -1 reaches the host as Empty
  double DateAttribute = 0;      // a date-time
};

// RegisterCustomer: register a new customer; nothing comes back but the result.
struct TRegisterCustomerIn {
  std::string ClientID;
  int32_t ClientIDKind = 0;  // TClientIDKind, low 8 bits
  std::string FullName;
  std::string Element3;
  std::string Element4;
  int32_t Element5 = -1;
  double DateAttribute = -1;  // -1.0 when the host sent Empty, the current time for Null
  int32_t Element7 = 0;
  std::string Element8;
};

// CreateOrder: open an order for a customer.
struct TCreateOrderIn {
  OleVariant Element0;
  std::string ClientID;
  int32_t ClientIDKind = 0;  // TClientIDKind, low 8 bits
  OleVariant Element3;
  Currency Element4;
  std::string Element5;
  std::string Element6;
};
struct TCreateOrderOut {
  std::string OrderID;    // given back by the host to CloseOrder and CancelOrder
  Currency BonusBalance;  // the customer's current balance
  OleVariant Value2;
  Currency Amount3;
  Currency Amount5;  // the operation sets element 5 before element 4
  std::string Text4;
};

// CloseOrder: register the sale or the return of an order.
struct TCloseOrderIn {
  std::string OrderID;  // from CreateOrder
  // The receipt table inside InData, [column, line]: 2 product, 3 name, 4 discount, 5 quantity,
  // 6 amount. It stays where the host put it for the length of the call, as receipts can be large.
  const OleVariant* Receipt = nullptr;
  Currency BonusWriteOff;  // bonuses the customer spends on this receipt
  Currency Element3;
  std::string ClientID;
  int32_t ClientIDKind = 0;   // TClientIDKind, low 8 bits
  int32_t OperationKind = 0;  // low 8 bits 1: a return; anything else: a sale
  std::string ReturnOrderID;  // the order being returned
  double ReturnDateTime = 0;  // that order's transaction date-time; now when the host sent none
  std::string Element9;
  std::string OrderNumber;  // the receipt's number
  std::string Element11;
  std::string Element12;
  std::string Element13;
  std::string Element14;
};
struct TCloseOrderOut {
  Currency BonusBalance;  // after the operation
  std::string Text;       // for the receipt, lines separated by CR LF
  double TransactionDateTime = 0;
  std::string Text3;
};

// CancelOrder: cancel a completed order.
struct TCancelOrderIn {
  std::string OrderID;
  double TransactionDateTime = 0;  // of the order's transaction
  std::string Element2;
  int32_t Element3 = 0;
  std::string Element4;
  std::string Element5;
  Currency Element6;
  Currency Element7;
};
struct TCancelOrderOut {
  std::string Text;  // for the receipt, lines separated by CR LF
};

// GetAvailableProduct: the host's InData may have any form; absent elements take their defaults.
// The operation's variant is sent back as the only element of OutData.
struct TGetAvailableProductIn {
  OleVariant Element0;
  std::string Element1;
};

// VerifyClient: on success the host gets Element2 back as text.
struct TVerifyClientIn {
  std::string Element0;
  int32_t Element1 = 0;
  std::string Element2;
  Currency Element3;
  Currency Element4;
};

// VerifyPromocode: nothing comes back but the result.
struct TVerifyPromocodeIn {
  OleVariant Element0;
  std::string Element1;
  int32_t Element2 = 0;
  OleVariant Element3;
  Currency Element4;
  std::string Element5;
  std::string Element6;
};

class TBaseLoyaltySystem : public TBaseDevice {
 public:
  void RegisterMethods() override;
  void FillDeviceInfo() override;

  // One operation per host method, in slot order. Each gets the converted InData elements and
  // fills its preset outputs; only a result of 0 sends the outputs to the host. Here each empties
  // its texts and answers 1003 (not supported).
  virtual int32_t DoGetCustomerData(const TGetCustomerDataIn& in, TGetCustomerDataOut& out,
                                    std::string& resultDescription);
  virtual int32_t DoRegisterCustomer(const TRegisterCustomerIn& in, std::string& resultDescription);
  virtual int32_t DoCreateOrder(const TCreateOrderIn& in, TCreateOrderOut& out,
                                std::string& resultDescription);
  virtual int32_t DoCloseOrder(const TCloseOrderIn& in, TCloseOrderOut& out, std::string& resultDescription);
  virtual int32_t DoCancelOrder(const TCancelOrderIn& in, TCancelOrderOut& out,
                                std::string& resultDescription);
  virtual int32_t DoGetAvailableProduct(const TGetAvailableProductIn& in, OleVariant& product,
                                        std::string& resultDescription);
  virtual int32_t DoVerifyClient(const TVerifyClientIn& in, std::string& resultDescription);
  virtual int32_t DoVerifyPromocode(const TVerifyPromocodeIn& in, std::string& resultDescription);

 private:
  int32_t GetCustomerData(const OleVariant& inData, OleVariant& outData, std::string& resultDescription);
  int32_t RegisterCustomer(const OleVariant& inData, std::string& resultDescription);
  int32_t CreateOrder(const OleVariant& inData, OleVariant& outData, std::string& resultDescription);
  int32_t CloseOrder(const OleVariant& inData, OleVariant& outData, std::string& resultDescription);
  int32_t CancelOrder(const OleVariant& inData, OleVariant& outData, std::string& resultDescription);
  int32_t GetAvailableProduct(const OleVariant& inData, OleVariant& outData, std::string& resultDescription);
  int32_t VerifyClient(const OleVariant& inData, OleVariant& outData, std::string& resultDescription);
  int32_t VerifyPromocode(const OleVariant& inData, std::string& resultDescription);
};

}  // namespace tallowmer
