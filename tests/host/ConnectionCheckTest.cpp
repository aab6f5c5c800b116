// `ls_tallowmer_host check` against the service simulator: each failure named at its own step, the
// exit status, and a verdict line; the token never printed.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/FileDescriptor.h"

#include "tests/support/RefusingPort.h"
#include "tests/support/ShellCommand.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"

namespace tallowmer::host {
namespace {

constexpr const char* kToken = "check-token-000042";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start))
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// A plain HTTP service that answers every request with one head: the check's ping meets whatever
// Date header a test gives it.
class FixedHeadServer {
 public:
  explicit FixedHeadServer(std::string head)
      : head_(std::move(head)), listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 8) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("the fixed-head server cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Serve(); });
  }
  FixedHeadServer(const FixedHeadServer&) = delete;
  FixedHeadServer& operator=(const FixedHeadServer&) = delete;
  ~FixedHeadServer() {
    stopping_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
  }

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/v2"; }

 private:
  // The check's TCP step connects and closes; its ping sends a request and reads the answer.
  void Serve() {
    while (!stopping_) {
      const platform::FileDescriptor peer(::accept(listener_.get(), nullptr, nullptr));
      if (peer.get() < 0) continue;
      std::string request;
      char buffer[4096];
      ssize_t got = 0;
      while (request.find("\r\n\r\n") == std::string::npos &&
             (got = ::recv(peer.get(), buffer, sizeof buffer, 0)) > 0)
        request.append(buffer, static_cast<size_t>(got));
      if (request.empty()) continue;
      const std::string answer = head_ + "Content-Length: 2\r\nConnection: close\r\n\r\n{}";
      (void)::send(peer.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    }
  }

  std::string head_;
  platform::FileDescriptor listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
};

class ConnectionCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    trusted = new testing::Simulator(TALLOWMER_SIM_PATH, {false, false, kToken});
    untrusted = new testing::Simulator(TALLOWMER_SIM_PATH, {false, false, kToken});
  }
  static void TearDownTestSuite() {
    delete trusted;
    delete untrusted;
  }

  // The host program beside an SSL/ca-bundle.pem naming the trusted simulator's authority, the way
  // an installation trusts a private authority on Linux.
  ConnectionCheckTest() {
    namespace fs = std::filesystem;
    fs::create_directories(env.Root() + "bin/SSL");
    fs::copy_file(LS_HOST_PATH, env.Root() + "bin/ls_tallowmer_host");
    fs::copy_file(trusted->CaFile(), env.Root() + "bin/SSL/ca-bundle.pem");
  }

  struct Run {
    int status = -1;
    std::vector<std::string> lines;
    std::string out;
  };

  Run Check(const std::string& host, const std::string& token) {
    const std::string command = "LS_TALLOWMER_DATA_DIR='" + env.Root() + "data' '" + env.Root() +
                                "bin/ls_tallowmer_host' --set 'Host=" + host + "' --set 'Token=" + token +
                                "' check 2>/dev/null";
    testing::CommandRun run = testing::RunShellCommand(command);
    std::vector<std::string> lines = SplitLines(run.out);
    return {run.status, std::move(lines), std::move(run.out)};
  }

  static testing::Simulator* trusted;
  static testing::Simulator* untrusted;
  testing::TestEnv env;
};

testing::Simulator* ConnectionCheckTest::trusted = nullptr;
testing::Simulator* ConnectionCheckTest::untrusted = nullptr;

TEST_F(ConnectionCheckTest, EachFaultIsNamedAtItsStep) {
  struct Case {
    const char* what;
    std::string host;
    std::string token;
    int status;
    // The verdict of each of the seven steps.
    std::vector<std::string> verdicts;
    std::string detail;   // in the failing step's line, or the TLS line when all passed
    std::string verdict;  // the start of the last line
  };
  const testing::RefusingPort refusing;
  const std::string closed = "https://127.0.0.1:" + std::to_string(refusing.Port()) + "/api/v2";
  const Case cases[] = {
      {"healthy",
       trusted->BaseUrl(),
       kToken,
       0,
       {"ОК", "ОК", "ОК", "ОК", "ОК", "ОК", "ОК"},
       "SSL/ca-bundle.pem: доверяет",
       "Итог: связь с сервисом в порядке."},
      {"wrong token",
       trusted->BaseUrl(),
       "wrong-token-0000",
       1,
       {"ОК", "ОК", "ОК", "ОК", "ОК", "ОШИБКА", "ОК"},
       "401, неверный ключ доступа",
       "Итог: связи с сервисом нет — Проверка связи (ping) с ключом доступа: 401"},
      {"untrusted certificate",
       untrusted->BaseUrl(),
       kToken,
       1,
       {"ОК", "ОК", "ОК", "ОК", "ОШИБКА", "ОШИБКА", "ПРОПУЩЕНО"},
       "системное хранилище: не доверяет",
       "Итог: связи с сервисом нет — TLS: сертификат сервера не заверен доверенным центром"},
      {"port closed",
       closed,
       kToken,
       1,
       {"ОК", "ОК", "ОК", "ОШИБКА", "ПРОПУЩЕНО", "ПРОПУЩЕНО", "ПРОПУЩЕНО"},
       "подключение отклонено",
       "Итог: связи с сервисом нет — Подключение TCP: подключение отклонено"},
      // Two dots in a row: the resolver refuses the name itself, so no query leaves the machine.
      {"name does not resolve",
       "https://nosuch..invalid/api/v2",
       kToken,
       1,
       {"ОК", "ОШИБКА", "ОК", "ПРОПУЩЕНО", "ПРОПУЩЕНО", "ПРОПУЩЕНО", "ПРОПУЩЕНО"},
       "не найдено",
       "Итог: связи с сервисом нет — Имя сервера: nosuch..invalid не найдено"},
  };
  const std::regex step(R"(^(\d)\. .+ — (\S+) \(\d+ мс\): .+$)");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Run run = Check(c.host, c.token);
    EXPECT_EQ(run.status, c.status) << run.out;
    ASSERT_EQ(run.lines.size(), 8u) << run.out;
    std::string detailLine;
    for (size_t i = 0; i < 7; ++i) {
      std::smatch parts;
      ASSERT_TRUE(std::regex_match(run.lines[i], parts, step)) << run.lines[i];
      EXPECT_EQ(parts[1], std::to_string(i + 1));
      EXPECT_EQ(parts[2], c.verdicts[i]) << run.lines[i];
      if (detailLine.empty() && (c.verdicts[i] == "ОШИБКА" || (c.status == 0 && i == 4)))
        detailLine = run.lines[i];
    }
    EXPECT_NE(detailLine.find(c.detail), std::string::npos) << detailLine;
    EXPECT_EQ(run.lines[7].rfind(c.verdict, 0), 0u) << run.lines[7];
    EXPECT_EQ(run.out.find(kToken), std::string::npos) << "the token is never printed";
  }
}

TEST_F(ConnectionCheckTest, TheHealthyCheckShowsTheCertificateAndTheClock) {
  const Run run = Check(trusted->BaseUrl(), kToken);
  ASSERT_EQ(run.lines.size(), 8u) << run.out;
  EXPECT_NE(run.lines[1].find("127.0.0.1 → 127.0.0.1"), std::string::npos) << run.lines[1];
  EXPECT_NE(run.lines[2].find("напрямую"), std::string::npos) << run.lines[2];
  // The ping names the route its transport took and when that was decided, in the regional formats.
  EXPECT_TRUE(
      std::regex_search(run.lines[5], std::regex("; маршрут: напрямую, выбран \\S+ \\d\\d:\\d\\d:\\d\\d$")))
      << run.lines[5];
  EXPECT_TRUE(
      std::regex_search(run.lines[4], std::regex("TLSv1\\.[23]; субъект: CN=localhost.*; издатель: "
                                                 "CN=tallowmer_sim local CA.*; действует до: 20\\d\\d-")))
      << run.lines[4];
  EXPECT_TRUE(
      std::regex_search(run.lines[6], std::regex("(часы совпадают|на \\d+ с) \\(время сервиса \\w{3}, ")))
      << run.lines[6];
}

// The till's clock is judged against the service's: a wrong one is a warning in the clock's step and
// in the verdict, never a failure, as sales still go through.
TEST_F(ConnectionCheckTest, AWrongClockIsAWarningThatNamesTheOffset) {
  struct Case {
    long long serviceAheadSeconds;
    const char* verdict;
    const char* offset;
  };
  const Case cases[] = {
      {600, "ВНИМАНИЕ", "часы кассы отстают на (9 мин 59|10 мин [01]) с"},
      {-3600, "ВНИМАНИЕ", "часы кассы спешат на (59 мин 59|60 мин [01]) с"},
      {60, "ОК", "часы кассы отстают на (59|60|61) с"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serviceAheadSeconds);
    const testing::Simulator skewed(TALLOWMER_SIM_PATH, {true, false, kToken, c.serviceAheadSeconds});
    const Run run = Check(skewed.BaseUrl(), kToken);
    EXPECT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.lines.size(), 8u) << run.out;
    EXPECT_TRUE(std::regex_search(
        run.lines[6], std::regex(std::string("— ") + c.verdict + " .*: " + c.offset + " \\(время сервиса ")))
        << run.lines[6];
    const std::string verdict = c.verdict == std::string("ОК")
                                    ? "^Итог: связь с сервисом в порядке\\.$"
                                    : std::string("^Итог: связь с сервисом в порядке, но ") + c.offset +
                                          ": исправьте время на кассе\\.$";
    EXPECT_TRUE(std::regex_search(run.lines[7], std::regex(verdict))) << run.lines[7];
  }
}

// The service's Date header is data from outside: a field out of its range is a time the check
// cannot read, never a sum that overflows, and a well-formed one is still judged.
TEST_F(ConnectionCheckTest, AServiceDateOutOfRangeIsNotRead) {
  struct Case {
    const char* date;
    const char* clockLine;
  };
  const Case cases[] = {
      {"Thu, 10 Dec 2026 99999999:00:00 GMT",
       "— ПРОПУЩЕНО .*время сервиса не разобрано: Thu, 10 Dec 2026 99999999"},
      {"Thu, 10 Dec 2026 10:2147483647:00 GMT", "— ПРОПУЩЕНО .*время сервиса не разобрано"},
      {"Thu, 10 Dec 2026 10:00:-5 GMT", "— ПРОПУЩЕНО .*время сервиса не разобрано"},
      {"Thu, 01 Jan 2015 10:00:00 GMT", "— ВНИМАНИЕ .*часы кассы спешат на \\d+ мин"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    const FixedHeadServer server(std::string("HTTP/1.1 200 OK\r\nDate: ") + c.date + "\r\n");
    const Run run = Check(server.BaseUrl(), kToken);
    EXPECT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.lines.size(), 8u) << run.out;
    EXPECT_TRUE(std::regex_search(run.lines[6], std::regex(c.clockLine))) << run.lines[6];
  }
}

}  // namespace
}  // namespace tallowmer::host
