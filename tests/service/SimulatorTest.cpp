// The client against the service simulator over HTTPS on loopback: every operation, the service's
// refusals, injected faults, and trust in the simulator's own certificate authority.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "common/uEquipmentErrors.h"
#include "service/JsonWriter.h"
#include "service/uDevice.h"
#include "tests/service/FakeTransport.h"
#include "tests/service/ModuleFolderEnv.h"
#include "tests/support/ConnectProxy.h"
#include "tests/support/EquFailure.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using namespace std::chrono_literals;

constexpr const char* kToken = "sim-merchant-0007";

std::vector<TCheckItem> Cart() {
  return {TCheckItem("A-1", "G1", "Кефир \"Домик\"", "Молочное", Currency{333333}, Currency{300000}, 3),
          TCheckItem("B-2", "G2", "Хлеб", "Выпечка", Currency{125000}, Currency{125000}, 0.5)};
}

using testing::Failure;

// Sets environment variables for one test and puts back what was there.
class ScopedVariables {
 public:
  explicit ScopedVariables(const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old == nullptr ? std::nullopt : std::optional<std::string>(old);
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ScopedVariables(const ScopedVariables&) = delete;
  ScopedVariables& operator=(const ScopedVariables&) = delete;
  ~ScopedVariables() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class SimulatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sim = new testing::Simulator(TALLOWMER_SIM_PATH, {false, true, kToken}); }
  static void TearDownTestSuite() {
    delete sim;
    sim = nullptr;
  }

  SimulatorTest() { env.fixedClock = true; }

  std::unique_ptr<TDevice> MakeDevice(std::chrono::milliseconds timeout = kRequestTimeout,
                                      const std::string& token = kToken) {
    TransportOptions options;
    options.extraCaBundle = sim->CaFile();
    options.requestTimeout = timeout;
    auto device = std::make_unique<TDevice>(CreateDefaultTransport(options));
    device->SetHost(sim->BaseUrl());
    device->SetToken(token);
    device->HTTPRest().SetLogDir(env.Root() + "logs");
    return device;
  }

  // The simulator's own control requests, outside the service's interface.
  JsonValue Control(TMethodType method, const std::string& pathAndQuery, const std::string& body = "") {
    TransportOptions options;
    options.extraCaBundle = sim->CaFile();
    THTTPRest rest(false, CreateDefaultTransport(options));
    rest.SetLogDir(env.Root() + "control");
    std::string response, description;
    int32_t code = 0;
    rest.MakeRequest(method, sim->Origin() + pathAndQuery, body, response, code, description);
    EXPECT_EQ(code, 200) << pathAndQuery << ": " << description;
    return response.empty() ? JsonValue() : ParseJson(response);
  }

  std::string HttpLog() const { return testing::TestEnv::ReadFile(env.Root() + "logs/http_2024.01.31.log"); }

  static testing::Simulator* sim;
  testing::TestEnv env;
  testing::RecordingLog log;
};

testing::Simulator* SimulatorTest::sim = nullptr;

TEST_F(SimulatorTest, AnswersComeWithoutWaitingForTheClientsDelayedAcknowledgement) {
  // An answer leaves the simulator in two writes; with Nagle's algorithm on, the second waits for
  // the client's delayed acknowledgement of the first, 40 ms at the least, on every connection.
  const auto device = MakeDevice();
  auto fastest = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 10; ++i) {
    const auto start = std::chrono::steady_clock::now();
    device->Ping();
    fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
  }
  EXPECT_LT(fastest, std::chrono::milliseconds(30));
}

TEST_F(SimulatorTest, ClientInfoFindsASeededCustomerAndLogsTheExchange) {
  const std::string customer =
      R"({"clientId":"1001","lastName":"Иванов","firstName":"Иван","patronymic":"Иванович","phone":"79001234567",)"
      R"("email":"ivanov@example.com","cardNumber":"777","cardBarcode":"2000000000015","bonusBalance":500})";
  EXPECT_EQ(MakeDevice()->ClientInfo(3, "79001234567"), customer);
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{"TDevice|> ClientInfo", "TDevice|< ClientInfo:" + customer}));

  const std::string http = HttpLog();
  EXPECT_EQ(http.rfind("Stat Route: direct, since 31.01.2024 10:20:30.\r\nStat Connected.\r\n"
                       "Sent 31.01.2024 10:20:30: GET /api/v2/clientInfo?token=***&type=phone&"
                       "id=79001234567 HTTP/1.1<EOL>Host: 127.0.0.1:",
                       0),
            0u)
      << http;
  EXPECT_NE(http.find("Recv 31.01.2024 10:20:30: HTTP/1.1 200 OK<EOL>Content-Length: "), std::string::npos);
  EXPECT_NE(http.find("Recv 31.01.2024 10:20:30: " + customer + "\r\n"), std::string::npos);
  EXPECT_EQ(http.substr(http.size() - 20), "Stat Disconnected.\r\n");
  EXPECT_EQ(http.find(kToken), std::string::npos);
}

TEST_F(SimulatorTest, ASaleArrivesAsSentAndIsReturnedOnce) {
  auto device = MakeDevice();
  const std::string guid = "5d0c1e2a-0b1c-4d2e-8f30-000000000001";
  std::string date;
  const JsonValue sale = ParseJson(device->CreateOrder(2, "778", Cart(), guid, "N-1", Currency{125000}, date,
                                                       Currency{1062500}, Currency{962500}));
  EXPECT_EQ(sale["guid"], guid);
  EXPECT_EQ(WriteJson(sale["bonusWriteOff"]), "12.5");
  EXPECT_EQ(date, "2024-01-31 10:20:30");

  const JsonValue stored = Control(mtGet, "/_sim/order?guid=" + guid);
  EXPECT_EQ(stored["request"], device->Data()) << "the body arrives byte for byte";
  EXPECT_EQ(stored["date"], date);
  EXPECT_EQ(stored["cart"].size(), 2u);

  const JsonValue returned = ParseJson(device->ReturnOrder(guid, date, Currency{962500}));
  EXPECT_EQ(returned["guid"], guid);
  EXPECT_EQ(Control(mtGet, "/_sim/order?guid=" + guid)["returned"], true);
  EXPECT_EQ(Failure([&] { device->ReturnOrder(guid, date, Currency{962500}); }).first, 409);

  EXPECT_EQ(log.lines.at(0), "TDevice|> CreateOrder:" + stored["request"].get<std::string>());
  EXPECT_EQ(log.lines.at(2).rfind("TDevice|> ReturnOrder:{\"guid\":\"" + guid + "\",\"sum\":96.25,", 0), 0u);
}

TEST_F(SimulatorTest, ASaleTravelsThroughTheProxyTheEnvironmentNamesAndNoProxyBypassesIt) {
  testing::ConnectProxy proxy;
  const std::string secret = "proxy-pa55word-77";
  const std::string simAuthority = sim->Origin().substr(std::string("https://").size());
  const std::string proxyUrl = "http://shop:" + secret + "@127.0.0.1:" + std::to_string(proxy.Port());
  const std::string guid = "5d0c1e2a-0b1c-4d2e-8f30-0000000000a1";
  {
    const ScopedVariables variables({{"https_proxy", proxyUrl}, {"no_proxy", "example.org"}});
    std::string date;
    const JsonValue sale = ParseJson(MakeDevice()->CreateOrder(2, "778", Cart(), guid, "N-P", Currency{0},
                                                               date, Currency{1062500}, Currency{1062500}));
    EXPECT_EQ(sale["guid"], guid);
  }
  const std::vector<testing::ConnectProxy::Tunnel> tunnels = proxy.Tunnels();
  ASSERT_EQ(tunnels.size(), 1u);
  EXPECT_EQ(tunnels[0].head.rfind("CONNECT " + simAuthority + " HTTP/1.1\r\n", 0), 0u) << tunnels[0].head;
  EXPECT_NE(tunnels[0].head.find("Proxy-Authorization: Basic "), std::string::npos) << tunnels[0].head;
  // Only TLS crosses the proxy: a handshake record first, the token nowhere in the clear.
  ASSERT_FALSE(tunnels[0].fromClient.empty());
  EXPECT_EQ(tunnels[0].fromClient[0], '\x16');
  EXPECT_EQ(tunnels[0].fromClient.find(kToken), std::string::npos);
  EXPECT_EQ(tunnels[0].fromClient.find(guid), std::string::npos);
  EXPECT_EQ(Control(mtGet, "/_sim/order?guid=" + guid)["guid"], guid) << "the sale reached the service";

  const std::string http = HttpLog();
  const std::string shownProxy = "http://127.0.0.1:" + std::to_string(proxy.Port());
  EXPECT_EQ(http.rfind("Stat Route: proxy " + shownProxy +
                           ", since 31.01.2024 10:20:30.\r\n"
                           "Stat Connected. Proxy: " +
                           shownProxy + "\r\nSent 31.01.2024 10:20:30: POST /api/v2/",
                       0),
            0u)
      << http;
  for (const std::string& hidden :
       {secret, std::string(kToken), std::string("CONNECT"), std::string("shop:")}) {
    EXPECT_EQ(http.find(hidden), std::string::npos) << hidden << " in " << http;
  }

  const ScopedVariables bypass({{"https_proxy", proxyUrl}, {"no_proxy", "localhost, 127.0.0.1"}});
  EXPECT_EQ(MakeDevice()->Ping(), R"({"result":"ok"})");
  EXPECT_EQ(proxy.Tunnels().size(), 1u) << "no_proxy sends the request direct";
  const std::string direct = HttpLog().substr(http.size());
  EXPECT_EQ(direct.rfind("Stat Route: direct, since 31.01.2024 10:20:30.\r\nStat Connected.\r\nSent ", 0), 0u)
      << direct;
}

TEST_F(SimulatorTest, AProxyThatCannotBeReachedIsTheRequestsFailure) {
  const ScopedVariables variables(std::map<std::string, std::string>{{"https_proxy", "http://127.0.0.1:1"}});
  const auto [code, message] = Failure([&] { MakeDevice()->Ping(); });
  EXPECT_EQ(code, -1);
  EXPECT_NE(message.find("127.0.0.1"), std::string::npos) << message;
}

TEST_F(SimulatorTest, ANewClientIsFoundByTheIdentifierItWasCreatedWith) {
  auto device = MakeDevice();
  // Characters that the query must carry encoded, and a '%' that stands as it is. A '+' reaches a
  // service that decodes its query as a blank, as it always has, so a card holding one is not found.
  const std::string card = "A&B C #5 100%";
  const JsonValue created = ParseJson(device->CreateClient("Смирнова", "Анна", "Павловна", 2, card));
  ASSERT_EQ(created["clients"].size(), 1u);
  EXPECT_EQ(created["clients"][0]["cardNumber"], card);
  const JsonValue found = ParseJson(device->ClientInfo(2, card));
  EXPECT_EQ(found["lastName"], "Смирнова");
  EXPECT_EQ(found["clientId"], created["clients"][0]["clientId"]);
}

TEST_F(SimulatorTest, TemplatesAndPing) {
  auto device = MakeDevice();
  EXPECT_EQ(device->GetTemplates(),
            R"({"templates":[{"id":"1","name":"Бонусная карта"},{"id":"2","name":"Золотая карта"}]})");
  EXPECT_EQ(device->Ping(), R"({"result":"ok"})");
}

TEST_F(SimulatorTest, RefusalsOfTheServiceReachTheCallerWithTheirStatus) {
  auto device = MakeDevice();
  std::string date;
  device->CreateOrder(2, "777", Cart(), "5d0c1e2a-0b1c-4d2e-8f30-000000000002", "N-2", Currency{}, date,
                      Currency{10000}, Currency{10000});
  const struct {
    const char* name;
    std::function<void()> call;
    int32_t code;
    std::string message;  // empty: any non-empty message
  } cases[] = {
      {"wrong token", [&] { MakeDevice(kRequestTimeout, "not-the-token")->Ping(); }, 401, "Invalid token"},
      {"unknown customer", [&] { device->ClientInfo(3, "70000000000"); }, 404, "Клиент не найден"},
      {"write-off above the balance",
       [&] {
         device->CreateOrder(2, "779", Cart(), "5d0c1e2a-0b1c-4d2e-8f30-000000000003", "N-3", Currency{10000},
                             date, Currency{10000}, Currency{10000});
       },
       409, ""},
      {"repeated order",
       [&] {
         device->CreateOrder(2, "777", Cart(), "5d0c1e2a-0b1c-4d2e-8f30-000000000002", "N-2", Currency{},
                             date, Currency{10000}, Currency{10000});
       },
       409, ""},
      {"unknown order", [&] { device->ReturnOrder("no-such-order", date, Currency{10000}); }, 404, ""},
  };
  for (const auto& c : cases) {
    const auto [code, message] = Failure(c.call);
    EXPECT_EQ(code, c.code) << c.name << ": " << message;
    if (c.message.empty()) {
      EXPECT_NE(message, "") << c.name;
    } else {
      EXPECT_EQ(message, c.message) << c.name;
    }
  }
}

TEST_F(SimulatorTest, InjectedFaultsBecomeTheFailuresOfTheirKind) {
  auto device = MakeDevice(700ms);
  const struct {
    const char* fault;
    int32_t code;
    std::string fragment;
  } cases[] = {
      {R"({"mode":"html500","count":1})", 500, "<h1>Internal Server Error</h1>"},
      {R"({"mode":"cut","count":1})", -1, ""},
      {R"({"mode":"delay","count":1,"delayMs":2000})", -1,
       DescribeTransportFailure(TransportFailure::TimedOut, "") + " ("},
  };
  for (const auto& c : cases) {
    Control(mtPost, "/_sim/fault", c.fault);
    const auto [code, message] = Failure([&] { device->ClientInfo(3, "79001234567"); });
    EXPECT_EQ(code, c.code) << c.fault;
    EXPECT_NE(message.find(c.fragment), std::string::npos) << c.fault << ": " << message;
  }
  Control(mtPost, "/_sim/fault", R"({"mode":"nonjson200","count":1})");
  EXPECT_THROW(device->ClientInfo(3, "79001234567"), EJsonError);
  EXPECT_EQ(device->CodeResult(), 200);
  EXPECT_NE(device->ClientInfo(3, "79001234567"), "{}") << "the faults are used up";
}

TEST(SimulatorCertificateTest, TheSimulatorIsTrustedOnceItsAuthorityIsInTheSslFolder) {
  testing::ModuleFolderEnv env;
  testing::Simulator sim(TALLOWMER_SIM_PATH, {false, true, kToken});
  const auto ping = [&] {
    TDevice device;
    device.SetHost(sim.BaseUrl());
    device.SetToken(kToken);
    device.Ping();
  };
  const auto [code, message] = Failure(ping);
  EXPECT_EQ(code, -1);
  EXPECT_NE(message.find("certificate"), std::string::npos) << message;

  std::filesystem::create_directories(env.Root() + "bin/SSL");
  std::filesystem::copy_file(sim.CaFile(), env.Root() + "bin/SSL/ca-bundle.pem");
  EXPECT_NO_THROW(ping());
}

}  // namespace
}  // namespace tallowmer
