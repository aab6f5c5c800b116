#pragma once

// TDriver: the loyalty driver the host creates. It owns the service client, declares the
// connection settings, describes itself, hands Host and Token to the client on Enable, offers the
// device test, serves as the process-wide log sink, and carries out the loyalty methods on the
// service.

#include <memory>
#include <string>

#include "driver/ClientInfo.h"
#include "loyalty/uBaseLoyaltySystem.h"
#include "service/WaitedTransport.h"
#include "service/uDevice.h"

namespace tallowmer {

// The service's address when the host has set none.
inline constexpr const char* kDefaultServiceHost = "https://api.tallowmer.ru/api/v2";
// The longest Token that SetSettings takes, in characters.
inline constexpr size_t kTokenLimit = 4096;

class TDriver : public TBaseLoyaltySystem, public ILog {
 public:
  void RegisterSettings() override;
  void FillDeviceInfo() override;
  int32_t DoEnable(std::string& resultDescription) override;
  int32_t DoDisable(std::string& resultDescription) override;
  bool DoShowSettingsDlg() override;
  void DoCreate() override;
  void DoDestroy() override;
  bool DeviceTest(std::string& resultDescription) override;

  int32_t DoGetCustomerData(const TGetCustomerDataIn& in, TGetCustomerDataOut& out,
                            std::string& resultDescription) override;
  int32_t DoRegisterCustomer(const TRegisterCustomerIn& in, std::string& resultDescription) override;
  int32_t DoCreateOrder(const TCreateOrderIn& in, TCreateOrderOut& out,
                        std::string& resultDescription) override;
  int32_t DoCloseOrder(const TCloseOrderIn& in, TCloseOrderOut& out, std::string& resultDescription) override;
  int32_t DoCancelOrder(const TCancelOrderIn& in, TCancelOrderOut& out,
                        std::string& resultDescription) override;

  void Log(const std::string& name, const std::string& text) override;

  TDevice& Device() { return *FDevice; }

 protected:
  // The service client this driver talks through; the platform's by default.
  virtual std::unique_ptr<TDevice> CreateDevice();
  // A transport for one request of the device test, with the test's bounds; the platform's by
  // default. It may be used on another thread and outlive this object.
  virtual std::unique_ptr<IHttpTransport> CreateTransport(const TransportOptions& options);

 private:
  TClientInfo LoadClientInfo(int32_t clientIdKind, const std::string& clientId);
  void InitSSLLibrary();
  TransportFactory TransportMaker();

  std::unique_ptr<TDevice> FDevice;
};

}  // namespace tallowmer
