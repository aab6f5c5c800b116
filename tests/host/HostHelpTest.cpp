// The help's method tables against the objects themselves: the names the driver registers, and
// each loyalty method's InData layout as the contract's unpacking enforces it.

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "common/VariantConvert.h"
#include "core/uCOMSupport.h"
#include "driver/DriverFactory.h"
#include "loyalty/uBaseLoyaltySystem.h"
#include "tests/support/TestEnv.h"
#include "tools/host/HostHelp.h"
#include "tools/host/HostManager.h"
#include "tools/host/HostSession.h"

namespace tallowmer::host {
namespace {

// A value of the element's type that converts; Empty where any variant will do.
OleVariant Valid(const ElementHelp& element) {
  if (element.type == "string") return OleVariant::Text("");
  if (element.type == "integer") return OleVariant::Int32(0);
  if (element.type == "currency") return OleVariant::Double(0);
  if (element.type == "date-time") return OleVariant::Double(0);
  return OleVariant();
}

bool Numeric(const ElementHelp& element) {
  return element.type == "integer" || element.type == "currency" || element.type == "date-time";
}

// "11-14" -> 11, 14.
std::pair<int32_t, int32_t> Indices(const ElementHelp& element) {
  const size_t dash = element.index.find('-');
  const int32_t first = std::stoi(element.index.substr(0, dash));
  return {first, dash == std::string::npos ? first : std::stoi(element.index.substr(dash + 1))};
}

class HostHelpTest : public ::testing::Test {
 protected:
  // The contract's own answer for InData: 0 on success, else the code in OutData.
  int32_t ResultCode(const std::string& method, std::vector<OleVariant> elements) {
    auto inData = SafeArray::Create1D(0, static_cast<int32_t>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) inData->At(static_cast<int32_t>(i)) = elements[i];
    std::vector<OleVariant> arguments{OleVariant::Array(std::move(inData)), OleVariant(),
                                      OleVariant::Int32(0)};
    const CallOutcome outcome = loyalty.Call(method, arguments);
    EXPECT_EQ(outcome.hr, hrOk) << method;
    if (VarToBool(outcome.result)) return 0;
    return arguments[1].IsArray() ? VarToInt32(arguments[1].ArrayValue()->At(0)) : -1;
  }

  testing::TestEnv env;
  DispatchPtr manager = HostManager::Create(HostProperties{}, std::cerr);
  HostSession loyalty{[] {
                        auto* object = new TBaseLoyaltySystem;
                        object->Initialize();
                        return DispatchPtr::Attach(object);
                      }(),
                      manager, std::cerr};
};

TEST_F(HostHelpTest, DescribesEveryMethodTheDriverRegistersInItsOrder) {
  const DispatchPtr driver = CreateDriverObject();
  const auto* object = dynamic_cast<const TBaseObject*>(driver.get());
  ASSERT_NE(object, nullptr);
  std::vector<std::string> registered;
  for (const TMethodStruct& method : object->Methods()) registered.push_back(method.Name);
  std::vector<std::string> described;
  for (const MethodHelp& method : MethodHelpTable()) described.push_back(method.name);
  EXPECT_EQ(described, registered);
}

TEST_F(HostHelpTest, EveryLoyaltyMethodsInDataIsLaidOutAsTheContractReadsIt) {
  for (const MethodHelp& method : MethodHelpTable()) {
    if (!method.loyalty) continue;
    SCOPED_TRACE(method.name);
    // Every required element, and the optional ones before the last of them, with valid values.
    std::vector<OleVariant> required;
    int32_t lastRequired = -1;
    for (const ElementHelp& element : method.inData) {
      if (element.presence == "required") lastRequired = Indices(element).second;
    }
    for (const ElementHelp& element : method.inData) {
      for (int32_t i = Indices(element).first; i <= Indices(element).second && i <= lastRequired; ++i)
        required.push_back(Valid(element));
    }
    EXPECT_EQ(ResultCode(method.name, required), 1003) << "the required elements as described";
    if (!required.empty()) {
      std::vector<OleVariant> shorter(required.begin(), required.end() - 1);
      EXPECT_EQ(ResultCode(method.name, shorter), 1004) << "the last required element left out";
    }
    // A text where a number belongs is refused exactly where the help says a number goes.
    for (const ElementHelp& element : method.inData) {
      for (int32_t i = Indices(element).first; i <= Indices(element).second; ++i) {
        std::vector<OleVariant> elements = required;
        elements.resize(std::max<size_t>(elements.size(), static_cast<size_t>(i) + 1));
        elements[static_cast<size_t>(i)] = OleVariant::Text("not a number");
        EXPECT_EQ(ResultCode(method.name, elements), Numeric(element) ? 1004 : 1003) << "element " << i;
      }
    }
  }
}

}  // namespace
}  // namespace tallowmer::host
