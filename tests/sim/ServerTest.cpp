// The service's operations over real sockets, each case over HTTPS (verifying the simulator's
// certificate) and over plain HTTP.

#include "tools/sim/Server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/sim/SimTestSupport.h"

namespace tallowmer::sim {
namespace {

using nlohmann::json;
using testing::Api;
using testing::BalanceText;
using testing::BodyJson;
using testing::Encode;
using testing::RunningSim;
using testing::SimConfig;
using testing::Transport;

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kOrderBody =
    R"({"guid":"5f0c1a9e-0000-4000-8000-000000000001","number":"R-17","date":"2024-05-01 10:15:00",)"
    R"("sum":100,"sumDiscount":90,"bonusAdd":0,"bonusWriteOff":10,"depositAdd":0,"depositWriteOff":0,)"
    R"("cart":[{"nid":"A-1","groupId":"G-1","groupName":"Выпечка","name":"Хлеб","price":33.3333,)"
    R"("priceWithDiscount":30,"amount":3}]})";
constexpr const char* kOrderGuid = "5f0c1a9e-0000-4000-8000-000000000001";

class ApiTest : public ::testing::TestWithParam<Transport> {
 protected:
  ApiTest() : sim(SimConfig{GetParam()}) {}

  // Expects an error object with `status`; gives back its message.
  std::string ExpectError(const httplib::Result& result, int status) {
    if (!result) {
      ADD_FAILURE() << "no answer: " << httplib::to_string(result.error());
      return "";
    }
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), kJsonType);
    const json body = BodyJson(result);
    const bool shaped = body.is_object() && body.size() == 1 && body.contains("error") &&
                        body["error"].is_object() && body["error"].contains("message") &&
                        body["error"]["message"].is_string() &&
                        !body["error"]["message"].get<std::string>().empty();
    EXPECT_TRUE(shaped) << result->body;
    return shaped ? body["error"]["message"].get<std::string>() : "";
  }

  httplib::Result PostOrder(const std::string& query, const std::string& body) {
    return client.Post(Api("createOrder", query), body, "application/json");
  }

  RunningSim sim;
  httplib::Client client = sim.Client();
};

INSTANTIATE_TEST_SUITE_P(Transports, ApiTest, ::testing::Values(Transport::Https, Transport::Plain),
                         testing::TransportName);

TEST_P(ApiTest, EveryOperationWantsTheMerchantToken) {
  struct Call {
    const char* method;
    std::string target;
  };
  const std::string query = "type=cardNumber&id=777";
  const std::vector<Call> calls = {
      {"GET", "/api/v2/clientInfo?" + query},
      {"GET", "/api/v2/clientInfo?token=demo-token-000&" + query},
      {"GET", "/api/v2/clientInfo?token=DEMO-TOKEN-0001&" + query},
      {"GET", "/api/v2/clientInfo?token=demo-token-00011&" + query},
      {"GET", "/api/v2/clientInfo?token=&" + query},
      {"POST", "/api/v2/createOrder?token=wrong&" + query},
      {"POST", "/api/v2/createClients?token=wrong"},
      {"POST", "/api/v2/returnOrder?token=wrong"},
      {"GET", "/api/v2/getTemplates?token=wrong"},
      {"GET", "/api/v2/ping"},
      {"POST", "/api/v2/ping?token=wrong"},
  };
  for (const Call& call : calls) {
    const auto result = std::string(call.method) == "GET"
                            ? client.Get(call.target)
                            : client.Post(call.target, kOrderBody, "application/json");
    ASSERT_TRUE(result) << call.target;
    EXPECT_EQ(result->status, 401) << call.target;
    EXPECT_EQ(result->body, R"({"error":{"message":"Invalid token"}})") << call.target;
    EXPECT_EQ(result->get_header_value("Content-Type"), kJsonType) << call.target;
  }
  // None of those touched the books.
  EXPECT_EQ(BalanceText(sim, "777"), "500");
}

TEST_P(ApiTest, TheTokenMayArrivePercentEncoded) {
  const auto result = client.Get("/api/v2/ping?token=" + Encode("demo-token-0001").replace(4, 1, "%2D"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
}

TEST_P(ApiTest, PingAnswersOnGetAndPost) {
  for (const char* method : {"GET", "POST"}) {
    SCOPED_TRACE(method);
    const auto result =
        std::string(method) == "GET" ? client.Get(Api("ping")) : client.Post(Api("ping"), "", "");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), kJsonType);
    EXPECT_EQ(result->body, R"({"result":"ok"})");
  }
}

TEST_P(ApiTest, ClientInfoFindsTheCustomerByEachIdentifier) {
  const std::vector<std::pair<std::string, std::string>> lookups = {
      {"clientId", "1001"},
      {"cardBarcode", "2000000000015"},
      {"cardNumber", "777"},
      {"phone", "79001234567"},
      {"phone", Encode("+7 (900) 123-45-67")},
      // Every byte percent-encoded still reads as 777.
      {"cardNumber", "%37%37%37"},
      {"cardNumber", Encode("777")},
  };
  for (const auto& [type, id] : lookups) {
    const auto result = client.Get(Api("clientInfo", "type=" + type + "&id=" + id));
    ASSERT_TRUE(result) << type << " " << id;
    EXPECT_EQ(result->status, 200) << type << " " << id;
    EXPECT_EQ(result->get_header_value("Content-Type"), kJsonType);
    EXPECT_EQ(result->body,
              R"({"clientId":"1001","lastName":"Иванов","firstName":"Иван","patronymic":"Иванович",)"
              R"("phone":"79001234567","email":"ivanov@example.com","cardNumber":"777",)"
              R"("cardBarcode":"2000000000015","bonusBalance":500})")
        << type << " " << id;
  }
}

TEST_P(ApiTest, BalancesAreJsonNumbersWithTheirFraction) {
  const json body = BodyJson(client.Get(Api("clientInfo", "type=cardNumber&id=778")));
  ASSERT_TRUE(body.is_object());
  ASSERT_TRUE(body["bonusBalance"].is_number_float()) << body.dump();
  EXPECT_EQ(body["bonusBalance"].get<double>(), 150.5);
  EXPECT_EQ(BalanceText(sim, "778"), "150.5");
  EXPECT_EQ(BalanceText(sim, "779"), "0");
}

TEST_P(ApiTest, UnknownCustomerIsNotFound) {
  for (const char* query : {"type=clientId&id=9999", "type=cardBarcode&id=2000000000999",
                            "type=cardNumber&id=7777", "type=phone&id=79990000000", "type=phone&id=%2B%20"}) {
    const auto result = client.Get(Api("clientInfo", query));
    ExpectError(result, 404);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, R"({"error":{"message":"Клиент не найден"}})") << query;
  }
}

TEST_P(ApiTest, ClientInfoRefusesUnknownTypesAndEmptyIds) {
  for (const char* query :
       {"type=&id=777", "id=777", "type=card&id=777", "type=CardNumber&id=777", "type=cardNumber%20&id=777",
        "type=cardNumber&id=", "type=cardNumber", "type=phone&id=%20"}) {
    ExpectError(client.Get(Api("clientInfo", query)), 400);
  }
}

TEST_P(ApiTest, CreateOrderWritesOffAccruesAndShowsInClientInfo) {
  const auto result = PostOrder("type=cardNumber&id=777", kOrderBody);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200) << result->body;
  EXPECT_EQ(result->get_header_value("Content-Type"), kJsonType);
  EXPECT_EQ(result->body, std::string(R"({"guid":")") + kOrderGuid +
                              R"(","bonusAdd":4,"bonusWriteOff":10,"bonusBalance":494})");
  EXPECT_EQ(BalanceText(sim, "777"), "494");

  const auto stored = sim.store().FindOrder(kOrderGuid);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->order.request, kOrderBody);
  ASSERT_EQ(stored->order.cart.size(), 1u);
  EXPECT_EQ(stored->order.cart[0].name, "Хлеб");
  EXPECT_EQ(stored->order.cart[0].price.ToString(), "33.3333");
  EXPECT_EQ(stored->order.number, "R-17");
}

TEST_P(ApiTest, CreateOrderWithoutCartAndWithFractions) {
  const std::string body =
      R"({"guid":"g-frac","number":"1","date":"2024-02-29 23:59:59","sum":40.5,"sumDiscount":33.34,)"
      R"("bonusAdd":0,"bonusWriteOff":0.01,"depositAdd":0,"depositWriteOff":0})";
  const json answer = BodyJson(PostOrder("type=phone&id=" + Encode("+7 900 765-43-21"), body));
  ASSERT_TRUE(answer.is_object());
  EXPECT_EQ(answer.dump(), R"({"bonusAdd":1.67,"bonusBalance":152.16,"bonusWriteOff":0.01,"guid":"g-frac"})");
  EXPECT_EQ(BalanceText(sim, "778"), "152.16");
}

TEST_P(ApiTest, CreateOrderRefusalsChangeNothing) {
  ASSERT_TRUE(PostOrder("type=cardNumber&id=777", kOrderBody));
  struct Case {
    const char* what;
    std::string query;
    std::string body;
    int status;
  };
  const std::string orderFor777 = "type=cardNumber&id=777";
  auto body = [](const std::string& guid, const std::string& writeOff, const std::string& extra = "") {
    return R"({"guid":")" + guid +
           R"(","number":"2","date":"2024-05-01 10:00:00","sum":1000,"sumDiscount":1000,)" +
           R"("bonusAdd":0,"bonusWriteOff":)" + writeOff + R"(,"depositAdd":0,"depositWriteOff":0)" + extra +
           "}";
  };
  const std::vector<Case> cases = {
      {"repeated guid", orderFor777, kOrderBody, 409},
      {"write-off above the balance", orderFor777, body("g-2", "494.01"), 409},
      {"blank guid", orderFor777, body(" ", "1"), 400},
      {"no guid", orderFor777, R"({"date":"2024-05-01 10:00:00","sum":1,"sumDiscount":1})", 400},
      {"write-off in thousandths", orderFor777, body("g-2", "1.005"), 400},
      {"negative write-off", orderFor777, body("g-2", "-1"), 400},
      {"write-off as a string", orderFor777, body("g-2", "\"10\""), 400},
      {"cart not an array", orderFor777, body("g-2", "1", R"(,"cart":{})"), 400},
      {"cart line not an object", orderFor777, body("g-2", "1", R"(,"cart":[1])"), 400},
      {"price as a string", orderFor777, body("g-2", "1", R"(,"cart":[{"price":"1"}])"), 400},
      {"malformed JSON", orderFor777, R"({"guid":"g-2",)", 400},
      {"empty body", orderFor777, "", 400},
      {"array body", orderFor777, "[]", 400},
      {"no date", orderFor777, R"({"guid":"g-2","sum":1,"sumDiscount":1})", 400},
      {"date without time", orderFor777, R"({"guid":"g-2","date":"2024-05-01","sum":1,"sumDiscount":1})",
       400},
      {"impossible date", orderFor777,
       R"({"guid":"g-2","date":"2023-02-29 10:00:00","sum":1,"sumDiscount":1})", 400},
      {"unknown customer", "type=cardNumber&id=4040", body("g-2", "0"), 404},
      {"unknown type", "type=email&id=777", body("g-2", "0"), 400},
      {"no id", "type=cardNumber", body("g-2", "0"), 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectError(PostOrder(c.query, c.body), c.status);
  }
  EXPECT_EQ(BalanceText(sim, "777"), "494");
  EXPECT_FALSE(sim.store().FindOrder("g-2"));
}

TEST_P(ApiTest, ReturnOrderGivesBackOnceThenConflicts) {
  ASSERT_TRUE(PostOrder("type=cardNumber&id=777", kOrderBody));
  const std::string body =
      std::string(R"({"guid":")") + kOrderGuid + R"(","sum":0,"date":"2024-05-02 09:00:00"})";

  const auto first = client.Post(Api("returnOrder"), body, "application/json");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200) << first->body;
  EXPECT_EQ(first->body,
            std::string(R"({"guid":")") + kOrderGuid +
                R"(","clientId":"1001","bonusReturned":10,"bonusCancelled":4,"bonusBalance":500})");
  EXPECT_EQ(BalanceText(sim, "777"), "500");

  ExpectError(client.Post(Api("returnOrder"), body, "application/json"), 409);
  EXPECT_EQ(BalanceText(sim, "777"), "500");
}

TEST_P(ApiTest, ReturnOrderRefusals) {
  const std::vector<std::pair<std::string, int>> cases = {
      {R"({"guid":"never-seen","sum":0,"date":"2024-05-02 09:00:00"})", 404},
      {R"({"guid":"","sum":0})", 400},
      {R"({"sum":0})", 400},
      {R"({"guid":"never-seen","date":"yesterday"})", 400},
      {R"({"guid":"never-seen","sum":-5})", 400},
      {"not json", 400},
      {"", 400},
  };
  for (const auto& [body, status] : cases) {
    SCOPED_TRACE(body);
    ExpectError(client.Post(Api("returnOrder"), body, "application/json"), status);
  }
}

TEST_P(ApiTest, CreateClientsMakesCustomersThatCanBeFoundAndOrderedFor) {
  const std::string body =
      R"({"clients":[{"phone":"79011112233","lastName":"Новикова","firstName":"Анна","patronymic":"",)"
      R"("email":"anna@example.com","birthday":"1990-01-02","templateId":"1","cardNumber":"9001",)"
      R"("cardBarcode":"2000000000053","comment":"","tags":"","sex":2},{"cardNumber":9002}]})";
  const json answer = BodyJson(client.Post(Api("createClients"), body, "application/json"));
  ASSERT_TRUE(answer.is_object() && answer["clients"].is_array() && answer["clients"].size() == 2)
      << answer.dump();
  const std::string id = answer["clients"][0]["clientId"].get<std::string>();
  EXPECT_EQ(id.size(), 36u);
  EXPECT_NE(answer["clients"][1]["clientId"], answer["clients"][0]["clientId"]);

  const json found = BodyJson(client.Get(Api("clientInfo", "type=clientId&id=" + id)));
  EXPECT_EQ(found.value("lastName", ""), "Новикова");
  EXPECT_EQ(found.value("cardBarcode", ""), "2000000000053");
  EXPECT_EQ(found["bonusBalance"], 0);
  EXPECT_EQ(BodyJson(client.Get(Api("clientInfo", "type=cardNumber&id=9002"))).value("clientId", ""),
            answer["clients"][1]["clientId"].get<std::string>());

  const std::string order = R"({"guid":"g-new","date":"2024-05-01 10:00:00","sum":100,"sumDiscount":100})";
  EXPECT_EQ(BodyJson(PostOrder("type=phone&id=79011112233", order)).value("bonusBalance", -1.0), 5.0);
}

TEST_P(ApiTest, CreateClientsRefusals) {
  const std::vector<std::pair<std::string, int>> cases = {
      {R"({"clients":[{"cardNumber":"777"}]})", 409},
      {R"({"clients":[{"phone":"+7 900 123 45 67"}]})", 409},
      {R"({"clients":[{"cardNumber":"8001"},{"cardNumber":"8001"}]})", 409},
      {R"({"clients":[{"sex":3}]})", 400},
      {R"({"clients":[{"lastName":5}]})", 400},
      {R"({"clients":["Иванов"]})", 400},
      {R"({"clients":{}})", 400},
      {R"({})", 400},
      {R"({"clients":[)", 400},
  };
  for (const auto& [body, status] : cases) {
    SCOPED_TRACE(body);
    ExpectError(client.Post(Api("createClients"), body, "application/json"), status);
  }
  // The batch with a duplicate inside created neither.
  ExpectError(client.Get(Api("clientInfo", "type=cardNumber&id=8001")), 404);
}

TEST_P(ApiTest, GetTemplatesListsTheFixedTemplates) {
  const auto result = client.Get(Api("getTemplates"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  const json body = BodyJson(result);
  ASSERT_TRUE(body.is_object() && body["templates"].is_array());
  ASSERT_GE(body["templates"].size(), 2u);
  for (const json& entry : body["templates"]) {
    EXPECT_TRUE(entry["id"].is_string() && entry["name"].is_string()) << entry.dump();
  }
}

TEST_P(ApiTest, UnknownPathsAndMethodsAreJsonNotFound) {
  ExpectError(client.Get(Api("nothingHere")), 404);
  ExpectError(client.Get("/"), 404);
  ExpectError(client.Get(Api("createOrder", "type=cardNumber&id=777")), 404);
  // Without fault injection the control endpoints do not exist.
  ExpectError(client.Post("/_sim/fault", R"({"mode":"html500"})", "application/json"), 404);
  ExpectError(client.Get("/_sim/order?guid=x"), 404);
}

TEST(HttpsTest, TheCertificateVerifiesForLocalhostToo) {
  RunningSim sim;
  auto client = sim.Client("localhost");
  const auto result = client.Get(Api("ping"));
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 200);
}

TEST(HttpsTest, ClientsThatDoNotTrustTheCaAreTurnedAway) {
  RunningSim sim;
  RunningSim stranger;

  httplib::Client noCa(sim.Origin());
  noCa.enable_server_certificate_verification(true);
  const auto untrusted = noCa.Get(Api("ping"));
  EXPECT_FALSE(untrusted);
  EXPECT_EQ(untrusted.error(), httplib::Error::SSLServerVerification);

  httplib::Client otherCa(sim.Origin());
  otherCa.set_ca_cert_path(stranger.CaFile().string());
  otherCa.enable_server_certificate_verification(true);
  const auto wrongCa = otherCa.Get(Api("ping"));
  EXPECT_FALSE(wrongCa);
  EXPECT_EQ(wrongCa.error(), httplib::Error::SSLServerVerification);
}

TEST(HttpsTest, PlainHttpToTheTlsPortGetsNoAnswer) {
  RunningSim sim;
  httplib::Client plain("http://127.0.0.1:" + std::to_string(sim.Port()));
  plain.set_read_timeout(2);
  const auto result = plain.Get(Api("ping"));
  EXPECT_TRUE(!result || result->status != 200);
}

TEST(ServerTest, BaseUrlNamesSchemeHostPortAndApiPath) {
  RunningSim https;
  EXPECT_EQ(https.server().BaseUrl(), "https://127.0.0.1:" + std::to_string(https.Port()) + "/api/v2");
  RunningSim plain(SimConfig{Transport::Plain});
  EXPECT_EQ(plain.server().BaseUrl(), "http://127.0.0.1:" + std::to_string(plain.Port()) + "/api/v2");
  EXPECT_NE(https.Port(), plain.Port());
}

TEST(ServerTest, ATakenPortIsAnError) {
  RunningSim first(SimConfig{Transport::Plain});
  Store store(":memory:");
  ServerSettings settings;
  settings.port = first.Port();
  SimServer second(store, settings, nullptr);
  EXPECT_THROW(second.Start(), std::runtime_error);
}

// Sends `request` as it stands over a fresh plain connection and reads the answer until the server
// closes the connection or three seconds pass.
std::string RawExchange(int port, const std::string& request) {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{3, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(socket, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t got = 0; (got = ::recv(socket, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
  }
  ::close(socket);
  return answer;
}

TEST(ServerTest, ARequestWithoutADeclaredBodyIsAnsweredAtOnce) {
  RunningSim sim(SimConfig{Transport::Plain});
  struct Case {
    const char* name;
    std::string request;
    const char* statusLine;
    const char* inBody;
  };
  const Case cases[] = {
      {"POST without Content-Length or Transfer-Encoding",
       "POST " + Api("ping") + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", "HTTP/1.1 200",
       R"({"result":"ok"})"},
      {"POST to an unknown path",
       "POST /api/v2/nothing HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", "HTTP/1.1 404",
       "Not found"},
      {"DELETE without a body",
       "DELETE " + Api("ping") + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", "HTTP/1.1 404",
       "Not found"},
      {"a chunked body is still read",
       "POST " + Api("createClients") +
           " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n"
           "1e\r\n{\"clients\":[{\"phone\":\"7001\"}]}\r\n0\r\n\r\n",
       "HTTP/1.1 200", R"("phone":"7001")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = RawExchange(sim.Port(), c.request);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << answer;
    EXPECT_NE(answer.find(c.inBody), std::string::npos) << answer;
    EXPECT_LT(waited, std::chrono::seconds(2));
  }
}

TEST(ServerTest, ConcurrentOrdersEachCountOnce) {
  RunningSim sim(SimConfig{Transport::Plain});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sim, t] {
      auto client = sim.Client();
      for (int i = 0; i < 10; ++i) {
        const std::string body =
            R"({"guid":"c-)" + std::to_string(t * 100 + i) +
            R"(","date":"2024-05-01 10:00:00","sum":10,"sumDiscount":10,"bonusWriteOff":1})";
        const auto result =
            client.Post(Api("createOrder", "type=cardNumber&id=777"), body, "application/json");
        EXPECT_TRUE(result && result->status == 200);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // 40 orders, each writing off 1 and accruing 5 % of 9 = 0.45.
  EXPECT_EQ(BalanceText(sim, "777"), "478");
}

}  // namespace
}  // namespace tallowmer::sim
