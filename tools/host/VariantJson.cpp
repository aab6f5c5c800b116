#include "tools/host/VariantJson.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "common/DateTime.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"

namespace tallowmer::host {
namespace {

// The host writes currencies and date-times in the service's own forms.
FormatSettings HostFormats() {
  return ServiceDateTimeFormats();
}

[[noreturn]] void Fail(const std::string& message) {
  throw JsonEncodingError(message);
}

int64_t WholeNumber(const Json& json, const char* tag) {
  if (!json.is_number_integer()) Fail(std::string(tag) + " expects a whole number");
  if (json.is_number_unsigned() && json.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
    Fail(std::string(tag) + " is out of range");
  }
  return json.get<int64_t>();
}

int64_t InRange(int64_t value, int64_t low, int64_t high, const char* tag) {
  if (value < low || value > high) Fail(std::string(tag) + " is out of range");
  return value;
}

OleVariant MatrixFromJson(const Json& rows, int32_t firstLower, int32_t secondLower,
                          const DecodeContext& context) {
  if (!rows.is_array()) Fail("$matrix expects an array of rows");
  size_t columns = 0;
  for (const Json& row : rows) {
    if (!row.is_array()) Fail("$matrix rows must be arrays");
    if (&row != &rows.front() && row.size() != columns) Fail("$matrix rows must have the same length");
    columns = row.size();
  }
  auto array = SafeArray::Create2D({firstLower, static_cast<int32_t>(rows.size())},
                                   {secondLower, static_cast<int32_t>(columns)});
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t j = 0; j < columns; ++j) {
      array->At(firstLower + static_cast<int32_t>(i), secondLower + static_cast<int32_t>(j)) =
          JsonToVariant(rows[i][j], context);
    }
  }
  return OleVariant::Array(std::move(array));
}

OleVariant TaggedToVariant(const std::string& tag, const Json& value, const DecodeContext& context) {
  if (tag == "$empty") return OleVariant();
  if (tag == "$currency") {
    const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    const auto number = TryStrToFloat(text, HostFormats());
    if (!number) Fail("$currency expects a decimal number, not " + text);
    return OleVariant::FromCurrency(DoubleToCurrency(*number));
  }
  if (tag == "$date") {
    if (!value.is_string()) Fail("$date expects \"YYYY-mm-dd hh:nn:ss\"");
    const auto date = TryStrToDateTime(value.get<std::string>(), HostFormats());
    if (!date) Fail("$date expects \"YYYY-mm-dd hh:nn:ss\", not " + value.get<std::string>());
    return OleVariant::Date(*date);
  }
  if (tag == "$i2")
    return OleVariant::Int16(
        static_cast<int16_t>(InRange(WholeNumber(value, "$i2"), INT16_MIN, INT16_MAX, "$i2")));
  if (tag == "$i8") return OleVariant::Int64(WholeNumber(value, "$i8"));
  if (tag == "$ui1")
    return OleVariant::Byte(static_cast<uint8_t>(InRange(WholeNumber(value, "$ui1"), 0, 255, "$ui1")));
  if (tag == "$r4") {
    if (!value.is_number()) Fail("$r4 expects a number");
    return OleVariant::Single(value.get<float>());
  }
  if (tag == "$ansi") {
    if (!value.is_string()) Fail("$ansi expects a string");
    return OleVariant::Ansi(value.get<std::string>());
  }
  if (tag == "$matrix") {
    if (value.is_object()) {
      const Json& lower = value.value("lbounds", Json::array({0, 0}));
      if (!lower.is_array() || lower.size() != 2 || !lower[0].is_number_integer() ||
          !lower[1].is_number_integer()) {
        Fail("$matrix lbounds expects two whole numbers");
      }
      return MatrixFromJson(value.value("items", Json::array()), lower[0].get<int32_t>(),
                            lower[1].get<int32_t>(), context);
    }
    return MatrixFromJson(value, 0, 0, context);
  }
  if (tag == "$array") {
    if (!value.is_object() || !value.contains("items") || !value["items"].is_array()) {
      Fail("$array expects {\"lbound\":N,\"items\":[...]}");
    }
    const int64_t lower = InRange(WholeNumber(value.value("lbound", Json(0)), "$array lbound"), INT32_MIN / 2,
                                  INT32_MAX / 2, "$array lbound");
    std::vector<OleVariant> items;
    for (const Json& item : value["items"]) items.push_back(JsonToVariant(item, context));
    return OleVariant::Vector(std::move(items), static_cast<int32_t>(lower));
  }
  if (tag == "$byref") {
    if (context.slots == nullptr) Fail("$byref is allowed only for a call's own arguments");
    const DecodeContext inner{context.manager, nullptr};
    return context.slots->Bind(JsonToVariant(value, inner));
  }
  if (tag == "$manager") return OleVariant::Dispatch(context.manager);
  Fail("unknown tag " + tag);
}

std::string AddressText(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(address));
  return buffer;
}

Json ArrayToJson(const SafeArray* array) {
  if (array == nullptr) return Json{{"$array", nullptr}};
  if (array->DimensionCount() == 1) {
    Json items = Json::array();
    for (const OleVariant& element : array->Elements()) items.push_back(VariantToJson(element));
    if (array->LowBound(1) == 0) return items;
    return Json{{"$array", Json{{"lbound", array->LowBound(1)}, {"items", items}}}};
  }
  if (array->DimensionCount() == 2) {
    Json rows = Json::array();
    for (int32_t i = array->LowBound(1); i <= array->HighBound(1); ++i) {
      Json row = Json::array();
      for (int32_t j = array->LowBound(2); j <= array->HighBound(2); ++j)
        row.push_back(VariantToJson(array->At(i, j)));
      rows.push_back(row);
    }
    if (array->LowBound(1) == 0 && array->LowBound(2) == 0) return Json{{"$matrix", rows}};
    return Json{{"$matrix", Json{{"lbounds", {array->LowBound(1), array->LowBound(2)}}, {"items", rows}}}};
  }
  return Json{{"$unsupported", std::to_string(array->DimensionCount()) + "-dimensional array"}};
}

}  // namespace

std::string CurrencyText(Currency value) {
  return CurrToStr(value, HostFormats());
}

OleVariant ByRefSlots::Bind(const OleVariant& value) {
  switch (value.Type()) {
    case varSmallint:
      smalls_.push_back(static_cast<int16_t>(value.IntegerValue()));
      return OleVariant::RefSmallint(&smalls_.back());
    case varInteger:
      integers_.push_back(static_cast<int32_t>(value.IntegerValue()));
      return OleVariant::RefInteger(&integers_.back());
    case varInt64:
      wides_.push_back(value.IntegerValue());
      return OleVariant::RefInt64(&wides_.back());
    case varByte:
      bytes_.push_back(static_cast<uint8_t>(value.IntegerValue()));
      return OleVariant::RefByte(&bytes_.back());
    case varSingle:
      singles_.push_back(value.SingleValue());
      return OleVariant::RefSingle(&singles_.back());
    case varDouble:
      doubles_.push_back(value.DoubleValue());
      return OleVariant::RefDouble(&doubles_.back());
    case varDate:
      doubles_.push_back(value.DoubleValue());
      return OleVariant::RefDate(&doubles_.back());
    case varCurrency:
      currencies_.push_back(value.CurrencyValue());
      return OleVariant::RefCurrency(&currencies_.back());
    case varBoolean:
      smalls_.push_back(value.BooleanValue() ? -1 : 0);
      return OleVariant::RefBoolean(&smalls_.back());
    case varOleStr:
      texts_.push_back(value.WideValue());
      return OleVariant::RefOleStr(&texts_.back());
    case varString:
      ansis_.push_back(value.AnsiValue());
      return OleVariant::RefString(&ansis_.back());
    case varDispatch:
      dispatches_.push_back(value.DispatchValue());
      return OleVariant::RefDispatch(&dispatches_.back());
    default:
      break;
  }
  if (value.IsArray()) {
    arrays_.push_back(value.ArrayValue() != nullptr ? std::make_unique<SafeArray>(*value.ArrayValue())
                                                    : nullptr);
    return OleVariant::RefArray(&arrays_.back());
  }
  // Empty and Null have no typed slot: they travel as a reference to a variant.
  variants_.push_back(value);
  return OleVariant::RefVariant(&variants_.back());
}

OleVariant JsonToVariant(const Json& json, const DecodeContext& context) {
  switch (json.type()) {
    case Json::value_t::null:
      return OleVariant::Null();
    case Json::value_t::boolean:
      return OleVariant::Boolean(json.get<bool>());
    case Json::value_t::string:
      return OleVariant::Text(json.get<std::string>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      if (json.is_number_unsigned() && json.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
        return OleVariant::Double(json.get<double>());
      }
      const int64_t value = json.get<int64_t>();
      if (value >= INT32_MIN && value <= INT32_MAX) return OleVariant::Int32(static_cast<int32_t>(value));
      return OleVariant::Int64(value);
    }
    case Json::value_t::number_float:
      return OleVariant::Double(json.get<double>());
    case Json::value_t::array: {
      std::vector<OleVariant> items;
      for (const Json& item : json) items.push_back(JsonToVariant(item, context));
      return OleVariant::Vector(std::move(items));
    }
    case Json::value_t::object: {
      if (json.size() != 1 || json.begin().key().empty() || json.begin().key()[0] != '$') {
        Fail("an object must be a single tag such as {\"$currency\":\"1.5\"}, not " + json.dump());
      }
      return TaggedToVariant(json.begin().key(), json.begin().value(), context);
    }
    default:
      Fail("unsupported JSON value " + json.dump());
  }
}

Json VariantToJson(const OleVariant& input) {
  if (input.IsByRef() && !input.IsVariantRef()) return Json{{"$byref", VariantToJson(input.Dereferenced())}};
  const OleVariant& value = input.Resolved();
  if (value.IsArray()) return ArrayToJson(value.ArrayValue());
  switch (value.Type()) {
    case varEmpty:
      return Json{{"$empty", nullptr}};
    case varNull:
      return nullptr;
    case varInteger:
      return value.IntegerValue();
    case varSmallint:
      return Json{{"$i2", value.IntegerValue()}};
    case varInt64:
      return Json{{"$i8", value.IntegerValue()}};
    case varByte:
      return Json{{"$ui1", value.IntegerValue()}};
    case varShortInt:
    case varWord:
    case varLongWord:
      return value.IntegerValue();
    case varUInt64:
      return value.UnsignedValue();
    case varSingle:
      return Json{{"$r4", value.SingleValue()}};
    case varDouble:
      return value.DoubleValue();
    case varCurrency:
      return Json{{"$currency", CurrencyText(value.CurrencyValue())}};
    case varDate:
      return Json{{"$date", FormatDateTime(kServiceDateTimePattern, value.DoubleValue(), HostFormats())}};
    case varBoolean:
      return value.BooleanValue();
    case varOleStr:
      return Utf16ToUtf8(value.WideValue());
    case varString:
      return Json{{"$ansi", value.AnsiValue()}};
    case varDispatch:
      return Json{{"$dispatch", AddressText(value.DispatchValue().get())}};
    case varError:
      return Json{{"$error", value.IntegerValue()}};
    default:
      return Json{{"$unsupported", VarTypeName(value.Type())}};
  }
}

}  // namespace tallowmer::host
