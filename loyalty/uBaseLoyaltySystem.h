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

struct TGetCustomerDataIn {
  std::string ClientID;
  int32_t ClientIDKind = 0;
  int32_t Element2 = 0;
};
struct TGetCustomerDataOut {
  std::string Name;
  std::string Phone;
  std::string Email;
  Currency BonusBalance;
  std::string CardNumber;
  std::string ServiceClientID;
  int32_t IntegerAttribute = 0;  // -1 reaches the host as Empty
  double DateAttribute = 0;
};

struct TRegisterCustomerIn {
  std::string ClientID;
  int32_t ClientIDKind = 0;
  std::string FullName;
  std::string Element3;
  std::string Element4;
  int32_t Element5 = -1;
  double DateAttribute = -1;  // -1.0 when the host sent Empty, the current time for Null
  int32_t Element7 = 0;
  std::string Element8;
};

struct TCreateOrderIn {
  OleVariant Element0;
  std::string ClientID;
  int32_t ClientIDKind = 0;
  OleVariant Element3;
  Currency Element4;
  std::string Element5;
  std::string Element6;
};
struct TCreateOrderOut {
  std::string OrderID;
  Currency BonusBalance;
  OleVariant Value2;
  Currency Amount3;
  Currency Amount5;  // the operation sets element 5 before element 4
  std::string Text4;
};

struct TCloseOrderIn {
  std::string OrderID;
  // The receipt table inside InData, [column, line]: 2 product, 3 name, 4 discount, 5 quantity,
  // 6 amount. It stays where the host put it for the length of the call, as receipts can be large.
  const OleVariant* Receipt = nullptr;
  Currency BonusWriteOff;
  Currency Element3;
  std::string ClientID;
  int32_t ClientIDKind = 0;
  int32_t OperationKind = 0;  // low 8 bits 1: a return
  std::string ReturnOrderID;
  double ReturnDateTime = 0;
  std::string Element9;
  std::string OrderNumber;
  std::string Element11;
  std::string Element12;
  std::string Element13;
  std::string Element14;
};
struct TCloseOrderOut {
  Currency BonusBalance;
  std::string Text;
  double TransactionDateTime = 0;
  std::string Text3;
};

struct TCancelOrderIn {
  std::string OrderID;
  double TransactionDateTime = 0;
  std::string Element2;
  int32_t Element3 = 0;
  std::string Element4;
  std::string Element5;
  Currency Element6;
  Currency Element7;
};
struct TCancelOrderOut {
  std::string Text;
};

struct TGetAvailableProductIn {
  OleVariant Element0;
  std::string Element1;
};

struct TVerifyClientIn {
  std::string Element0;
  int32_t Element1 = 0;
  std::string Element2;
  Currency Element3;
  Currency Element4;
};

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
