#pragma once

// The service's JSON: nlohmann's ordered DOM for reading and building, our writer for the text.
// The writer is compact, keeps members in the order they were first set (setting one again
// replaces it in place, as ordered_json does), escapes only what JSON requires, leaves non-ASCII
// as it is, and writes numbers in the 15-digit general format with a point.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/Exceptions.h"
#include "common/OleVariant.h"

namespace tallowmer {

using JsonValue = nlohmann::ordered_json;

// A text that is not the JSON it should be.
class EJsonError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EJsonError"; }
};

// Nesting beyond this is refused when reading: nobody sends such answers, and the writer recurses.
inline constexpr int kMaxJsonDepth = 256;

std::string WriteJson(const JsonValue& value);
// Reads one JSON text; raises EJsonError with the reader's message when it is not one.
JsonValue ParseJson(std::string_view text);
// An amount as a JSON number: the currency's value as a double.
JsonValue JsonCurrency(Currency amount);

}  // namespace tallowmer
