// The driver as a host drives it, against a service that is broken or hostile: what the host receives
// and what the debug log shows must be the service's answer as HTTP and JSON define it, never what
// forged bytes would make of it.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "driver/uDriver.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/service/FakeTransport.h"
#include "tests/support/HostileServer.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using testing::PublicCall;

constexpr const char* kPhone = "79001234567";

// A till's receipt table of one line.
OleVariant OneLineReceipt() {
  auto table = SafeArray::Create2D({0, 7}, {0, 1});
  table->At(2, 0) = OleVariant::Text("A-1");
  table->At(3, 0) = OleVariant::Text("Хлеб");
  table->At(4, 0) = OleVariant::FromCurrency(Currency::FromUnits(0));
  table->At(5, 0) = OleVariant::Double(1);
  table->At(6, 0) = OleVariant::FromCurrency(Currency::FromUnits(100));
  return OleVariant::Array(std::move(table));
}

std::vector<OleVariant> SaleInData() {
  return {OleVariant::Text("7c9e6679-7425-40de-944b-e07fc1f90ae7"),
          OneLineReceipt(),
          OleVariant::FromCurrency(Currency::FromUnits(0)),
          OleVariant::Int32(0),
          OleVariant::Text(kPhone),
          OleVariant::Int32(0),
          OleVariant::Int32(0),
          OleVariant::Text(""),
          OleVariant(),
          OleVariant(),
          OleVariant::Text("N-1")};
}

template <typename Driver>
class DriverAt {
 public:
  // Host, and the debug log switched on in the device folder.
  DriverAt(testing::TestEnv& env, const std::string& host) {
    driver_.Manager().properties["DevicesFolder"] = env.Root() + "devices";
    driver_->SetSettingValue("Host", OleVariant::Text(host));
    driver_->SetSettingValue("Token", OleVariant::Text("hostile-token-1"));
    driver_->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
    driver_.InitAndOpen("1");
    OleVariant outData;
    EXPECT_TRUE(VarToBool(PublicCall(*driver_, "Enable", OleVariant(), outData).result));
  }

  // The method's result code; its OutData in Out().
  int32_t Call(const std::string& method, std::vector<OleVariant> inData) {
    const testing::Outcome outcome =
        PublicCall(*driver_, method, OleVariant::Vector(std::move(inData)), out_);
    EXPECT_EQ(outcome.hr, hrOk);
    return VarToBool(outcome.result) ? kResultOk : VarToInt32(out_.ArrayValue()->At(0));
  }
  std::string Text(int32_t index) const { return VarToStr(out_.ArrayValue()->At(index)); }
  const OleVariant& Out(int32_t index) const { return out_.ArrayValue()->At(index); }
  Driver& operator*() { return *driver_; }

 private:
  testing::Held<Driver> driver_;
  OleVariant out_;
};

std::string DebugLog(const testing::TestEnv& env) {
  std::string content;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
    if (entry.path().filename().string().rfind("Debug_", 0) == 0)
      content += testing::TestEnv::ReadFile(entry.path());
  }
  return content;
}

// Every line of the debug log is one of the driver's: its time stamp, then " Inst.: " and this
// object's identifier.
void ExpectOnlyLinesOf(const std::string& log, const std::string& instance) {
  const std::string mark = " Inst.: " + instance + "\t";
  for (size_t start = 0, end = 0; start < log.size(); start = end + 2) {
    end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    EXPECT_EQ(line.find(mark), 23u) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
}

class HostileServiceTest : public ::testing::Test {
 protected:
  std::string At(const std::string& scenario) const { return server.PlainUrl() + "/" + scenario; }

  testing::TestEnv env;
  testing::HostileServer server;
};

// Before, the overlong forms decoded into quotes, and the name's text set the balance to 99999.
TEST_F(HostileServiceTest, AnOverlongQuoteInANameStaysInTheName) {
  DriverAt<TDriver> driver(env, At("overlong-name"));
  ASSERT_EQ(
      driver.Call("GetCustomerData", {OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0)}),
      kResultOk)
      << driver.Text(1);
  EXPECT_EQ(driver.Out(3).CurrencyValue().value, 50000);
  const std::u16string name = Utf8ToUtf16(driver.Text(0));
  EXPECT_EQ(name.rfind(u"Ivanov\uFFFD\uFFFD,\uFFFD\uFFFDbonusBalance", 0), 0u) << driver.Text(0);
  EXPECT_EQ(name.find(u'"'), std::u16string::npos);
}

TEST_F(HostileServiceTest, ASaleRefusedAfterEarlyHintsIsRefusedWithTheServicesWords) {
  DriverAt<TDriver> driver(env, At("early-hints-then-refusal"));
  EXPECT_EQ(driver.Call("CloseOrder", SaleInData()), 500);
  EXPECT_EQ(driver.Text(1), "order rejected");
}

// What Wine's WinHTTP did: it handed the 103 over as the final answer, with the refusal as its body.
class InterimAsFinalDriver : public TDriver {
 protected:
  std::unique_ptr<TDevice> CreateDevice() override {
    auto transport = std::make_unique<testing::FakeTransport>();
    transport->Answer(200, "{}");  // Enable's ping
    transport->Answer(
        103, "HTTP/1.1 500 Internal Server Error\r\n\r\n{\"error\":{\"message\":\"order rejected\"}}");
    transport->Answer(200, R"({"bonusBalance":5})");
    return std::make_unique<TDevice>(std::move(transport));
  }
};

TEST_F(HostileServiceTest, AnInterimStatusHandedOverAsFinalClosesNoSale) {
  DriverAt<InterimAsFinalDriver> driver(env, "https://service.test/api/v2");
  EXPECT_EQ(driver.Call("CloseOrder", SaleInData()), 103);
  EXPECT_NE(driver.Text(1).find("окончательного"), std::string::npos) << driver.Text(1);
}

TEST_F(HostileServiceTest, ANamesControlCharactersNeitherReachTheHostNorForgeALogLine) {
  DriverAt<TDriver> driver(env, At("forged-name"));
  ASSERT_EQ(
      driver.Call("GetCustomerData", {OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0)}),
      kResultOk)
      << driver.Text(1);
  EXPECT_EQ(driver.Text(0).find_first_of(std::string("\r\n\x1b", 3)), std::string::npos) << driver.Text(0);
  EXPECT_EQ(driver.Text(0).rfind("Ivanov2024.05.29", 0), 0u) << driver.Text(0);
  EXPECT_NE(driver.Text(0).find("Ivan\tI."), std::string::npos) << "a tab stays: " << driver.Text(0);
  EXPECT_EQ(driver.Text(1), "7900123");
  ExpectOnlyLinesOf(DebugLog(env), (*driver).InstanceID());
}

TEST_F(HostileServiceTest, AnErrorTextReachesTheHostAndTheLogAsOneLine) {
  for (const char* scenario : {"forged-error", "forged-page"}) {
    SCOPED_TRACE(scenario);
    testing::TestEnv local;
    DriverAt<TDriver> driver(local, At(scenario));
    const int32_t code = driver.Call("GetCustomerData",
                                     {OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0)});
    EXPECT_TRUE(code == 400 || code == 500) << code;
    EXPECT_EQ(driver.Text(1).find_first_of(std::string("\r\n\x1b", 3)), std::string::npos) << driver.Text(1);
    EXPECT_NE(driver.Text(1).find("denied\\r\\n2024.05.29"), std::string::npos) << driver.Text(1);
    ExpectOnlyLinesOf(DebugLog(local), (*driver).InstanceID());
  }
}

TEST(TokenSettingTest, ATokenNoServiceWouldTakeIsRefusedAndNothingOfTheTableIsTaken) {
  testing::TestEnv env;
  testing::Held<TDriver> driver;
  driver->SetSettingValue("Token", OleVariant::Text("old-token"));
  OleVariant table = driver->BuildSettingsTable();
  SafeArray& cells = *table.ArrayValue();
  for (int32_t column = cells.LowBound(2); column <= cells.HighBound(2); ++column) {
    const std::string id = VarToStr(cells.At(0, column));
    if (id == "Token") cells.At(1, column) = OleVariant::Text(std::string(kTokenLimit + 1, 't'));
    if (id == "Host") cells.At(1, column) = OleVariant::Text("https://elsewhere.test/api/v2");
  }
  OleVariant outData;
  const testing::Outcome refused = PublicCall(*driver, "SetSettings", OleVariant::Vector({table}), outData);
  EXPECT_FALSE(VarToBool(refused.result));
  ASSERT_TRUE(outData.IsArray());
  EXPECT_EQ(VarToInt32(outData.ArrayValue()->At(0)), kResultBadInput);
  EXPECT_NE(VarToStr(outData.ArrayValue()->At(1)).find("Token длиннее 4096 символов"), std::string::npos);
  EXPECT_EQ(driver->GetSettingValueStr("Token"), "old-token");
  EXPECT_NE(driver->GetSettingValueStr("Host"), "https://elsewhere.test/api/v2");

  for (int32_t column = cells.LowBound(2); column <= cells.HighBound(2); ++column) {
    if (VarToStr(cells.At(0, column)) == "Token")
      cells.At(1, column) = OleVariant::Text(std::string(kTokenLimit, 't'));
  }
  const testing::Outcome taken = PublicCall(*driver, "SetSettings", OleVariant::Vector({table}), outData);
  EXPECT_TRUE(VarToBool(taken.result));
  EXPECT_EQ(driver->GetSettingValueStr("Token").size(), kTokenLimit);
}

}  // namespace
}  // namespace tallowmer
