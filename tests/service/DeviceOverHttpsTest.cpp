// TDevice end to end: its requests over the libcurl transport and TLS, against scripted answers.

#include <gtest/gtest.h>

#include <chrono>

#include "common/uEquipmentErrors.h"
#include "service/JsonWriter.h"
#include "service/uDevice.h"
#include "tests/service/FakeTransport.h"
#include "tests/service/TlsTestServer.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using namespace std::chrono_literals;
using testing::HttpAnswerBytes;
using testing::ScriptedTlsServer;

constexpr const char* kToken = "merchant-token-0042";

class DeviceOverHttpsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki = new testing::TestPki(); }
  static void TearDownTestSuite() { delete pki; }

  DeviceOverHttpsTest() { env.fixedClock = true; }

  std::unique_ptr<TDevice> MakeDevice(const std::string& host,
                                      std::chrono::milliseconds timeout = kRequestTimeout) {
    TransportOptions options;
    options.extraCaBundle = pki->CaFile();
    options.requestTimeout = timeout;
    auto device = std::make_unique<TDevice>(CreateDefaultTransport(options));
    device->SetHost(host);
    device->SetToken(kToken);
    device->HTTPRest().SetLogDir(env.Root() + "logs");
    return device;
  }

  static testing::TestPki* pki;
  testing::TestEnv env;
  testing::RecordingLog log;
};

testing::TestPki* DeviceOverHttpsTest::pki = nullptr;

TEST_F(DeviceOverHttpsTest, ClientInfoTravelsAsAGetWithTheTokenOnlyOnTheWire) {
  ScriptedTlsServer server(*pki, [](const std::string&) {
    return HttpAnswerBytes(200, "OK", "application/json", R"({"phone":"555", "bonusBalance": 150.50})");
  });
  auto device = MakeDevice(server.Url("/api/v2"));
  EXPECT_EQ(device->ClientInfo(3, "555"), R"({"phone":"555","bonusBalance":150.5})");

  ASSERT_EQ(server.Connections().size(), 1u);
  const std::string expectedLine =
      std::string("GET /api/v2/clientInfo?token=") + kToken + "&type=phone&id=555 HTTP/1.1";
  EXPECT_EQ(server.Connections()[0].request.rfind(expectedLine, 0), 0u) << server.Connections()[0].request;
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{"TDevice|> ClientInfo",
                                      R"(TDevice|< ClientInfo:{"phone":"555", "bonusBalance": 150.50})"}));
  const std::string httpLog = testing::TestEnv::ReadFile(env.Root() + "logs/http_2024.01.31.log");
  EXPECT_NE(httpLog.find("GET /api/v2/clientInfo?token=***&type=phone&id=555 HTTP/1.1<EOL>"),
            std::string::npos);
  EXPECT_EQ(httpLog.find(kToken), std::string::npos);
}

TEST_F(DeviceOverHttpsTest, EveryKindOfFailureReachesTheCallerWithItsCodeAndMessage) {
  const struct {
    const char* name;
    std::string answer;
    int32_t code;
    std::string message;  // empty: any non-empty message
  } cases[] = {
      {"401 with an error object",
       HttpAnswerBytes(401, "Unauthorized", "application/json", R"({"error":{"message":"Invalid token"}})"),
       401, "Invalid token"},
      {"500 with an HTML page",
       HttpAnswerBytes(500, "Internal Server Error", "text/html", "<html>down</html>"), 500,
       "<html>down</html>"},
      {"404 with an empty object", HttpAnswerBytes(404, "Not Found", "application/json", "{}"), 1001,
       "Неизвестная ошибка"},
      {"connection cut", "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"bonus", -1, ""},
  };
  for (const auto& c : cases) {
    ScriptedTlsServer server(*pki, [&](const std::string&) { return c.answer; });
    auto device = MakeDevice(server.Url("/api/v2"));
    try {
      device->ClientInfo(3, "555");
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const EquException& error) {
      EXPECT_EQ(error.Code, c.code) << c.name;
      if (c.message.empty()) {
        EXPECT_NE(error.Message(), "") << c.name;
      } else {
        EXPECT_EQ(error.Message(), c.message) << c.name;
      }
    }
  }
}

TEST_F(DeviceOverHttpsTest, NoAnswerAtAllIsCodeMinusOne) {
  testing::RefusingPort refusing;
  testing::SilentPort silent;
  const struct {
    const char* name;
    int port;
    TransportFailure failure;
  } cases[] = {
      {"unreachable port", refusing.Port(), TransportFailure::ConnectionRefused},
      {"time-out", silent.Port(), TransportFailure::TimedOut},
  };
  for (const auto& c : cases) {
    auto device = MakeDevice("https://127.0.0.1:" + std::to_string(c.port) + "/api/v2", 500ms);
    try {
      device->Ping();
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const EquException& error) {
      EXPECT_EQ(error.Code, -1) << c.name;
      EXPECT_EQ(error.Message().rfind(DescribeTransportFailure(c.failure, "") + " (", 0), 0u)
          << c.name << ": " << error.Message();
    }
  }
}

TEST_F(DeviceOverHttpsTest, ASuccessfulAnswerThatIsNotJsonFailsWithoutACode) {
  ScriptedTlsServer server(
      *pki, [](const std::string&) { return HttpAnswerBytes(200, "OK", "text/plain", "pong"); });
  auto device = MakeDevice(server.Url("/api/v2"));
  EXPECT_THROW(device->Ping(), EJsonError);
  EXPECT_EQ(device->CodeResult(), 200);
}

}  // namespace
}  // namespace tallowmer
