#include "service/JsonWriter.h"

#include <cmath>

#include "common/FormatSettings.h"

namespace tallowmer {
namespace {

const FormatSettings& JsonNumberFormat() {
  static const FormatSettings settings = [] {
    FormatSettings result;
    result.decimalSeparator = ".";
    return result;
  }();
  return settings;
}

// The escape of a character that cannot stand in a JSON string as it is, or null.
const char* EscapeOf(char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    default:
      return nullptr;
  }
}

void WriteString(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  // Runs of characters that need no escape are copied whole: receipts carry thousands of names.
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, runStart, i - runStart);
    runStart = i + 1;
    if (const char* escape = EscapeOf(c)) {
      out += escape;
    } else {
      // A raw control character would make the text invalid JSON.
      out += "\\u00";
      out += kHex[(c >> 4) & 0x0F];
      out += kHex[c & 0x0F];
    }
  }
  out.append(text, runStart);
  out += '"';
}

void WriteValue(std::string& out, const JsonValue& value) {
  switch (value.type()) {
    case JsonValue::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        WriteString(out, key);
        out += ':';
        WriteValue(out, member);
      }
      out += '}';
      break;
    }
    case JsonValue::value_t::array: {
      out += '[';
      bool first = true;
      for (const JsonValue& element : value) {
        if (!first) out += ',';
        first = false;
        WriteValue(out, element);
      }
      out += ']';
      break;
    }
    case JsonValue::value_t::string:
      WriteString(out, value.get_ref<const std::string&>());
      break;
    case JsonValue::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case JsonValue::value_t::number_integer:
      out += std::to_string(value.get<int64_t>());
      break;
    case JsonValue::value_t::number_unsigned:
      out += std::to_string(value.get<uint64_t>());
      break;
    case JsonValue::value_t::number_float: {
      const double number = value.get<double>();
      // JSON has no words for infinity and not-a-number.
      out += std::isfinite(number) ? FloatToStr(number, JsonNumberFormat()) : "null";
      break;
    }
    case JsonValue::value_t::null:
    case JsonValue::value_t::binary:
    case JsonValue::value_t::discarded:
      out += "null";
      break;
  }
}

}  // namespace

std::string WriteJson(const JsonValue& value) {
  std::string out;
  WriteValue(out, value);
  return out;
}

JsonValue ParseJson(std::string_view text) {
  const JsonValue::parser_callback_t limitDepth = [](int depth, JsonValue::parse_event_t, JsonValue&) {
    if (depth > kMaxJsonDepth) throw EJsonError("JSON nested too deeply");
    return true;
  };
  try {
    return JsonValue::parse(text, limitDepth);
  } catch (const JsonValue::exception& error) {
    throw EJsonError(error.what());
  }
}

JsonValue JsonCurrency(Currency amount) {
  return static_cast<double>(amount.value) / static_cast<double>(Currency::kScale);
}

}  // namespace tallowmer
