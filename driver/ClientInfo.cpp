#include "driver/ClientInfo.h"

#include "common/Exceptions.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"

namespace tallowmer {
namespace {

const TClientIDKindInfo kClientIDKinds[] = {
    {3, "Телефон"},
    {2, "Номер карты"},
    {1, "Токен/Баркод карты"},
    {0, "ID клиента"},
};

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Text members that arrive as numbers or other values are shown as their JSON text. The host shows
// them and prints them on receipts, where a control character of the service's would do what the
// service, not the till, meant.
std::string MemberText(const nlohmann::json& record, const char* name) {
  const auto member = record.find(name);
  if (member == record.end() || member->is_null()) return "";
  if (member->is_string()) return WithoutControls(member->get<std::string>());
  return member->dump();
}

}  // namespace

TClientIDKindInfo MapClientIDKind(int32_t kind) {
  const int32_t lowBits = kind & 0xFF;
  if (lowBits > 3) throw EquException(kResultUnknownError, "Неизвестный тип идентификатора клиента");
  return kClientIDKinds[lowBits];
}

Currency ParseBonusBalance(const nlohmann::json& value) {
  std::string text;
  if (value.is_number_float()) {
    text = FloatToStr(value.get<double>(), DefaultFormatSettings());
  } else if (value.is_number()) {
    text = value.dump();
  } else if (value.is_string()) {
    text = value.get<std::string>();
  }
  FormatSettings point;
  point.decimalSeparator = ".";
  const auto number = TryStrToFloat(text, point);
  if (!number) return Currency{};
  try {
    return DoubleToCurrency(*number);
  } catch (const ERangeError&) {
    return Currency{};
  }
}

TClientInfo ParseClientInfo(const std::string& answer) {
  nlohmann::json record;
  try {
    record = nlohmann::json::parse(answer);
  } catch (const nlohmann::json::exception& error) {
    throw EConvertError(std::string("Ответ сервиса не является JSON: ") + error.what());
  }
  if (!record.is_object()) throw EConvertError("Ответ сервиса не является объектом JSON");
  TClientInfo info;
  info.name = Trimmed(MemberText(record, "lastName") + " " + MemberText(record, "firstName"));
  info.phone = MemberText(record, "phone");
  info.email = MemberText(record, "email");
  info.cardNumber = MemberText(record, "cardNumber");
  info.clientId = MemberText(record, "clientId");
  const auto balance = record.find("bonusBalance");
  info.bonusBalance = balance != record.end() ? ParseBonusBalance(*balance) : Currency{};
  return info;
}

}  // namespace tallowmer
