#pragma once

// Reading the service's customer record: identifier kinds, the name rule and the bonus balance.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "common/OleVariant.h"

namespace tallowmer {

struct TClientIDKindInfo {
  int32_t clientType;  // what the service client takes as AClientType
  const char* label;   // how receipts name the identifier
};

// The host's identifier kind (only its low 8 bits count); raises EquException 1001
// "Неизвестный тип идентификатора клиента" for a kind outside 0..3.
TClientIDKindInfo MapClientIDKind(int32_t kind);

struct TClientInfo {
  std::string name;
  std::string phone;
  std::string email;
  std::string cardNumber;
  std::string clientId;
  Currency bonusBalance;
};

// The customer record of a client-information answer (a JSON object); raises on text that is no
// JSON object.
TClientInfo ParseClientInfo(const std::string& answer);

// "bonusBalance" as currency: a number is rendered with the module's number format, a string is
// taken as it is; the text is then read with "." as the separator, and anything that is no number
// gives 0.
Currency ParseBonusBalance(const nlohmann::json& value);

}  // namespace tallowmer
