#include "driver/uDriver.h"

#include "common/DateTime.h"
#include "common/Exceptions.h"
#include "common/FormatSettings.h"
#include "common/uEquipmentErrors.h"
#include "driver/DriverFactory.h"
#include "driver/Receipt.h"
#include "platform/Env.h"
#include "service/WaitedTransport.h"
#include "ui/SettingsDialogViewFactory.h"
#include "ui/ufmCommonSettings.h"
#include "ui/ufmMainSettings.h"

namespace tallowmer {
namespace {

// Runs one loyalty operation: an equipment exception reports its own code, anything else 1001,
// both with the exception's message.
template <typename Operation>
int32_t Guarded(std::string& resultDescription, Operation operation) {
  try {
    return operation();
  } catch (const EquException& error) {
    resultDescription = error.Message();
    return error.Code;
  } catch (const std::exception& error) {
    resultDescription = error.what();
    return kResultUnknownError;
  }
}

std::string WithoutBraces(const std::string& guid) {
  return guid.substr(1, guid.size() - 2);
}

// While the settings dialog's device test waits, the client's requests run through its wait, each
// on a transport of its own that the driver makes for it.
class WaitedRequests {
 public:
  WaitedRequests(THTTPRest& rest, IResponsiveWait* wait, TransportFactory makeTransport) : rest_(rest) {
    if (wait == nullptr) return;
    saved_ = rest_.ReplaceHTTPClient(
        std::make_unique<WaitedTransport>(*wait, std::move(makeTransport), DefaultTransportOptions()));
  }
  WaitedRequests(const WaitedRequests&) = delete;
  WaitedRequests& operator=(const WaitedRequests&) = delete;
  ~WaitedRequests() {
    if (saved_) rest_.ReplaceHTTPClient(std::move(saved_));
  }

 private:
  THTTPRest& rest_;
  std::unique_ptr<IHttpTransport> saved_;
};

}  // namespace

DispatchPtr CreateDriverObject() {
  auto* driver = new TDriver;
  try {
    driver->Initialize();
  } catch (...) {
    delete driver;
    throw;
  }
  return DispatchPtr::Attach(driver);
}

void TDriver::RegisterSettings() {
  TBaseLoyaltySystem::RegisterSettings();
  MarkSecretSetting("Token");
  // The service's tokens are a few dozen characters; a longer value is a paste gone wrong, and one of
  // kilobytes would go into every request's line and log.
  LimitSettingLength(
      "Token", kTokenLimit,
      "Token длиннее " + std::to_string(kTokenLimit) +
          " символов: сервис такой не примет. Проверьте, что в настройку вставлен токен, и только он");
  AddSetting("Token", dtString, OleVariant::Text(""), false, "Token", "Token");
  AddSetting("Host", dtString, OleVariant::Text(kDefaultServiceHost), false, "Хост", "Хост сервера");
}

void TDriver::FillDeviceInfo() {
  TBaseLoyaltySystem::FillDeviceInfo();
  FDeviceInfo.ModelID = "7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17";
  FDeviceInfo.ModelName = "Quorvane: Система лояльности Tallowmer";
  FDeviceInfo.ProcessorName = "hwEq.tallowmer";
  FDeviceInfo.IsSettingsDlgExist = true;
  FDeviceInfo.Description = "Драйвер системы лояльности Tallowmer";
}

void TDriver::DoCreate() {
  TBaseLoyaltySystem::DoCreate();
  SetLogSink(this);
  FDevice = CreateDevice();
  // The process-wide sink belongs to the newest object; this object's own requests are logged by
  // this object, also when another one, perhaps on another thread, was created after it.
  FDevice->SetLog(this);
}

std::unique_ptr<TDevice> TDriver::CreateDevice() {
  return std::make_unique<TDevice>();
}

void TDriver::DoDestroy() {
  TBaseLoyaltySystem::DoDestroy();
  FDevice.reset();
  SetLogSink(nullptr);
}

int32_t TDriver::DoEnable(std::string& resultDescription) {
  resultDescription.clear();
  FDevice->SetHost(GetSettingValueStr("Host"));
  FDevice->SetToken(GetSettingValueStr("Token"));
  FDevice->HTTPRest().SetLogDir(GetDeviceFolder());
  DefaultFormatSettings().decimalSeparator = ".";
  InitSSLLibrary();
  return kResultOk;
}

std::unique_ptr<IHttpTransport> TDriver::CreateTransport(const TransportOptions& options) {
  return CreateDefaultTransport(options);
}

TransportFactory TDriver::TransportMaker() {
  return [this](const TransportOptions& options) { return CreateTransport(options); };
}

void TDriver::InitSSLLibrary() {
  const WaitedRequests waited(FDevice->HTTPRest(), ResponsiveWait(), TransportMaker());
  // Brings TLS up before the first real request; whatever the answer, Enable goes on.
  FDevice->HTTPRest().PostWithoutLog(FDevice->Host() + "/ping?token=" + EncodeQueryValue(FDevice->Token()));
}

int32_t TDriver::DoDisable(std::string& resultDescription) {
  resultDescription.clear();
  return kResultOk;
}

bool TDriver::DoShowSettingsDlg() {
  const std::unique_ptr<ISettingsDialogView> view = CreateSettingsDialogView();
  // Without a dialog on this platform the host hears "cancelled", as if the user gave up.
  if (view == nullptr) return false;
  return ShowSettingsForm(*this, {&TfrmBaseSettings::Create<TfrmMainSettings>}, false, *view);
}

bool TDriver::DeviceTest(std::string& resultDescription) {
  resultDescription.clear();
  try {
    const WaitedRequests waited(FDevice->HTTPRest(), ResponsiveWait(), TransportMaker());
    FDevice->Ping();
  } catch (const std::exception& error) {
    resultDescription = error.what();
    return false;
  }
  platform::Env::Current().ShowInformation("Информация", "Выполнено успешно");
  return true;
}

// The service client's lines come between requests the service has already taken (an order is
// registered before its customer is looked up again), so a line the log cannot take must not turn
// the call into a failure.
void TDriver::Log(const std::string& name, const std::string& text) {
  WriteDebugLogAfterEffect(name, text);
}

TClientInfo TDriver::LoadClientInfo(int32_t clientIdKind, const std::string& clientId) {
  const TClientIDKindInfo kind = MapClientIDKind(clientIdKind);
  return ParseClientInfo(FDevice->ClientInfo(kind.clientType, clientId));
}

int32_t TDriver::DoGetCustomerData(const TGetCustomerDataIn& in, TGetCustomerDataOut& out,
                                   std::string& resultDescription) {
  resultDescription.clear();
  return Guarded(resultDescription, [&] {
    const TClientInfo info = LoadClientInfo(in.ClientIDKind, in.ClientID);
    out.Name = info.name;
    out.Phone = info.phone;
    out.Email = info.email;
    out.BonusBalance = info.bonusBalance;
    out.CardNumber = info.cardNumber;
    out.ServiceClientID = info.clientId;
    out.IntegerAttribute = 0;
    out.DateAttribute = 0;
    return kResultOk;
  });
}

int32_t TDriver::DoRegisterCustomer(const TRegisterCustomerIn&, std::string& resultDescription) {
  resultDescription.clear();
  return kResultNotSupported;
}

int32_t TDriver::DoCreateOrder(const TCreateOrderIn& in, TCreateOrderOut& out,
                               std::string& resultDescription) {
  resultDescription.clear();
  out.Value2 = OleVariant();
  try {
    const Currency balance = LoadClientInfo(in.ClientIDKind, in.ClientID).bonusBalance;
    out.OrderID = WithoutBraces(NewGuidString());
    out.BonusBalance = balance;
    out.Amount3 = balance;
    out.Text4.clear();
    out.Amount5 = Currency{};
    return kResultOk;
  } catch (const std::exception&) {
    // Whatever kept the order from being opened, the host hears of bad input.
    return kResultBadInput;
  }
}

int32_t TDriver::DoCloseOrder(const TCloseOrderIn& in, TCloseOrderOut& out, std::string& resultDescription) {
  resultDescription.clear();
  out.Text.clear();
  out.Text3.clear();
  TClientIDKindInfo kind{};
  TReceipt receipt;
  try {
    kind = MapClientIDKind(in.ClientIDKind);
    receipt = BuildReceipt(*in.Receipt);
  } catch (const std::exception&) {
    return kResultBadInput;
  }
  return Guarded(resultDescription, [&] {
    if ((in.OperationKind & 0xFF) == 1) {
      FDevice->ReturnOrder(
          in.ReturnOrderID,
          FormatDateTime(kServiceDateTimePattern, in.ReturnDateTime, ServiceDateTimeFormats()), Currency{});
      out.TransactionDateTime = 0;
    } else {
      std::string stamped;
      FDevice->CreateOrder(kind.clientType, in.ClientID, receipt.lines, in.OrderID, in.OrderNumber,
                           in.BonusWriteOff, stamped, receipt.sum, receipt.sumWithDiscount);
      const auto transaction = TryStrToDateTime(stamped, ServiceDateTimeFormats());
      if (!transaction) throw EConvertError("Не удалось прочитать время транзакции " + stamped);
      out.TransactionDateTime = *transaction;
    }
    out.BonusBalance = LoadClientInfo(in.ClientIDKind, in.ClientID).bonusBalance;
    out.Text = BalanceReceiptText(kind.label, in.ClientID, out.BonusBalance);
    return kResultOk;
  });
}

int32_t TDriver::DoCancelOrder(const TCancelOrderIn& in, TCancelOrderOut& out,
                               std::string& resultDescription) {
  resultDescription.clear();
  out.Text.clear();
  return Guarded(resultDescription, [&] {
    const std::string dateTime =
        FormatDateTime(kServiceDateTimePattern, in.TransactionDateTime, ServiceDateTimeFormats());
    FDevice->ReturnOrder(in.OrderID, dateTime, Currency{});
    out.Text = "Транзакция: " + in.OrderID + "\r\nВремя: " + dateTime + "\r\nОперация отменена";
    return kResultOk;
  });
}

}  // namespace tallowmer
