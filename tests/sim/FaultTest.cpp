// Fault injection: the injector on its own, then each mode as a client over HTTPS and plain HTTP
// sees it.

#include "tools/sim/FaultInjector.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/sim/SimTestSupport.h"

namespace tallowmer::sim {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::Api;
using testing::BalanceText;
using testing::BodyJson;
using testing::RunningSim;
using testing::SimConfig;
using testing::Transport;

milliseconds Since(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

TEST(FaultInjectorTest, ModeNamesReadBack) {
  for (FaultMode mode :
       {FaultMode::None, FaultMode::Delay, FaultMode::Html500, FaultMode::NonJson200, FaultMode::Cut}) {
    EXPECT_EQ(ParseFaultMode(FaultModeName(mode)), mode);
  }
  for (const char* name : {"", "Delay", "html", "500", "cut "}) EXPECT_FALSE(ParseFaultMode(name)) << name;
}

TEST(FaultInjectorTest, AnArmedFaultLastsForItsCount) {
  FaultInjector faults;
  EXPECT_EQ(faults.Take().mode, FaultMode::None);
  faults.Arm(FaultMode::Delay, 3, milliseconds(250));
  EXPECT_EQ(faults.Armed().remaining, 3);
  for (int i = 0; i < 3; ++i) {
    const Fault fault = faults.Take();
    EXPECT_EQ(fault.mode, FaultMode::Delay);
    EXPECT_EQ(fault.delay, milliseconds(250));
    EXPECT_EQ(faults.Armed().remaining, 2 - i);
  }
  EXPECT_EQ(faults.Take().mode, FaultMode::None);
  EXPECT_EQ(faults.Armed().fault.mode, FaultMode::None);
}

TEST(FaultInjectorTest, ArmingAgainReplacesAndNoneOrZeroDisarms) {
  FaultInjector faults;
  faults.Arm(FaultMode::Html500, 5, milliseconds(0));
  faults.Arm(FaultMode::Cut, 1, milliseconds(0));
  EXPECT_EQ(faults.Take().mode, FaultMode::Cut);
  EXPECT_EQ(faults.Take().mode, FaultMode::None);
  faults.Arm(FaultMode::Html500, 5, milliseconds(0));
  faults.Arm(FaultMode::None, 5, milliseconds(0));
  EXPECT_EQ(faults.Take().mode, FaultMode::None);
  faults.Arm(FaultMode::Html500, 0, milliseconds(0));
  EXPECT_EQ(faults.Take().mode, FaultMode::None);
}

TEST(FaultInjectorTest, ShutdownCutsPausesShort) {
  FaultInjector faults;
  const auto start = steady_clock::now();
  faults.Pause(milliseconds(60));
  EXPECT_GE(Since(start), milliseconds(60));

  std::thread stopper([&faults] {
    std::this_thread::sleep_for(milliseconds(50));
    faults.Shutdown();
  });
  const auto pausing = steady_clock::now();
  faults.Pause(milliseconds(30000));
  stopper.join();
  EXPECT_LT(Since(pausing), milliseconds(10000));
  const auto after = steady_clock::now();
  faults.Pause(milliseconds(30000));
  EXPECT_LT(Since(after), milliseconds(10000));
}

constexpr const char* kOrderBody =
    R"({"guid":"fault-order-1","number":"1","date":"2024-05-01 10:00:00","sum":100,"sumDiscount":90,)"
    R"("bonusAdd":0,"bonusWriteOff":10,"depositAdd":0,"depositWriteOff":0})";

class FaultTest : public ::testing::TestWithParam<Transport> {
 protected:
  FaultTest() : sim(SimConfig{GetParam(), true}) {}

  json Arm(const std::string& body) {
    const auto result = client.Post("/_sim/fault", body, "application/json");
    EXPECT_TRUE(result && result->status == 200) << body;
    return BodyJson(result);
  }
  httplib::Result Order() {
    return client.Post(Api("createOrder", "type=cardNumber&id=777"), kOrderBody, "application/json");
  }
  void ExpectNormalPing() {
    const auto result = client.Get(Api("ping"));
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, R"({"result":"ok"})");
  }

  RunningSim sim;
  httplib::Client client = sim.Client();
};

INSTANTIATE_TEST_SUITE_P(Transports, FaultTest, ::testing::Values(Transport::Https, Transport::Plain),
                         testing::TransportName);

TEST_P(FaultTest, ArmingAnswersWhatIsArmed) {
  EXPECT_EQ(Arm(R"({"mode":"delay","count":2,"delayMs":300})").dump(),
            R"({"count":2,"delayMs":300,"mode":"delay"})");
  EXPECT_EQ(BodyJson(client.Get("/_sim/fault")).dump(), R"({"count":2,"delayMs":300,"mode":"delay"})");
  // The count defaults to one answer.
  EXPECT_EQ(Arm(R"({"mode":"cut"})").dump(), R"({"count":1,"delayMs":0,"mode":"cut"})");
  EXPECT_EQ(Arm(R"({"mode":"none"})").dump(), R"({"count":0,"delayMs":0,"mode":"none"})");
}

TEST_P(FaultTest, Html500ForTheNextAnswersWithoutHandlingThem) {
  Arm(R"({"mode":"html500","count":2})");
  for (int i = 0; i < 2; ++i) {
    const auto result = i == 0 ? Order() : client.Get(Api("clientInfo", "type=cardNumber&id=777"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 500);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(result->body.find("<html>"), std::string::npos);
    EXPECT_NE(result->body.find("<h1>Internal Server Error</h1>"), std::string::npos);
  }
  EXPECT_EQ(BalanceText(sim, "777"), "500");
  const auto retried = Order();
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->status, 200) << retried->body;
  EXPECT_EQ(BalanceText(sim, "777"), "494");
}

TEST_P(FaultTest, Html500ComesBeforeTheTokenCheck) {
  Arm(R"({"mode":"html500"})");
  const auto result = client.Get("/api/v2/ping?token=wrong");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 500);
}

TEST_P(FaultTest, NonJson200AnswersPlainTextWithoutHandling) {
  Arm(R"({"mode":"nonjson200","count":1})");
  const auto result = Order();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_FALSE(result->body.empty());
  EXPECT_FALSE(json::accept(result->body)) << result->body;
  EXPECT_EQ(BalanceText(sim, "777"), "500");
  ExpectNormalPing();
}

TEST_P(FaultTest, DelayWaitsThenAnswersNormally) {
  Arm(R"({"mode":"delay","count":1,"delayMs":400})");
  const auto start = steady_clock::now();
  const auto result = Order();
  const milliseconds took = Since(start);
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_GE(took, milliseconds(400));
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(BodyJson(result).value("bonusBalance", 0), 494);
  EXPECT_EQ(BodyJson(client.Get("/_sim/fault")).value("count", -1), 0);
}

TEST_P(FaultTest, DelayOutlastsAShortClientTimeout) {
  Arm(R"({"mode":"delay","count":1,"delayMs":3000})");
  auto impatient = sim.Client();
  impatient.set_read_timeout(0, 300'000);
  const auto result = impatient.Get(Api("ping"));
  EXPECT_FALSE(result);
  EXPECT_EQ(result.error(), httplib::Error::Read);
}

TEST_P(FaultTest, CutLeavesTheClientWithAShortRead) {
  Arm(R"({"mode":"cut","count":1})");
  const auto result = client.Get(Api("clientInfo", "type=cardNumber&id=777"));
  EXPECT_FALSE(result);
  EXPECT_EQ(result.error(), httplib::Error::Read);
  ExpectNormalPing();
}

TEST_P(FaultTest, CutHandlesTheRequestBeforeTheAnswerIsLost) {
  Arm(R"({"mode":"cut"})");
  EXPECT_FALSE(Order());
  EXPECT_EQ(BalanceText(sim, "777"), "494");
  const auto repeated = Order();
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->status, 409);
}

TEST_P(FaultTest, OnlyApiAnswersUseUpTheCount) {
  Arm(R"({"mode":"html500","count":1})");
  const auto control = client.Get("/_sim/fault");
  ASSERT_TRUE(control);
  EXPECT_EQ(control->status, 200);
  const auto missing = client.Get("/api/v2/noSuchOperation?token=demo-token-0001");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  const auto faulted = client.Get(Api("ping"));
  ASSERT_TRUE(faulted);
  EXPECT_EQ(faulted->status, 500);
  ExpectNormalPing();
}

TEST_P(FaultTest, ControlRefusesWhatItCannotArm) {
  Arm(R"({"mode":"html500","count":1})");
  for (const char* body :
       {R"({"mode":"explode"})", R"({"count":1})", R"({"mode":5})", R"({"mode":"delay","delayMs":-1})",
        R"({"mode":"delay","delayMs":600001})", R"({"mode":"cut","count":1.5})",
        R"({"mode":"cut","count":-1})", "not json", "[]"}) {
    const auto result = client.Post("/_sim/fault", body, "application/json");
    ASSERT_TRUE(result) << body;
    EXPECT_EQ(result->status, 400) << body;
    EXPECT_TRUE(BodyJson(result).contains("error")) << body;
  }
  // The fault armed before is still there, untouched by the refused requests.
  EXPECT_EQ(BodyJson(client.Get("/_sim/fault")).dump(), R"({"count":1,"delayMs":0,"mode":"html500"})");
}

TEST_P(FaultTest, StoredOrdersCanBeInspected) {
  ASSERT_TRUE(Order());
  const json stored = BodyJson(client.Get("/_sim/order?guid=fault-order-1"));
  EXPECT_EQ(stored.value("clientId", ""), "1001");
  EXPECT_EQ(stored.value("request", ""), kOrderBody);
  EXPECT_EQ(stored.value("bonusAccrued", 0), 4);
  EXPECT_EQ(stored.value("returned", true), false);
  const auto missing = client.Get("/_sim/order?guid=none");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

// A file descriptor closed with the object.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Sends `request` on a fresh connection and reads until the server closes it.
std::string RawExchange(int port, const std::string& request) {
  Socket socket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "cannot connect";
    return "";
  }
  if (send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    ADD_FAILURE() << "cannot send";
    return "";
  }
  std::string received;
  char buffer[4096];
  pollfd poll_fd{socket.get(), POLLIN, 0};
  while (poll(&poll_fd, 1, 5000) > 0) {
    const ssize_t n = recv(socket.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

TEST(CutOnTheWireTest, PromisesTheWholeBodyAndSendsOnlyPartOfIt) {
  RunningSim sim(SimConfig{Transport::Plain, true});
  auto client = sim.Client();
  const auto full = client.Get(Api("clientInfo", "type=cardNumber&id=777"));
  ASSERT_TRUE(full);
  ASSERT_TRUE(client.Post("/_sim/fault", R"({"mode":"cut"})", "application/json"));

  const std::string answer = RawExchange(sim.Port(), "GET " + Api("clientInfo", "type=cardNumber&id=777") +
                                                         " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
  const auto headersEnd = answer.find("\r\n\r\n");
  ASSERT_NE(headersEnd, std::string::npos) << answer;
  const std::string headers = answer.substr(0, headersEnd);
  EXPECT_NE(headers.find("Content-Length: " + std::to_string(full->body.size())), std::string::npos)
      << headers;
  EXPECT_NE(headers.find("Content-Type: application/json; charset=utf-8"), std::string::npos) << headers;
  const std::string body = answer.substr(headersEnd + 4);
  EXPECT_FALSE(body.empty());
  EXPECT_LT(body.size(), full->body.size());
  EXPECT_EQ(full->body.rfind(body, 0), 0u) << "sent part is not the answer's beginning: " << body;
}

TEST(StopWithFaultsTest, AnswersHeldByADelayDoNotHoldUpStopping) {
  RunningSim sim(SimConfig{Transport::Plain, true});
  std::thread waiting;
  {
    // Closed before stopping, so only the delayed answer is left open.
    auto control = sim.Client();
    ASSERT_TRUE(control.Post("/_sim/fault", R"({"mode":"delay","delayMs":600000})", "application/json"));
    waiting = std::thread([&sim] {
      auto client = sim.Client();
      client.set_read_timeout(60);
      client.Get(Api("ping"));
    });
    // The request has reached the server once it has taken the fault.
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (BodyJson(control.Get("/_sim/fault")).value("count", -1) != 0 && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  const auto stopping = steady_clock::now();
  sim.server().Stop();
  EXPECT_LT(Since(stopping), milliseconds(4000));
  waiting.join();
}

}  // namespace
}  // namespace tallowmer::sim
