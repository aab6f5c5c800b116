#pragma once

// TDevice: the client of the cloud loyalty service. Each operation builds one request, sends it
// through THTTPRest, writes a line before and after it to the process-wide log sink, and returns
// the answer re-written as compact JSON, or raises EquException with the failure's code and text.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/OleVariant.h"
#include "common/uCommonUtils.h"
#include "service/uHTTP.h"

namespace tallowmer {

// One receipt line of a sale.
class TCheckItem {
 public:
  TCheckItem(std::string ANID, std::string AGroupID, std::string AName, std::string AGroupName,
             Currency APrice, Currency APriceWithDiscount, double AQuantity);

  const std::string& NID() const { return FNID; }
  const std::string& GroupID() const { return FGroupID; }
  const std::string& Name() const { return FName; }
  const std::string& GroupName() const { return FGroupName; }
  Currency Price() const { return FPrice; }
  Currency PriceWithDiscount() const { return FPriceWithDiscount; }
  double Quantity() const { return FQuantity; }

 private:
  std::string FNID;
  std::string FGroupID;
  std::string FName;
  std::string FGroupName;
  Currency FPrice;
  Currency FPriceWithDiscount;
  double FQuantity;
};

// The name of an identifier kind in queries and bodies: 0 "clientId", 1 "cardBarcode",
// 2 "cardNumber", 3 "phone", anything else empty.
std::string ClientTypeText(int32_t AClientType);

class TDevice {
 public:
  // With the platform's HTTP client.
  TDevice();
  explicit TDevice(std::unique_ptr<IHttpTransport> AHTTPClient);
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  std::string ClientInfo(int32_t AClientType, const std::string& AID);
  std::string CreateClient(const std::string& ALastName, const std::string& AFirstName,
                           const std::string& APatronymic, int32_t AClientType, const std::string& AID);
  // ATransactionDateTime receives the "date" sent with the order ("yyyy-mm-dd hh:nn:ss").
  std::string CreateOrder(int32_t AClientType, const std::string& AID,
                          const std::vector<TCheckItem>& ACheckItemList, const std::string& AOrderID,
                          const std::string& AOrderNumber, Currency ABonusWriteOff,
                          std::string& ATransactionDateTime, Currency ASumOrder,
                          Currency ASumOrderWithDiscount);
  std::string ReturnOrder(const std::string& AGUID, const std::string& ATransactionDateTime,
                          Currency ATransactionSum);
  std::string GetTemplates();
  std::string Ping();

  // Raises the failure of the last request; returns when it succeeded.
  void GetResult();

  THTTPRest& HTTPRest() { return *FHTTPRest; }
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& value) { FHost = value; }
  const std::string& Token() const { return FToken; }
  void SetToken(const std::string& value) { FToken = value; }

  // Where this client's log lines go; without one, to the process-wide log sink.
  void SetLog(ILog* log) { FLog = log; }

  const std::string& Data() const { return FData; }
  int32_t CodeResult() const { return FCodeResult; }
  const std::string& ResultDescription() const { return FResultDescription; }

 private:
  std::string Execute(TMethodType AMethod, const std::string& APathAndQuery, const std::string& ABeforeLine,
                      const std::string& AAfterLine);
  void Log(const std::string& AText) const;

  std::unique_ptr<THTTPRest> FHTTPRest;
  std::string FData;
  int32_t FCodeResult = 0;
  std::string FResultDescription;
  std::string FHost;
  std::string FToken;
  ILog* FLog = nullptr;
};

}  // namespace tallowmer
