#include "service/JsonWriter.h"

#include <gtest/gtest.h>

#include "common/FormatSettings.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

class JsonWriterTest : public ::testing::Test {
 protected:
  testing::TestEnv env;
};

TEST_F(JsonWriterTest, NumbersUseTheGeneralFormatWithAPointWhateverTheRegionalSeparator) {
  DefaultFormatSettings().decimalSeparator = ",";
  const std::pair<JsonValue, std::string> cases[] = {
      {JsonCurrency(Currency{1000000}), "100"},
      {JsonCurrency(Currency{125000}), "12.5"},
      {JsonCurrency(Currency{333333}), "33.3333"},
      {JsonCurrency(Currency{1250}), "0.125"},
      {JsonCurrency(Currency{-15000}), "-1.5"},
      {JsonCurrency(Currency{0}), "0"},
      {JsonValue(1e15), "1E15"},
      {JsonValue(0.000001), "1E-6"},
      {JsonValue(3.0), "3"},
      {JsonValue(0.1 + 0.2), "0.3"},
      {JsonValue(-42), "-42"},
      {JsonValue(18446744073709551615u), "18446744073709551615"},
      {JsonValue(std::numeric_limits<double>::infinity()), "null"},
      {JsonValue(std::numeric_limits<double>::quiet_NaN()), "null"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(WriteJson(value), expected) << expected;
}

TEST_F(JsonWriterTest, StringsEscapeOnlyWhatJsonRequires) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x01\x1f", R"("\u0001\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"a/b", R"("a/b")"},
      {"Молоко «Простоквашино» €", "\"Молоко «Простоквашино» €\""},
      {"", R"("")"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(WriteJson(JsonValue(text)), expected);
}

TEST_F(JsonWriterTest, MembersStayInFirstSetOrderAndAreReplacedInPlace) {
  JsonValue object = JsonValue::object();
  object["z"] = 1;
  object["a"] = "x";
  object["m"] = JsonValue::array({true, false, nullptr, JsonValue::object()});
  object["z"] = 2;
  EXPECT_EQ(WriteJson(object), R"({"z":2,"a":"x","m":[true,false,null,{}]})");
  EXPECT_EQ(WriteJson(JsonValue::array()), "[]");
  EXPECT_EQ(WriteJson(JsonValue::object()), "{}");
}

TEST_F(JsonWriterTest, RewritingAnAnswerMakesItCompactAndKeepsItsMemberOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({ "name" : "\u0418\u0432\u0430\u043d", "bonusBalance": 150.50 })",
       R"({"name":"Иван","bonusBalance":150.5})"},
      {"{\n  \"b\": [1, 2.0, -3e2],\n  \"a\": {\"x\": null}\n}", R"({"b":[1,2,-300],"a":{"x":null}})"},
      {R"({"k":1,"j":2,"k":3})", R"({"k":3,"j":2})"},
      {R"("text with \/ slash and \u0007 bell")", R"("text with / slash and \u0007 bell")"},
      {"12345678901234567890123", "1.23456789012346E22"},
  };
  for (const auto& [answer, expected] : cases) EXPECT_EQ(WriteJson(ParseJson(answer)), expected) << answer;
}

TEST_F(JsonWriterTest, ParsingRefusesNonJsonAndExcessiveNesting) {
  for (const std::string text : {"", "<html>", "{\"a\":}", "{} trailing", "\xff"}) {
    EXPECT_THROW(ParseJson(text), EJsonError) << text;
  }
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(ParseJson(nested(kMaxJsonDepth)));
  EXPECT_THROW(ParseJson(nested(100000)), EJsonError);
}

}  // namespace
}  // namespace tallowmer
