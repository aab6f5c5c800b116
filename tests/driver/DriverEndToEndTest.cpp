// The driver as a host drives it, through dispatch, against the service simulator over HTTPS.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/DateTime.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "driver/DriverFactory.h"
#include "driver/uDriver.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TextCount.h"

namespace tallowmer {
namespace {

using testing::CountOccurrences;

using testing::HostCall;
using testing::Outcome;
using testing::PublicCall;

constexpr const char* kPhone = "79001234567";

// The simulator's CA becomes trusted the way an installation trusts a private CA: as
// SSL/ca-bundle.pem beside the module.
class TrustedSimulator {
 public:
  TrustedSimulator() : simulator_(LS_SIMULATOR_PATH, testing::Simulator::Options{}) {
    bundle_ = ExtractFileDir(GetModuleFilePath()) + "/SSL/ca-bundle.pem";
    std::filesystem::create_directories(ExtractFileDir(bundle_));
    std::filesystem::copy_file(simulator_.CaFile(), bundle_,
                               std::filesystem::copy_options::overwrite_existing);
  }
  ~TrustedSimulator() {
    std::error_code ignored;
    std::filesystem::remove(bundle_, ignored);
  }
  const testing::Simulator& operator*() const { return simulator_; }
  const testing::Simulator* operator->() const { return &simulator_; }

 private:
  testing::Simulator simulator_;
  std::string bundle_;
};

class DriverEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { simulator = new TrustedSimulator; }
  static void TearDownTestSuite() {
    delete simulator;
    simulator = nullptr;
  }

  void SetUp() override {
    driver.Manager().properties["DevicesFolder"] = env.Root() + "devices";
    driver->SetSettingValue("Host", OleVariant::Text((*simulator)->BaseUrl()));
    driver->SetSettingValue("Token", OleVariant::Text((*simulator)->Token()));
    driver.InitAndOpen("1");
    OleVariant outData;
    ASSERT_TRUE(VarToBool(PublicCall(*driver, "Enable", OleVariant(), outData).result));
  }

  // Calls a loyalty method; returns the result code and leaves OutData in `out`.
  int32_t Call(const std::string& method, std::vector<OleVariant> inData) {
    const Outcome outcome = PublicCall(*driver, method, OleVariant::Vector(std::move(inData)), out);
    EXPECT_EQ(outcome.hr, hrOk);
    if (VarToBool(outcome.result)) return kResultOk;
    return VarToInt32(out.ArrayValue()->At(0));
  }
  std::string Failure() const { return VarToStr(out.ArrayValue()->At(1)); }
  const OleVariant& Out(int32_t index) const { return out.ArrayValue()->At(index); }

  Currency Balance(const char* id = kPhone, int32_t kind = 0) {
    EXPECT_EQ(Call("GetCustomerData", {OleVariant::Text(id), OleVariant::Int32(kind), OleVariant::Int32(0)}),
              0)
        << Failure();
    return Out(3).CurrencyValue();
  }

  std::string HttpLog() {
    std::string content;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
      if (entry.path().filename().string().rfind("http_", 0) == 0)
        content += testing::TestEnv::ReadFile(entry.path());
    }
    return content;
  }

  static TrustedSimulator* simulator;
  testing::TestEnv env;
  testing::Held<TDriver> driver;
  OleVariant out;
};

TrustedSimulator* DriverEndToEndTest::simulator = nullptr;

OleVariant ReceiptTable(const std::vector<std::vector<OleVariant>>& lines) {
  auto table = SafeArray::Create2D({0, 7}, {0, static_cast<int32_t>(lines.size())});
  for (size_t r = 0; r < lines.size(); ++r) {
    for (size_t c = 0; c < lines[r].size(); ++c)
      table->At(static_cast<int32_t>(c + 2), static_cast<int32_t>(r)) = lines[r][c];
  }
  return OleVariant::Array(std::move(table));
}

std::vector<OleVariant> Line(const char* product, const char* name, int64_t discount, double quantity,
                             int64_t amount) {
  return {OleVariant::Text(product), OleVariant::Text(name),
          OleVariant::FromCurrency(Currency::FromUnits(discount)), OleVariant::Double(quantity),
          OleVariant::FromCurrency(Currency::FromUnits(amount))};
}

TEST_F(DriverEndToEndTest, TheRoadOfOneSale) {
  const Currency before = Balance();
  ASSERT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text(kPhone), OleVariant::Int32(0)}), 0)
      << Failure();
  const std::string orderId = VarToStr(Out(0));
  EXPECT_EQ(orderId.size(), 36u);
  EXPECT_EQ(orderId.find_first_of("abcdef{}"), std::string::npos);
  EXPECT_EQ(Out(1).CurrencyValue(), before);

  const OleVariant receipt = ReceiptTable({Line("A-1", "Хлеб \"Бородинский\"", 10, 3, 100),
                                           Line("B-2", "Молоко", 0, 1, 50), Line("C-3", "Пакет", 0, 0, 5)});
  ASSERT_EQ(Call("CloseOrder",
                 {OleVariant::Text(orderId), receipt, OleVariant::FromCurrency(Currency::FromUnits(20)),
                  OleVariant::Int32(0), OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0),
                  OleVariant::Text(""), OleVariant(), OleVariant(), OleVariant::Text("N-1")}),
            0)
      << Failure();
  // 500 - 20 written off + 5 % of (145 - 20).
  const Currency after = Out(0).CurrencyValue();
  EXPECT_EQ(after.value, before.value - 200000 + 62500);
  EXPECT_EQ(VarToStr(Out(1)), "Телефон: 79001234567\r\n'Баланс: " + CurrToStrFixed(after, 2) + "\r\n");
  EXPECT_EQ(Out(2).Type(), varDate);
  EXPECT_GT(Out(2).DoubleValue(), 40000.0);
  const double transaction = Out(2).DoubleValue();
  EXPECT_EQ(Balance(), after);

  const std::string log = HttpLog();
  EXPECT_NE(log.find(R"("price":33.3333,"priceWithDiscount":30,"amount":3)"), std::string::npos);
  EXPECT_NE(log.find(R"("name":"Хлеб \"Бородинский\"")"), std::string::npos);
  EXPECT_NE(log.find(R"("sum":155,"sumDiscount":145,)"), std::string::npos);
  EXPECT_EQ(log.find((*simulator)->Token()), std::string::npos);

  ASSERT_EQ(Call("CancelOrder", {OleVariant::Text(orderId), OleVariant::Date(transaction),
                                 OleVariant::Text(""), OleVariant::Int32(0), OleVariant::Text("")}),
            0)
      << Failure();
  EXPECT_EQ(VarToStr(Out(0)).rfind("Транзакция: " + orderId + "\r\nВремя: ", 0), 0u);
  EXPECT_NE(VarToStr(Out(0)).find("\r\nОперация отменена"), std::string::npos);
  EXPECT_EQ(Balance(), before);

  // Returning the same order once more is refused by the service, with its code and message.
  const int32_t again =
      Call("CloseOrder", {OleVariant(), OleVariant(), OleVariant::Int32(0), OleVariant::Int32(0),
                          OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(1),
                          OleVariant::Text(orderId), OleVariant::Date(transaction)});
  EXPECT_GE(again, 400);
  EXPECT_LT(again, 500);
  EXPECT_FALSE(Failure().empty());
}

TEST_F(DriverEndToEndTest, EveryIdentifierKindFindsTheCustomer) {
  const std::pair<const char*, int32_t> cases[] = {
      {kPhone, 0}, {"777", 1}, {"2000000000015", 2}, {"1001", 3}, {kPhone, 256},
  };
  for (const auto& [id, kind] : cases) {
    ASSERT_EQ(Call("GetCustomerData", {OleVariant::Text(id), OleVariant::Int32(kind), OleVariant::Int32(0)}),
              0)
        << id << ": " << Failure();
    EXPECT_EQ(VarToStr(Out(0)), "Иванов Иван") << id;
    EXPECT_EQ(VarToStr(Out(4)), "777");
    EXPECT_EQ(Out(6).Type(), varInteger);
  }
  EXPECT_EQ(Call("GetCustomerData", {OleVariant::Text(kPhone), OleVariant::Int32(4), OleVariant::Int32(0)}),
            1001);
  EXPECT_EQ(Failure(), "Неизвестный тип идентификатора клиента");
  EXPECT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text(kPhone), OleVariant::Int32(4)}), 1004);
  EXPECT_EQ(Call("CloseOrder", {OleVariant::Text("o"), OleVariant(), OleVariant::Int32(0),
                                OleVariant::Int32(0), OleVariant::Text(kPhone), OleVariant::Int32(4),
                                OleVariant::Int32(0), OleVariant::Text("")}),
            1004);
}

TEST_F(DriverEndToEndTest, ServiceErrorsSurfaceWithTheirCodeAndMessage) {
  EXPECT_EQ(
      Call("GetCustomerData", {OleVariant::Text("70000000000"), OleVariant::Int32(0), OleVariant::Int32(0)}),
      404);
  EXPECT_FALSE(Failure().empty());
  EXPECT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text("70000000000"), OleVariant::Int32(0)}), 1004);
  EXPECT_EQ(Failure(), "Ошибка входных параметров команды");
  EXPECT_EQ(Call("CloseOrder", {OleVariant::Text("   "), OleVariant(), OleVariant::Int32(0),
                                OleVariant::Int32(0), OleVariant::Text(kPhone), OleVariant::Int32(0),
                                OleVariant::Int32(0), OleVariant::Text("")}),
            400);
  EXPECT_EQ(Failure(), "Не введен идентификатор заказа");

  driver->SetSettingValue("Token", OleVariant::Text("wrong-token-42"));
  OleVariant outData;
  PublicCall(*driver, "Enable", OleVariant(), outData);
  EXPECT_EQ(Call("GetCustomerData", {OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0)}),
            401);
  EXPECT_EQ(Failure(), "Invalid token");
  EXPECT_EQ(Call("RegisterCustomer", {OleVariant::Text("1"), OleVariant::Int32(0), OleVariant::Text("И"),
                                      OleVariant(), OleVariant(), OleVariant(), OleVariant()}),
            1003);
}

// Two lines of 600 trillion: the order's sum leaves the Currency range. It went out wrapped, as
// "sum":-644674407370955, before.
TEST_F(DriverEndToEndTest, AReceiptWhoseSumLeavesTheCurrencyRangeIsRefusedBeforeAnythingIsSent) {
  ASSERT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text(kPhone), OleVariant::Int32(0)}), 0)
      << Failure();
  const std::string orderId = VarToStr(Out(0));
  const int64_t k600Trillion = 600000000000000;
  EXPECT_EQ(Call("CloseOrder",
                 {OleVariant::Text(orderId),
                  ReceiptTable({Line("A", "a", 0, 1, k600Trillion), Line("B", "b", 0, 1, k600Trillion)}),
                  OleVariant::FromCurrency(Currency{}), OleVariant::Int32(0), OleVariant::Text(kPhone),
                  OleVariant::Int32(0), OleVariant::Int32(0), OleVariant::Text("")}),
            1004);
  EXPECT_EQ(Failure(), "Ошибка входных параметров команды");
  EXPECT_EQ(HttpLog().find("/createOrder"), std::string::npos);
}

TEST_F(DriverEndToEndTest, CardNumberReceiptTextWithAPointUnderACommaLocale) {
  env.formats.decimalSeparator = ",";
  ResetDefaultFormatSettings();
  OleVariant outData;
  PublicCall(*driver, "Enable", OleVariant(), outData);
  ASSERT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text("777"), OleVariant::Int32(1)}), 0)
      << Failure();
  const std::string orderId = VarToStr(Out(0));
  ASSERT_EQ(Call("CloseOrder",
                 {OleVariant::Text(orderId), ReceiptTable({Line("A", "a", 0, 1, 31)}),
                  OleVariant::FromCurrency(Currency{15000}), OleVariant::Int32(0), OleVariant::Text("777"),
                  OleVariant::Int32(1), OleVariant::Int32(0), OleVariant::Text("")}),
            0)
      << Failure();
  const std::string text = VarToStr(Out(1));
  EXPECT_EQ(text.rfind("Номер карты: 777\r\n'Баланс: ", 0), 0u) << text;
  EXPECT_NE(text.find('.'), std::string::npos) << text;
  EXPECT_EQ(text.find(','), std::string::npos) << text;
}

// Some regional settings separate hours, minutes and seconds with a point. The service reads its
// dates with colons only: before, such a till's sales were refused by the service.
TEST_F(DriverEndToEndTest, ASaleAndItsCancellationUnderAPointTimeSeparator) {
  env.formats.timeSeparator = ".";
  ResetDefaultFormatSettings();
  env.fixedClock = true;
  ASSERT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text(kPhone), OleVariant::Int32(0)}), 0)
      << Failure();
  const std::string orderId = VarToStr(Out(0));
  ASSERT_EQ(Call("CloseOrder",
                 {OleVariant::Text(orderId), ReceiptTable({Line("A", "a", 0, 1, 31)}),
                  OleVariant::FromCurrency(Currency{}), OleVariant::Int32(0), OleVariant::Text(kPhone),
                  OleVariant::Int32(0), OleVariant::Int32(0), OleVariant::Text("")}),
            0)
      << Failure();
  EXPECT_EQ(Out(2).Type(), varDate);
  EXPECT_EQ(Out(2).DoubleValue(), EncodeDateTime(env.clock));
  const double transaction = Out(2).DoubleValue();
  ASSERT_EQ(Call("CancelOrder", {OleVariant::Text(orderId), OleVariant::Date(transaction),
                                 OleVariant::Text(""), OleVariant::Int32(0), OleVariant::Text("")}),
            0)
      << Failure();
  EXPECT_NE(VarToStr(Out(0)).find("\r\nВремя: 2024-01-31 10:20:30\r\n"), std::string::npos)
      << VarToStr(Out(0));
  const std::string log = HttpLog();
  EXPECT_NE(log.find(R"("number":"","date":"2024-01-31 10:20:30",)"), std::string::npos) << log;
  EXPECT_NE(log.find(R"("sum":0,"date":"2024-01-31 10:20:30"})"), std::string::npos) << log;
}

// Anyone may create files in a log folder opened to everyone, so a link may wait there under the
// name of the day's log, or the device folder may be swapped for a link to another folder. Nothing
// is written through it and no call fails for it: the lines go to the user's own log folder, which
// notes the refusal once, and the shared log notes it once when it takes lines again.
enum class Planted { SymbolicLinks, HardLinks, SwappedDeviceFolder };

class PlantedLogTest : public DriverEndToEndTest, public ::testing::WithParamInterface<Planted> {
 protected:
  static constexpr const char* kLogs[] = {"Debug_2024.01.31.log", "http_2024.01.31.log"};

  // Plants the case's links; returns the files that a write through them would change.
  std::vector<std::string> Plant() {
    const std::string victim = env.Root() + "precious.txt";
    std::ofstream(victim) << "untouched";
    switch (GetParam()) {
      case Planted::SymbolicLinks:
        std::filesystem::create_directories(folder);
        for (const char* log : kLogs) std::filesystem::create_symlink(victim, folder + log);
        return {victim};
      case Planted::HardLinks:
        std::filesystem::create_directories(folder);
        for (const char* log : kLogs) std::filesystem::create_hard_link(victim, folder + log);
        return {victim};
      case Planted::SwappedDeviceFolder: {
        const std::string elsewhere = env.Root() + "elsewhere/";
        std::filesystem::create_directories(elsewhere);
        for (const char* log : kLogs) std::ofstream(elsewhere + log) << "untouched";
        std::filesystem::remove_all(env.Root() + "devices/1");
        std::filesystem::create_directory_symlink(elsewhere, env.Root() + "devices/1");
        return {elsewhere + kLogs[0], elsewhere + kLogs[1]};
      }
    }
    return {};
  }

  int32_t Lookup() {
    return Call("GetCustomerData", {OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0)});
  }

  static std::string Note(const std::string& log) { return "Журнал " + log + " отклонён: "; }

  const std::string folder = env.Root() + "devices/1/";
  const std::string privateFolder = env.Root() + "user/Quorvane/ls_tallowmer/logs/";
};

TEST_P(PlantedLogTest, NothingIsWrittenThroughThemAndTheSaleGoesOn) {
  env.fixedClock = true;
  const std::vector<std::string> victims = Plant();
  driver->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  ASSERT_EQ(Call("Enable", {}), 0) << Failure();
  ASSERT_EQ(Lookup(), 0) << Failure();
  ASSERT_EQ(Call("CreateOrder", {OleVariant(), OleVariant::Text(kPhone), OleVariant::Int32(0)}), 0)
      << Failure();

  for (const std::string& victim : victims)
    EXPECT_EQ(testing::TestEnv::ReadFile(victim), "untouched") << victim;
  if (GetParam() == Planted::SwappedDeviceFolder) {
    const auto files = std::filesystem::directory_iterator(ExtractFileDir(victims[0]));
    EXPECT_EQ(std::distance(begin(files), end(files)), 2) << "a file was created in the folder swapped in";
  }
  const std::string debugLog = testing::TestEnv::ReadFile(privateFolder + kLogs[0]);
  const std::string httpLog = testing::TestEnv::ReadFile(privateFolder + kLogs[1]);
  EXPECT_EQ(CountOccurrences(debugLog, "\t> GetCustomerData: \t"), 1u) << debugLog;
  EXPECT_EQ(CountOccurrences(debugLog, "\t< CreateOrder: \tResult=True"), 1u) << debugLog;
  EXPECT_EQ(CountOccurrences(debugLog, Note(folder + kLogs[0])), 1u) << debugLog;
  EXPECT_EQ(CountOccurrences(httpLog, "Stat Connected.\r\n"), 2u) << httpLog;
  EXPECT_EQ(CountOccurrences(httpLog, Note(folder + kLogs[1])), 1u) << httpLog;

  // Once the links are gone, the shared logs take lines again, the first with the note.
  std::filesystem::remove_all(env.Root() + "devices/1");
  std::filesystem::create_directories(folder);
  ASSERT_EQ(Lookup(), 0) << Failure();
  ASSERT_EQ(Lookup(), 0) << Failure();
  const std::string sharedDebugLog = testing::TestEnv::ReadFile(folder + kLogs[0]);
  const std::string sharedHttpLog = testing::TestEnv::ReadFile(folder + kLogs[1]);
  EXPECT_EQ(CountOccurrences(sharedDebugLog, "\t> GetCustomerData: \t"), 2u) << sharedDebugLog;
  EXPECT_EQ(CountOccurrences(sharedDebugLog, Note(folder + kLogs[0])), 1u) << sharedDebugLog;
  EXPECT_EQ(sharedHttpLog.rfind("Stat " + Note(folder + kLogs[1]), 0), 0u) << sharedHttpLog;
  EXPECT_EQ(CountOccurrences(sharedHttpLog, Note(folder + kLogs[1])), 1u) << sharedHttpLog;
  for (const std::string& victim : victims)
    EXPECT_EQ(testing::TestEnv::ReadFile(victim), "untouched") << victim;
}

INSTANTIATE_TEST_SUITE_P(Planted, PlantedLogTest,
                         ::testing::Values(Planted::SymbolicLinks, Planted::HardLinks,
                                           Planted::SwappedDeviceFolder),
                         [](const ::testing::TestParamInfo<Planted>& info) {
                           switch (info.param) {
                             case Planted::SymbolicLinks:
                               return "SymbolicLinks";
                             case Planted::HardLinks:
                               return "HardLinks";
                             case Planted::SwappedDeviceFolder:
                               return "SwappedDeviceFolder";
                           }
                           return "";
                         });

TEST_F(DriverEndToEndTest, DeviceTestPingsTheService) {
  std::string description;
  EXPECT_TRUE(driver->DeviceTest(description));
  ASSERT_EQ(env.notices.size(), 1u);
  EXPECT_EQ(env.notices[0], "Информация: Выполнено успешно");
  driver->SetSettingValue("Host", OleVariant::Text("https://127.0.0.1:1/api/v2"));
  OleVariant outData;
  EXPECT_TRUE(VarToBool(PublicCall(*driver, "Enable", OleVariant(), outData).result));
  EXPECT_FALSE(driver->DeviceTest(description));
  EXPECT_FALSE(description.empty());
}

TEST(DriverWithoutManagerTest, EnableBeforeInitFailsAfterCopyingTheConnection) {
  testing::TestEnv env;
  testing::Held<TDriver> driver;
  driver->SetSettingValue("Host", OleVariant::Text("https://example.invalid/api/v2"));
  driver->SetSettingValue("Token", OleVariant::Text("token-before-init"));
  env.formats.decimalSeparator = ",";
  ResetDefaultFormatSettings();
  OleVariant outData;
  const Outcome outcome = PublicCall(*driver, "Enable", OleVariant(), outData);
  EXPECT_FALSE(VarToBool(outcome.result));
  EXPECT_EQ(VarToLogStr(outData), "[(1001; 'Менеджер оборудования недоступен')]");
  EXPECT_EQ(driver->Device().Host(), "https://example.invalid/api/v2");
  EXPECT_EQ(driver->Device().Token(), "token-before-init");
  EXPECT_EQ(DefaultFormatSettings().decimalSeparator, ",");
}

// The process-wide sink follows the newest object; the service lines of an older one still go to
// its own log under its own instance identifier. Before, they went through the sink into the newer
// object, which on another thread of the host meant two threads in one object's state.
TEST_F(DriverEndToEndTest, ServiceLinesGoToTheLogOfTheirOwnObject) {
  testing::Held<TDriver> newer;
  ASSERT_EQ(GetLogSink(), static_cast<ILog*>(&*newer));
  driver->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
  ASSERT_EQ(Call("Enable", {}), 0) << Failure();
  ASSERT_EQ(Call("GetCustomerData", {OleVariant::Text(kPhone), OleVariant::Int32(0), OleVariant::Int32(0)}),
            0)
      << Failure();
  std::string log;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
    if (entry.path().filename().string().rfind("Debug_", 0) == 0)
      log += testing::TestEnv::ReadFile(entry.path());
  }
  EXPECT_NE(log.find(driver->InstanceID() + "\tTDevice: \t> ClientInfo"), std::string::npos) << log;
  EXPECT_NE(log.find(driver->InstanceID() + "\tTDevice: \t< ClientInfo:{"), std::string::npos) << log;
  EXPECT_EQ(log.find(newer->InstanceID()), std::string::npos) << log;
}

TEST(DriverLogSinkTest, TheNewestObjectTakesTheSinkAndAnyDestructionEmptiesIt) {
  testing::TestEnv env;
  auto first = std::make_unique<testing::Held<TDriver>>();
  EXPECT_EQ(GetLogSink(), static_cast<ILog*>(&**first));
  auto second = std::make_unique<testing::Held<TDriver>>();
  EXPECT_EQ(GetLogSink(), static_cast<ILog*>(&**second));
  first.reset();
  EXPECT_EQ(GetLogSink(), nullptr);
  second.reset();
  EXPECT_EQ(GetLogSink(), nullptr);
}

}  // namespace
}  // namespace tallowmer
