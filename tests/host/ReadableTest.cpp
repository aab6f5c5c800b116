// What "ls_tallowmer_host call" prints of an answer: on a terminal, no text of the driver's or the
// service's may act instead of showing.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "tools/host/Readable.h"

namespace tallowmer::host {
namespace {

constexpr const char* kForged = "denied\r\n[host] Forged: True\x1b[2J\x07";

std::string Printed(const std::string& method, const CallOutcome& outcome,
                    const std::vector<OleVariant>& arguments) {
  std::ostringstream out;
  PrintReadable(out, method, outcome, arguments);
  return out.str();
}

bool ActsOnATerminal(const std::string& text) {
  return text.find_first_of(std::string("\x1b\r\x07", 3)) != std::string::npos;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ReadableTest, AFailuresDescriptionShowsItsControlCharactersEscaped) {
  CallOutcome refused;
  refused.result = OleVariant::Boolean(false);
  const std::string failed = Printed(
      "CloseOrder", refused,
      {OleVariant(), OleVariant::Vector({OleVariant::Int32(400), OleVariant::Text(kForged)}), OleVariant()});
  EXPECT_FALSE(ActsOnATerminal(failed)) << failed;
  EXPECT_EQ(Lines(failed), 1u) << failed;
  EXPECT_NE(failed.find("denied\\r\\n[host] Forged: True\\x1b[2J\\x07"), std::string::npos) << failed;

  CallOutcome raised;
  raised.hr = hrDispException;
  raised.exception.description = Utf8ToUtf16(kForged);
  const std::string exception = Printed("Open", raised, {OleVariant(), OleVariant()});
  EXPECT_FALSE(ActsOnATerminal(exception)) << exception;
  EXPECT_EQ(Lines(exception), 1u) << exception;
}

TEST(ReadableTest, AnAnswersTextsAreEscapedAndAReceiptsLinesGoOnIndented) {
  CallOutcome succeeded;
  succeeded.result = OleVariant::Boolean(true);
  const std::string printed =
      Printed("GetCustomerData", succeeded,
              {OleVariant(),
               OleVariant::Vector({OleVariant::Text("Ivanov\x1b[31m"), OleVariant::Text("line\nforged"),
                                   OleVariant::Text("Баланс: 5\r\nКарта: 1\r\n\x1b[2J")}),
               OleVariant()});
  EXPECT_FALSE(ActsOnATerminal(printed)) << printed;
  EXPECT_NE(printed.find("[0] name: Ivanov\\x1b[31m\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("[1] telephone: line\\nforged\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find(": Баланс: 5\n      Карта: 1\n      \\x1b[2J\n"), std::string::npos) << printed;
}

}  // namespace
}  // namespace tallowmer::host
