#include "service/uDevice.h"

#include <optional>

#include "common/DateTime.h"
#include "common/Unicode.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "platform/Env.h"
#include "service/JsonWriter.h"

namespace tallowmer {
namespace {

constexpr const char* kLogName = "TDevice";
constexpr const char* kBlankOrderID = "Не введен идентификатор заказа";
constexpr int32_t kBlankOrderIDCode = 400;

bool IsBlank(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > ' ') return false;
  }
  return true;
}

// The "message" of the "error" object of an error answer, read as text: a number or a boolean
// stands as its JSON text. A body that is not an object, an "error" that is not an object and a
// null message all count as an absent message, which is empty. Nothing when the text is not JSON
// or the message is an array or an object: then the text itself is the best description there is.
std::optional<std::string> ServiceErrorMessage(const std::string& description) {
  if (description.empty()) return std::string();
  JsonValue answer;
  try {
    answer = ParseJson(description);
  } catch (const EJsonError&) {
    return std::nullopt;
  }
  if (!answer.is_object()) return std::string();
  const auto error = answer.find("error");
  if (error == answer.end() || !error->is_object()) return std::string();
  const auto message = error->find("message");
  if (message == error->end() || message->is_null()) return std::string();
  if (message->is_string()) return message->get<std::string>();
  if (message->is_number() || message->is_boolean()) return WriteJson(*message);
  return std::nullopt;
}

std::string RewriteAnswer(const std::string& answer) {
  if (answer.empty()) return "{}";
  try {
    return WriteJson(ParseJson(answer));
  } catch (const EJsonError& error) {
    throw EJsonError(std::string("Ответ сервиса не является JSON: ") + error.what());
  }
}

}  // namespace

TCheckItem::TCheckItem(std::string ANID, std::string AGroupID, std::string AName, std::string AGroupName,
                       Currency APrice, Currency APriceWithDiscount, double AQuantity)
    : FNID(std::move(ANID)),
      FGroupID(std::move(AGroupID)),
      FName(std::move(AName)),
      FGroupName(std::move(AGroupName)),
      FPrice(APrice),
      FPriceWithDiscount(APriceWithDiscount),
      FQuantity(AQuantity) {}

std::string ClientTypeText(int32_t AClientType) {
  switch (AClientType) {
    case 0:
      return "clientId";
    case 1:
      return "cardBarcode";
    case 2:
      return "cardNumber";
    case 3:
      return "phone";
    default:
      return "";
  }
}

TDevice::TDevice() : TDevice(CreateDefaultTransport()) {}

TDevice::TDevice(std::unique_ptr<IHttpTransport> AHTTPClient)
    : FHTTPRest(std::make_unique<THTTPRest>(false, std::move(AHTTPClient))) {
  FHTTPRest->SetLogEnabled(true);
}

void TDevice::Log(const std::string& AText) const {
  ILog* sink = FLog != nullptr ? FLog : GetLogSink();
  if (sink != nullptr) sink->Log(kLogName, AText);
}

std::string TDevice::Execute(TMethodType AMethod, const std::string& APathAndQuery,
                             const std::string& ABeforeLine, const std::string& AAfterLine) {
  const std::string url = FHost + APathAndQuery;
  Log(ABeforeLine);
  std::string result;
  FResultDescription.clear();
  FHTTPRest->MakeRequest(AMethod, url, FData, result, FCodeResult, FResultDescription);
  Log(AAfterLine + result);
  result = RewriteAnswer(result);
  GetResult();
  return result;
}

std::string TDevice::ClientInfo(int32_t AClientType, const std::string& AID) {
  FData.clear();
  return Execute(mtGet,
                 "/clientInfo?token=" + EncodeQueryValue(FToken) + "&type=" + ClientTypeText(AClientType) +
                     "&id=" + EncodeQueryValue(AID),
                 "> ClientInfo", "< ClientInfo:");
}

std::string TDevice::CreateClient(const std::string& ALastName, const std::string& AFirstName,
                                  const std::string& APatronymic, int32_t AClientType,
                                  const std::string& AID) {
  const std::string idMember = AClientType >= 1 && AClientType <= 3 ? ClientTypeText(AClientType) : "";
  JsonValue client = JsonValue::object();
  if (!idMember.empty()) client[idMember] = AID;
  client["lastName"] = ALastName;
  client["firstName"] = AFirstName;
  client["patronymic"] = APatronymic;
  client["email"] = "";
  client["birthday"] = "";
  client["templateId"] = "";
  for (const char* name : {"cardNumber", "cardBarcode"}) {
    if (idMember != name) client[name] = "";
  }
  client["comment"] = "";
  client["tags"] = "";
  client["sex"] = 0;
  JsonValue body = JsonValue::object();
  body["clients"] = JsonValue::array({client});
  FData = WriteJson(body);
  return Execute(mtPost, "/createClients?token=" + EncodeQueryValue(FToken), "> CreateClient:" + FData,
                 "< CreateClient:");
}

std::string TDevice::CreateOrder(int32_t AClientType, const std::string& AID,
                                 const std::vector<TCheckItem>& ACheckItemList, const std::string& AOrderID,
                                 const std::string& AOrderNumber, Currency ABonusWriteOff,
                                 std::string& ATransactionDateTime, Currency ASumOrder,
                                 Currency ASumOrderWithDiscount) {
  if (IsBlank(AOrderID)) throw EquException(kBlankOrderIDCode, kBlankOrderID);
  // The service reads its dates with a colon in the time, whatever the till's regional settings are.
  ATransactionDateTime =
      FormatDateTime(kServiceDateTimePattern, platform::Env::Current().Now(), ServiceDateTimeFormats());
  JsonValue order = JsonValue::object();
  order["guid"] = AOrderID;
  order["number"] = AOrderNumber;
  order["date"] = ATransactionDateTime;
  order["sum"] = JsonCurrency(ASumOrder);
  order["sumDiscount"] = JsonCurrency(ASumOrderWithDiscount);
  order["bonusAdd"] = 0;
  order["bonusWriteOff"] = JsonCurrency(ABonusWriteOff);
  order["depositAdd"] = 0;
  order["depositWriteOff"] = 0;
  if (!ACheckItemList.empty()) {
    JsonValue cart = JsonValue::array();
    for (const TCheckItem& item : ACheckItemList) {
      JsonValue line = JsonValue::object();
      line["nid"] = item.NID();
      line["groupId"] = item.GroupID();
      line["groupName"] = item.GroupName();
      line["name"] = item.Name();
      line["price"] = JsonCurrency(item.Price());
      line["priceWithDiscount"] = JsonCurrency(item.PriceWithDiscount());
      line["amount"] = item.Quantity();
      cart.push_back(std::move(line));
    }
    order["cart"] = std::move(cart);
  }
  FData = WriteJson(order);
  return Execute(mtPost,
                 "/createOrder?token=" + EncodeQueryValue(FToken) + "&type=" + ClientTypeText(AClientType) +
                     "&id=" + EncodeQueryValue(AID),
                 "> CreateOrder:" + FData, "< CreateOrder:");
}

std::string TDevice::ReturnOrder(const std::string& AGUID, const std::string& ATransactionDateTime,
                                 Currency ATransactionSum) {
  JsonValue body = JsonValue::object();
  body["guid"] = AGUID;
  body["sum"] = JsonCurrency(ATransactionSum);
  body["date"] = ATransactionDateTime;
  FData = WriteJson(body);
  return Execute(mtPost, "/returnOrder?token=" + EncodeQueryValue(FToken), "> ReturnOrder:" + FData,
                 "< ReturnOrder:");
}

std::string TDevice::GetTemplates() {
  return Execute(mtGet, "/getTemplates?token=" + EncodeQueryValue(FToken),
                 "> GetTemplates:", "< GetTemplates:");
}

std::string TDevice::Ping() {
  return Execute(mtGet, "/ping?token=" + EncodeQueryValue(FToken), "> Ping:", "< Ping:");
}

void TDevice::GetResult() {
  if (FCodeResult >= 200 && FCodeResult < 300) return;
  // Only a final answer's success counts: an interim status handed over as if it were final (a 103
  // before the refusal that followed it) says nothing of how the request ended.
  if (FCodeResult != kResultNoAnswer && FCodeResult < 200) {
    FResultDescription = "Сервис не дал окончательного ответа (код HTTP " + std::to_string(FCodeResult) + ")";
    throw EquException(FCodeResult, FResultDescription);
  }
  // Whatever the service or a library wrote reaches the host's description and the logs as one line.
  const std::optional<std::string> message = ServiceErrorMessage(FResultDescription);
  if (!message) {
    FResultDescription = EscapeControls(FResultDescription);
    throw EquException(FCodeResult, FResultDescription);
  }
  FResultDescription = EscapeControls(*message);
  if (message->empty()) throw EquException(kResultUnknownError, FindResultText(kResultUnknownError));
  throw EquException(FCodeResult, FResultDescription);
}

}  // namespace tallowmer
