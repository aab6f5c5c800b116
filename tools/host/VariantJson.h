#pragma once

// How the command-line host writes variants as JSON, both ways:
//   string -> wide string; integer -> 32-bit (64-bit when it does not fit); other numbers -> double;
//   true/false -> boolean; null -> Null; array -> one-dimensional array, lower bound 0;
//   {"$empty":null} {"$currency":"150.5"} {"$date":"2024-01-31 10:20:30"} {"$i2":5} {"$i8":5}
//   {"$ui1":65} {"$r4":1.5} {"$ansi":"text"} {"$matrix":[[...],[...]]} (element [i][j])
//   {"$array":{"lbound":1,"items":[...]}} {"$byref":X} {"$manager":{}}; output adds
//   {"$dispatch":"<address>"}.

#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "common/OleVariant.h"

namespace tallowmer::host {

using Json = nlohmann::ordered_json;

class JsonEncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Storage for the typed slots that {"$byref":X} arguments point at; lives as long as the call.
class ByRefSlots {
 public:
  OleVariant Bind(const OleVariant& value);

 private:
  std::deque<int16_t> smalls_;
  std::deque<int32_t> integers_;
  std::deque<int64_t> wides_;
  std::deque<uint8_t> bytes_;
  std::deque<float> singles_;
  std::deque<double> doubles_;
  std::deque<Currency> currencies_;
  std::deque<std::u16string> texts_;
  std::deque<std::string> ansis_;
  std::deque<DispatchPtr> dispatches_;
  std::deque<SafeArrayPtr> arrays_;
  std::deque<OleVariant> variants_;
};

struct DecodeContext {
  // The host's own manager, for {"$manager":{}}.
  DispatchPtr manager;
  ByRefSlots* slots = nullptr;
};

// Raises JsonEncodingError for an unknown tag or a malformed value.
OleVariant JsonToVariant(const Json& json, const DecodeContext& context);
Json VariantToJson(const OleVariant& value);

// The text of a currency amount: "." and no trailing zeros.
std::string CurrencyText(Currency value);

}  // namespace tallowmer::host
