#include "service/uDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "common/FormatSettings.h"
#include "common/uEquipmentErrors.h"
#include "service/JsonWriter.h"
#include "tests/service/FakeTransport.h"
#include "tests/support/EquFailure.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

constexpr const char* kHost = "https://loyalty.test/api/v2";
constexpr const char* kToken = "merchant-7f3a9c";
constexpr const char* kUnknownError = "Неизвестная ошибка";

using testing::Failure;

class DeviceTest : public ::testing::Test {
 protected:
  DeviceTest() {
    auto fake = std::make_unique<testing::FakeTransport>();
    transport = fake.get();
    device = std::make_unique<TDevice>(std::move(fake));
    device->SetHost(kHost);
    device->SetToken(kToken);
    device->HTTPRest().SetLogDir(env.Root() + "logs");
    env.fixedClock = true;
  }

  testing::TestEnv env;
  testing::RecordingLog log;
  testing::FakeTransport* transport = nullptr;
  std::unique_ptr<TDevice> device;
};

std::vector<TCheckItem> TwoLines() {
  return {TCheckItem("A-1", "G1", "Кефир \"Домик\"", "Молочное", Currency{333333}, Currency{300000}, 3),
          TCheckItem("B-2", "G2", "Bread", "Bakery", Currency{125000}, Currency{125000}, 0.5)};
}

// What a service that reads its query as a form (application/x-www-form-urlencoded) gets for the
// parameter `name`: the URL ends at '#', pairs part at '&', name and value at the first '=', '+'
// is a blank and %XX its byte (a '%' without two hex digits stays). Nothing when it is absent.
std::optional<std::string> FormDecodedParameter(const std::string& url, const std::string& name) {
  const auto decode = [](std::string_view text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '+') {
        result += ' ';
      } else if (text[i] == '%' && i + 2 < text.size() &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        result += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        result += text[i];
      }
    }
    return result;
  };
  const size_t queryStart = url.find('?');
  if (queryStart == std::string::npos) return std::nullopt;
  const std::string_view query = std::string_view(url).substr(queryStart + 1, url.find('#') - queryStart - 1);
  for (size_t start = 0; start <= query.size();) {
    const size_t end = std::min(query.find('&', start), query.size());
    const std::string_view pair = query.substr(start, end - start);
    const size_t equals = std::min(pair.find('='), pair.size());
    if (decode(pair.substr(0, equals)) == name) {
      return decode(equals < pair.size() ? pair.substr(equals + 1) : std::string_view());
    }
    start = end + 1;
  }
  return std::nullopt;
}

// The service decodes its query; an identifier inserted as it is (the form the service was built
// against) and as we send it must reach it alike. The two differ only where the raw insertion lost
// data: at '&', which cut the value and made a parameter of the rest, and at '#', which ended the URL.
TEST_F(DeviceTest, TheServiceDecodesTheIdentifierAsFromTheRawInsertion) {
  const struct {
    const char* identifier;
    const char* fromRawInsertion;
    const char* fromOurs;
  } cases[] = {
      {"+7 900 123&x=1", " 7 900 123", " 7 900 123&x=1"},
      {"+79001234567", " 79001234567", " 79001234567"},
      {"a=b", "a=b", "a=b"},
      {"50%25", "50%", "50%"},
      {"100%", "100%", "100%"},
      {"Иван Петров", "Иван Петров", "Иван Петров"},
      {"card#7", "card", "card#7"},
      {"a\tb\"c\"", "a\tb\"c\"", "a\tb\"c\""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identifier);
    transport->Answer(200, "{}");
    device->ClientInfo(3, c.identifier);
    const std::string raw =
        std::string(kHost) + "/clientInfo?token=" + kToken + "&type=phone&id=" + c.identifier;
    EXPECT_EQ(FormDecodedParameter(raw, "id"), c.fromRawInsertion);
    EXPECT_EQ(FormDecodedParameter(transport->sent.back().url, "id"), c.fromOurs);
    EXPECT_EQ(FormDecodedParameter(transport->sent.back().url, "type"), "phone");
  }
}

TEST_F(DeviceTest, TheServiceDecodesTheTokenAsFromTheRawInsertion) {
  device->SetToken("k+y=1%2F");
  transport->Answer(200, "{}");
  device->Ping();
  EXPECT_EQ(transport->sent.back().url, std::string(kHost) + "/ping?token=k+y=1%2F");
  EXPECT_EQ(FormDecodedParameter(transport->sent.back().url, "token"), "k y=1/");
}

TEST_F(DeviceTest, EachOperationSendsItsRequest) {
  const struct {
    std::function<void(TDevice&)> call;
    HttpVerb verb;
    std::string pathAndQuery;
  } cases[] = {
      {[](TDevice& d) { d.ClientInfo(3, "555"); }, HttpVerb::Get,
       "/clientInfo?token=merchant-7f3a9c&type=phone&id=555"},
      {[](TDevice& d) { d.ClientInfo(0, "c1"); }, HttpVerb::Get,
       "/clientInfo?token=merchant-7f3a9c&type=clientId&id=c1"},
      {[](TDevice& d) { d.ClientInfo(1, "b1"); }, HttpVerb::Get,
       "/clientInfo?token=merchant-7f3a9c&type=cardBarcode&id=b1"},
      {[](TDevice& d) { d.ClientInfo(2, "n1"); }, HttpVerb::Get,
       "/clientInfo?token=merchant-7f3a9c&type=cardNumber&id=n1"},
      {[](TDevice& d) { d.ClientInfo(7, "x"); }, HttpVerb::Get,
       "/clientInfo?token=merchant-7f3a9c&type=&id=x"},
      {[](TDevice& d) { d.ClientInfo(3, "+7 900&x=1"); }, HttpVerb::Get,
       "/clientInfo?token=merchant-7f3a9c&type=phone&id=+7%20900%26x=1"},
      {[](TDevice& d) { d.CreateClient("L", "F", "P", 1, "1"); }, HttpVerb::Post,
       "/createClients?token=merchant-7f3a9c"},
      {[](TDevice& d) {
         std::string date;
         d.CreateOrder(2, "4000", {}, "g", "1", Currency{}, date, Currency{}, Currency{});
       },
       HttpVerb::Post, "/createOrder?token=merchant-7f3a9c&type=cardNumber&id=4000"},
      {[](TDevice& d) { d.ReturnOrder("g", "2024-01-31 10:20:30", Currency{}); }, HttpVerb::Post,
       "/returnOrder?token=merchant-7f3a9c"},
      {[](TDevice& d) { d.GetTemplates(); }, HttpVerb::Get, "/getTemplates?token=merchant-7f3a9c"},
      {[](TDevice& d) { d.Ping(); }, HttpVerb::Get, "/ping?token=merchant-7f3a9c"},
  };
  for (const auto& c : cases) {
    transport->Answer(200, "{}");
    c.call(*device);
    ASSERT_FALSE(transport->sent.empty());
    EXPECT_EQ(transport->sent.back().url, kHost + c.pathAndQuery);
    EXPECT_EQ(transport->sent.back().verb, c.verb) << c.pathAndQuery;
  }
  EXPECT_EQ(transport->sent.size(), std::size(cases));
}

TEST_F(DeviceTest, ClientInfoLogsAroundTheRequestAndReturnsTheAnswerCompact) {
  transport->Answer(200, R"({ "name": "Иван",  "bonusBalance": 150.50 })");
  EXPECT_EQ(device->ClientInfo(3, "555"), R"({"name":"Иван","bonusBalance":150.5})");
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "TDevice|> ClientInfo",
                           R"(TDevice|< ClientInfo:{ "name": "Иван",  "bonusBalance": 150.50 })",
                       }));
}

TEST_F(DeviceTest, LogLinesOfEveryOperation) {
  std::string date;
  transport->Answer(200, "{}");
  device->CreateClient("L", "F", "P", 0, "");
  transport->Answer(200, "{}");
  device->CreateOrder(0, "c", {}, "g-1", "7", Currency{}, date, Currency{}, Currency{});
  transport->Answer(200, "{}");
  device->ReturnOrder("g-1", date, Currency{10000});
  transport->Answer(200, "[]");
  device->GetTemplates();
  transport->Answer(200, R"({"ok":true})");
  device->Ping();
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "TDevice|> CreateClient:" + transport->sent[0].body,
                           "TDevice|< CreateClient:{}",
                           "TDevice|> CreateOrder:" + transport->sent[1].body,
                           "TDevice|< CreateOrder:{}",
                           "TDevice|> ReturnOrder:" + transport->sent[2].body,
                           "TDevice|< ReturnOrder:{}",
                           "TDevice|> GetTemplates:",
                           "TDevice|< GetTemplates:[]",
                           "TDevice|> Ping:",
                           R"(TDevice|< Ping:{"ok":true})",
                       }));
}

TEST_F(DeviceTest, ClientBodyCarriesTheIdentifierFirstUnderItsKind) {
  const std::pair<int32_t, std::string> cases[] = {
      {1,
       R"({"clients":[{"cardBarcode":"123","lastName":"Иванов","firstName":"Иван","patronymic":"Иванович",)"
       R"("email":"","birthday":"","templateId":"","cardNumber":"","comment":"","tags":"","sex":0}]})"},
      {2, R"({"clients":[{"cardNumber":"123","lastName":"Иванов","firstName":"Иван","patronymic":"Иванович",)"
          R"("email":"","birthday":"","templateId":"","cardBarcode":"","comment":"","tags":"","sex":0}]})"},
      {3,
       R"({"clients":[{"phone":"123","lastName":"Иванов","firstName":"Иван","patronymic":"Иванович",)"
       R"("email":"","birthday":"","templateId":"","cardNumber":"","cardBarcode":"","comment":"","tags":"","sex":0}]})"},
      {0,
       R"({"clients":[{"lastName":"Иванов","firstName":"Иван","patronymic":"Иванович",)"
       R"("email":"","birthday":"","templateId":"","cardNumber":"","cardBarcode":"","comment":"","tags":"","sex":0}]})"},
      {9,
       R"({"clients":[{"lastName":"Иванов","firstName":"Иван","patronymic":"Иванович",)"
       R"("email":"","birthday":"","templateId":"","cardNumber":"","cardBarcode":"","comment":"","tags":"","sex":0}]})"},
  };
  for (const auto& [type, body] : cases) {
    transport->Answer(200, "{}");
    device->CreateClient("Иванов", "Иван", "Иванович", type, "123");
    EXPECT_EQ(transport->sent.back().body, body) << type;
    EXPECT_EQ(device->Data(), body);
  }
}

TEST_F(DeviceTest, OrderBodyListsTheOrderThenItsCart) {
  env.clock = {2024, 3, 5, 9, 7, 3, 0};
  std::string date;
  transport->Answer(200, R"({"guid":"g"})");
  device->CreateOrder(1, "777", TwoLines(), " 0b7c2f3e-1111-2222-3333-444455556666 ", "N-15",
                      Currency{125000}, date, Currency{1000000}, Currency{900000});
  EXPECT_EQ(date, "2024-03-05 09:07:03");
  EXPECT_EQ(
      transport->sent.back().body,
      R"({"guid":" 0b7c2f3e-1111-2222-3333-444455556666 ","number":"N-15","date":"2024-03-05 09:07:03",)"
      R"("sum":100,"sumDiscount":90,"bonusAdd":0,"bonusWriteOff":12.5,"depositAdd":0,"depositWriteOff":0,)"
      R"("cart":[{"nid":"A-1","groupId":"G1","groupName":"Молочное","name":"Кефир \"Домик\"",)"
      R"("price":33.3333,"priceWithDiscount":30,"amount":3},)"
      R"({"nid":"B-2","groupId":"G2","groupName":"Bakery","name":"Bread","price":12.5,)"
      R"("priceWithDiscount":12.5,"amount":0.5}]})");
}

// The service reads "YYYY-mm-dd hh:nn:ss" with colons; a till whose regional time separator is a
// point ("10.20.30") still sends them.
TEST_F(DeviceTest, OrderWithoutLinesHasNoCartAndItsDateKeepsColonsUnderAnyRegionalTimeSeparator) {
  env.formats.timeSeparator = ".";
  env.formats.decimalSeparator = ",";
  ResetDefaultFormatSettings();
  std::string date;
  transport->Answer(200, "{}");
  device->CreateOrder(0, "c", {}, "g", "", Currency{5000}, date, Currency{15000}, Currency{0});
  EXPECT_EQ(date, "2024-01-31 10:20:30");
  EXPECT_EQ(transport->sent.back().body,
            R"({"guid":"g","number":"","date":"2024-01-31 10:20:30","sum":1.5,"sumDiscount":0,"bonusAdd":0,)"
            R"("bonusWriteOff":0.5,"depositAdd":0,"depositWriteOff":0})");
}

TEST_F(DeviceTest, BlankOrderIdentifierIsRefusedBeforeAnythingHappens) {
  for (const std::string id : {"", "   ", " \t "}) {
    std::string date = "unchanged";
    const auto [code, message] = Failure(
        [&] { device->CreateOrder(0, "c", TwoLines(), id, "1", Currency{}, date, Currency{}, Currency{}); });
    EXPECT_EQ(code, 400);
    EXPECT_EQ(message, "Не введен идентификатор заказа");
    EXPECT_EQ(date, "unchanged");
  }
  EXPECT_TRUE(transport->sent.empty());
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(DeviceTest, ReturnBodyHasGuidSumAndTheCallersDate) {
  transport->Answer(200, "{}");
  device->ReturnOrder("g-1", "2023-12-31 23:59:59", Currency{1505000});
  EXPECT_EQ(transport->sent.back().body, R"({"guid":"g-1","sum":150.5,"date":"2023-12-31 23:59:59"})");
}

TEST_F(DeviceTest, GetRequestsSendNoBodyAndOnlyClientInfoForgetsTheLastOne) {
  transport->Answer(200, "{}");
  device->ReturnOrder("g", "d", Currency{});
  const std::string body = device->Data();
  transport->Answer(200, "{}");
  device->Ping();
  transport->Answer(200, "{}");
  device->GetTemplates();
  EXPECT_EQ(device->Data(), body);
  transport->Answer(200, "{}");
  device->ClientInfo(0, "c");
  EXPECT_EQ(device->Data(), "");
  for (size_t i = 1; i < transport->sent.size(); ++i) EXPECT_EQ(transport->sent[i].body, "");
}

TEST_F(DeviceTest, FailuresBecomeTheCodeAndMessageTheCallerSees) {
  const struct {
    int32_t status;
    std::string contentType;
    std::string body;
    int32_t code;
    std::string message;
  } cases[] = {
      {401, "application/json", R"({"error":{"message":"Invalid token"}})", 401, "Invalid token"},
      {404, "application/json", "{}", 1001, kUnknownError},
      {404, "application/json", "", 1001, kUnknownError},
      {400, "application/json", R"({"error":{}})", 1001, kUnknownError},
      {400, "application/json", R"({"error":{"message":""}})", 1001, kUnknownError},
      {409, "application/json", R"({"other":1})", 1001, kUnknownError},
      {500, "text/html", "<html><body>Internal error</body></html>", 500,
       "<html><body>Internal error</body></html>"},
      {503, "text/plain; charset=windows-1251",
       "\xd1\xe5\xf0\xe2\xe8\xf1 \xed\xe5\xe4\xee\xf1\xf2\xf3\xef\xe5\xed", 503, "Сервис недоступен"},
      // A message that is a number or a boolean is read as text.
      {400, "application/json", R"({"error":{"message":5}})", 400, "5"},
      {422, "application/json", R"({"error":{"message":-4.5}})", 422, "-4.5"},
      {400, "application/json", R"({"error":{"message":true}})", 400, "true"},
      {400, "application/json", R"({"error":{"message":false}})", 400, "false"},
      // A null message, an "error" that is no object and a body that is no object: no message.
      {400, "application/json", R"({"error":{"message":null}})", 1001, kUnknownError},
      {422, "application/json", R"({"error":"Bad order"})", 1001, kUnknownError},
      {422, "application/json", R"({"error":7})", 1001, kUnknownError},
      {422, "application/json", R"({"error":["Bad order"]})", 1001, kUnknownError},
      {422, "application/json", R"({"error":null})", 1001, kUnknownError},
      {400, "application/json", "[1,2]", 1001, kUnknownError},
      {400, "application/json", "\"Bad order\"", 1001, kUnknownError},
      {400, "application/json", "17", 1001, kUnknownError},
      {400, "application/json", "null", 1001, kUnknownError},
      // A message that cannot stand as text leaves the whole body as the description.
      {422, "application/json", R"({"error":{"message":["a","b"]}})", 422,
       R"({"error":{"message":["a","b"]}})"},
      {422, "application/json", R"({"error":{"message":{"ru":"x"}}})", 422,
       R"({"error":{"message":{"ru":"x"}}})"},
      {302, "text/plain", "Moved", 302, "Moved"},
      {300, "text/plain", "", 1001, kUnknownError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    transport->Answer(c.status, c.body, c.contentType);
    const auto [code, message] = Failure([&] { device->ClientInfo(3, "555"); });
    EXPECT_EQ(code, c.code) << c.body;
    EXPECT_EQ(message, c.message) << c.body;
    EXPECT_EQ(device->CodeResult(), c.status);
    EXPECT_EQ(device->ResultDescription(), c.code == 1001 ? "" : c.message);
    // The object stays usable after every failure.
    transport->Answer(200, "{}");
    EXPECT_EQ(device->Ping(), "{}");
  }
}

TEST_F(DeviceTest, NoAnswerRaisesMinusOneWithTheTransportsMessage) {
  transport->Fail(TransportFailure::ConnectionRefused,
                  "Failed to connect to loyalty.test port 443: Connection refused");
  const auto [code, message] = Failure([&] { device->Ping(); });
  EXPECT_EQ(code, -1);
  EXPECT_EQ(
      message,
      "Не удалось соединиться с сервером (Failed to connect to loyalty.test port 443: Connection refused)");
  EXPECT_EQ(log.lines.back(), "TDevice|< Ping:");
}

TEST_F(DeviceTest, SuccessIsNeverInspectedForAnError) {
  for (int32_t status : {200, 201, 299}) {
    transport->Answer(status, R"({"error":{"message":"ignored"}})");
    EXPECT_EQ(device->ClientInfo(3, "1"), R"({"error":{"message":"ignored"}})");
  }
}

TEST_F(DeviceTest, SuccessThatIsNotJsonFailsWithoutACodeAfterLoggingTheAnswer) {
  transport->Answer(200, "<html>maintenance</html>", "text/html");
  EXPECT_THROW(device->ClientInfo(3, "1"), EJsonError);
  EXPECT_EQ(log.lines.back(), "TDevice|< ClientInfo:<html>maintenance</html>");
}

// The token is masked where it stands, in the request line's "token=", whatever its length; the
// same text as a customer's identifier or in an answer is data and stays as it travelled.
TEST_F(DeviceTest, OnlyTheRequestLinesTokenIsMaskedInTheLogs) {
  for (const char* token : {"12345678", "abc1234"}) {
    SCOPED_TRACE(token);
    std::filesystem::remove_all(env.Root() + "logs");
    device->SetToken(token);
    transport->Answer(200, std::string(R"({"phone":")") + token + "\"}");
    device->ClientInfo(3, token);
    EXPECT_EQ(log.lines.back(), std::string(R"(TDevice|< ClientInfo:{"phone":")") + token + "\"}");
    const std::string httpLog = testing::TestEnv::ReadFile(env.Root() + "logs/http_2024.01.31.log");
    EXPECT_NE(httpLog.find(std::string("/clientInfo?token=***&type=phone&id=") + token + "<EOL>"),
              std::string::npos)
        << httpLog;
    EXPECT_NE(httpLog.find(std::string(R"(Recv 31.01.2024 10:20:30: {"phone":")") + token + "\"}"),
              std::string::npos)
        << httpLog;
  }
}

}  // namespace
}  // namespace tallowmer
