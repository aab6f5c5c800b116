// The libcurl transport under THTTPRest, over real TLS on loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "service/HttpLog.h"
#include "service/uHTTP.h"
#include "tests/service/ModuleFolderEnv.h"
#include "tests/service/TlsTestServer.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TextCount.h"

namespace tallowmer {
namespace {

using testing::CountOccurrences;

using namespace std::chrono_literals;
using testing::HttpAnswerBytes;
using testing::ScriptedTlsServer;
using testing::TestPki;

constexpr const char* kToken = "merchant-token-0042";
constexpr const char* kStamp = "31.01.2024 10:20:30";

struct Outcome {
  std::string response;
  int32_t code = 0;
  std::string description;
};

class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki = new TestPki();
    otherPki = new TestPki();
    wrongNamePki = new TestPki("DNS:other.example");
  }
  static void TearDownTestSuite() {
    delete pki;
    delete otherPki;
    delete wrongNamePki;
  }

  TransportTest() {
    env.fixedClock = true;
    logDir = env.Root() + "logs/";
  }

  // A transport that trusts `extraCa` besides the system store.
  std::unique_ptr<THTTPRest> MakeRest(const std::string& extraCa,
                                      std::chrono::milliseconds timeout = kRequestTimeout,
                                      const std::string& systemCa = "") {
    TransportOptions options;
    options.extraCaBundle = extraCa;
    options.systemCaBundle = systemCa;
    options.requestTimeout = timeout;
    auto rest = std::make_unique<THTTPRest>(true, CreateDefaultTransport(options));
    rest->SetLogDir(logDir);
    return rest;
  }

  static Outcome Request(THTTPRest& rest, TMethodType method, const std::string& url,
                         const std::string& data = "") {
    Outcome outcome;
    rest.MakeRequest(method, url, data, outcome.response, outcome.code, outcome.description);
    return outcome;
  }

  std::string LogText() const { return testing::TestEnv::ReadFile(logDir + "http_2024.01.31.log"); }

  static TestPki* pki;
  static TestPki* otherPki;
  static TestPki* wrongNamePki;
  testing::TestEnv env;
  std::string logDir;
};

TestPki* TransportTest::pki = nullptr;
TestPki* TransportTest::otherPki = nullptr;
TestPki* TransportTest::wrongNamePki = nullptr;

TEST_F(TransportTest, TheLogShowsTheExchangeByteForByte) {
  const std::string answerBody = R"({"guid":"g-1","text":"Чек"})";
  const std::string answer = HttpAnswerBytes(200, "OK", "application/json; charset=utf-8", answerBody);
  ScriptedTlsServer server(*pki, [&](const std::string&) { return answer; });
  auto rest = MakeRest(pki->CaFile());
  const std::string body = R"({"name":"Кефир \"Домик\""})";

  const Outcome outcome =
      Request(*rest, mtPost,
              server.Url(std::string("/api/v2/createOrder?token=") + kToken + "&type=phone&id=1"), body);
  ASSERT_EQ(outcome.code, 200) << outcome.description;
  EXPECT_EQ(outcome.response, answerBody);

  const auto connections = server.Connections();
  ASSERT_EQ(connections.size(), 1u);
  const std::string& request = connections[0].request;
  const size_t headerEnd = request.find("\r\n\r\n") + 4;
  const std::string requestHeaders = request.substr(0, headerEnd);
  EXPECT_EQ(request.substr(headerEnd), body) << "the body travels as its UTF-8 bytes";

  std::string expected = std::string("Stat Route: direct, since ") + kStamp + ".\r\nStat Connected.\r\n";
  expected +=
      std::string("Sent ") + kStamp + ": " + RenderLogBytes(MaskTokenInRequestLine(requestHeaders)) + "\r\n";
  expected += std::string("Sent ") + kStamp + ": " + body + "\r\n";
  // The received head is one block, as the request's head is.
  expected += std::string("Recv ") + kStamp + ": " +
              RenderLogBytes(answer.substr(0, answer.find("\r\n\r\n") + 4)) + "\r\n";
  expected += std::string("Recv ") + kStamp + ": " + answerBody + "\r\n";
  expected += "Stat Disconnected.\r\n";
  const std::string log = LogText();
  EXPECT_EQ(log, expected);
  EXPECT_EQ(log.find(kToken), std::string::npos);
  EXPECT_NE(log.find("POST /api/v2/createOrder?token=***&type=phone&id=1 HTTP/1.1<EOL>"), std::string::npos)
      << log;
}

TEST_F(TransportTest, RequestsCarryOnlyTheConfiguredHeaders) {
  ScriptedTlsServer server(*pki, [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });
  auto rest = MakeRest(pki->CaFile());
  EXPECT_EQ(Request(*rest, mtGet, server.Url("/ping?token=")).code, 200);
  // Over a megabyte: without "Expect:" curl would ask for a 100 Continue first.
  const std::string largeBody = "\"" + std::string(1100000, 'x') + "\"";
  EXPECT_EQ(Request(*rest, mtPost, server.Url("/x"), largeBody).code, 200);
  EXPECT_EQ(rest->PostWithoutLog(server.Url("/ping?token=")), 200);

  const auto connections = server.Connections();
  ASSERT_EQ(connections.size(), 3u);
  const std::string& get = connections[0].request;
  EXPECT_EQ(get.rfind("GET /ping?token= HTTP/1.1\r\n", 0), 0u) << get;
  EXPECT_NE(get.find("\r\nAccept: */*\r\n"), std::string::npos);
  for (const std::string& request :
       {connections[0].request, connections[1].request, connections[2].request}) {
    EXPECT_EQ(request.find("User-Agent"), std::string::npos) << request;
    EXPECT_EQ(request.find("Expect"), std::string::npos) << request;
  }
  EXPECT_EQ(get.find("Content-Type"), std::string::npos);
  for (const std::string& post : {connections[1].request, connections[2].request}) {
    EXPECT_NE(post.find("\r\nContent-Type: application/json; charset=utf-8\r\n"), std::string::npos) << post;
  }
  EXPECT_NE(connections[2].request.find("\r\nContent-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(CountOccurrences(LogText(), "Stat Connected."), 2u) << "the unlogged POST stays out of the log";
}

TEST_F(TransportTest, AnswersAndFailuresBecomeCodeResponseAndDescription) {
  const struct {
    const char* name;
    std::string answer;
    int32_t code;
    std::string response;
    std::string description;  // empty: any non-empty message
  } cases[] = {
      {"401 JSON",
       HttpAnswerBytes(401, "Unauthorized", "application/json", R"({"error":{"message":"Invalid token"}})"),
       401, "", R"({"error":{"message":"Invalid token"}})"},
      {"500 HTML", HttpAnswerBytes(500, "Internal Server Error", "text/html", "<html><h1>Oops</h1></html>"),
       500, "", "<html><h1>Oops</h1></html>"},
      {"404 empty object", HttpAnswerBytes(404, "Not Found", "application/json", "{}"), 404, "", "{}"},
      {"302 not followed",
       HttpAnswerBytes(302, "Found", "text/plain", "moved", "Location: https://127.0.0.1:1/elsewhere\r\n"),
       302, "", "moved"},
      {"non-JSON 200", HttpAnswerBytes(200, "OK", "text/plain", "not json"), 200, "not json", ""},
      {"cut mid-answer",
       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"a\":", -1, "", ""},
      {"closed without answer", "", -1, "", ""},
  };
  for (const auto& c : cases) {
    ScriptedTlsServer server(*pki, [&](const std::string&) { return c.answer; });
    auto rest = MakeRest(pki->CaFile());
    const Outcome outcome = Request(*rest, mtGet, server.Url("/clientInfo?token=t&type=phone&id=1"));
    EXPECT_EQ(outcome.code, c.code) << c.name << ": " << outcome.description;
    EXPECT_EQ(outcome.response, c.response) << c.name;
    if (c.code == -1) {
      EXPECT_NE(outcome.description, "") << c.name;
    } else {
      EXPECT_EQ(outcome.description, c.description) << c.name;
    }
    EXPECT_EQ(server.Connections().size(), 1u) << c.name;
  }
}

TEST_F(TransportTest, AnUnreachablePortFailsWithTheConnectionMessageAndNoConnectionInTheLog) {
  testing::RefusingPort port;
  auto rest = MakeRest(pki->CaFile());
  const Outcome outcome =
      Request(*rest, mtGet, "https://127.0.0.1:" + std::to_string(port.Port()) + "/ping?token=");
  EXPECT_EQ(outcome.code, -1);
  EXPECT_EQ(
      outcome.description.rfind(DescribeTransportFailure(TransportFailure::ConnectionRefused, "") + " (", 0),
      0u)
      << outcome.description;
  EXPECT_EQ(LogText(), "");
}

TEST_F(TransportTest, AServerThatNeverAnswersTimesOut) {
  testing::SilentPort port;
  auto rest = MakeRest(pki->CaFile(), 700ms);
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome =
      Request(*rest, mtGet, "https://127.0.0.1:" + std::to_string(port.Port()) + "/ping?token=");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.code, -1);
  EXPECT_EQ(outcome.description.rfind(DescribeTransportFailure(TransportFailure::TimedOut, "") + " (", 0), 0u)
      << outcome.description;
  EXPECT_GE(elapsed, 600ms);
  EXPECT_LT(elapsed, 5s);
}

TEST_F(TransportTest, EveryRequestOpensAndClosesItsOwnConnection) {
  ScriptedTlsServer server(*pki, [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });
  auto rest = MakeRest(pki->CaFile());
  EXPECT_EQ(Request(*rest, mtGet, server.Url("/ping?token=")).code, 200);
  EXPECT_EQ(Request(*rest, mtGet, server.Url("/ping?token=")).code, 200);

  const auto connections = server.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_NE(connections[0].peerPort, connections[1].peerPort);
  const std::string log = LogText();
  EXPECT_EQ(CountOccurrences(log, "Stat Connected.\r\n"), 2u);
  EXPECT_EQ(CountOccurrences(log, "Stat Disconnected.\r\n"), 2u);
  const size_t firstClose = log.find("Stat Disconnected.");
  EXPECT_LT(firstClose, log.find("Stat Connected.", log.find("Stat Connected.") + 1));
  EXPECT_EQ(log.substr(log.size() - 20), "Stat Disconnected.\r\n");
}

TEST_F(TransportTest, CertificatesAreCheckedAgainstTrustedAuthoritiesAndTheHostName) {
  ScriptedTlsServer server(*pki, [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });
  ScriptedTlsServer otherServer(*otherPki,
                                [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });
  ScriptedTlsServer wrongName(*wrongNamePki,
                              [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });

  const Outcome untrusted = Request(*MakeRest(""), mtGet, server.Url("/ping?token="));
  EXPECT_EQ(untrusted.code, -1);
  const std::string rejected = DescribeTransportFailure(TransportFailure::CertificateRejected, "") + " (";
  EXPECT_EQ(untrusted.description.rfind(rejected, 0), 0u) << untrusted.description;
  EXPECT_TRUE(server.Connections().empty()) << "nothing may be sent to an untrusted server";

  EXPECT_EQ(Request(*MakeRest(pki->CaFile()), mtGet, server.Url("/ping?token=")).code, 200);

  const Outcome mismatch = Request(*MakeRest(wrongNamePki->CaFile()), mtGet, wrongName.Url("/ping?token="));
  EXPECT_EQ(mismatch.code, -1);
  EXPECT_EQ(mismatch.description.rfind(rejected, 0), 0u) << mismatch.description;
  EXPECT_NE(mismatch.description.find("127.0.0.1"), std::string::npos) << mismatch.description;

  // The extra authorities come on top of the system store, not instead of it.
  auto both = MakeRest(otherPki->CaFile(), kRequestTimeout, pki->CaFile());
  EXPECT_EQ(Request(*both, mtGet, server.Url("/ping?token=")).code, 200);
  EXPECT_EQ(Request(*both, mtGet, otherServer.Url("/ping?token=")).code, 200);
  auto systemOnly = MakeRest("", kRequestTimeout, pki->CaFile());
  EXPECT_EQ(Request(*systemOnly, mtGet, server.Url("/ping?token=")).code, 200);
  EXPECT_EQ(Request(*systemOnly, mtGet, otherServer.Url("/ping?token=")).code, -1);
}

// The transport cases run with short limits of their own; the product's whole request is 30 s.
TEST(TransportDefaultsTest, TheWholeRequestIsBoundedAtThirtySeconds) {
  EXPECT_EQ(DefaultTransportOptions().requestTimeout, std::chrono::seconds(30));
}

TEST(TransportDefaultsTest, AnAuthorityInTheSslFolderBesideTheModuleIsTrusted) {
  TestPki pki;
  testing::ModuleFolderEnv env;
  ScriptedTlsServer server(pki, [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });
  EXPECT_EQ(DefaultExtraCaBundlePath(), env.Root() + "bin/SSL/ca-bundle.pem");

  std::string response, description;
  int32_t code = 0;
  THTTPRest before(true);
  before.MakeRequest(mtGet, server.Url("/ping?token="), "", response, code, description);
  EXPECT_EQ(code, -1);

  std::filesystem::create_directories(env.Root() + "bin/SSL");
  std::filesystem::copy_file(pki.CaFile(), env.Root() + "bin/SSL/ca-bundle.pem");
  THTTPRest after(true);
  after.MakeRequest(mtGet, server.Url("/ping?token="), "", response, code, description);
  EXPECT_EQ(code, 200) << description;
}

TEST(TransportDefaultsTest, TheAuthorityNamedByTheEnvironmentIsTrusted) {
  TestPki pki;
  testing::ModuleFolderEnv env;
  ScriptedTlsServer server(pki, [](const std::string&) { return HttpAnswerBytes(200, "OK", "", "{}"); });
  struct CaFileVariable {
    explicit CaFileVariable(const std::string& file) { setenv("LS_TALLOWMER_CA_FILE", file.c_str(), 1); }
    ~CaFileVariable() { unsetenv("LS_TALLOWMER_CA_FILE"); }
  };

  std::string response, description;
  int32_t code = 0;
  {
    const CaFileVariable missing(env.Root() + "no-such-ca.pem");
    THTTPRest rest(true);
    rest.MakeRequest(mtGet, server.Url("/ping?token="), "", response, code, description);
    EXPECT_EQ(code, -1);
  }
  const CaFileVariable named(pki.CaFile());
  THTTPRest rest(true);
  rest.MakeRequest(mtGet, server.Url("/ping?token="), "", response, code, description);
  EXPECT_EQ(code, 200) << description;
}

// A host tells failures apart by their words, and a log reader by their names: no two kinds may
// share either, and a kind outside the enum (a number cast from elsewhere) keeps only its detail.
TEST(TransportFailureWordsTest, EveryKindHasItsOwnNameAndText) {
  std::set<std::string> names, texts;
  for (int value = 0; value <= static_cast<int>(TransportFailure::Other); ++value) {
    const auto kind = static_cast<TransportFailure>(value);
    const std::string name = TransportFailureName(kind);
    const std::string text = DescribeTransportFailure(kind, "");
    SCOPED_TRACE(name);
    EXPECT_NE(name, "?");
    EXPECT_TRUE(names.insert(name).second);
    if (kind == TransportFailure::None) {
      EXPECT_EQ(text, "");
      EXPECT_EQ(DescribeTransportFailure(kind, "деталь"), "деталь");
      continue;
    }
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(texts.insert(text).second) << text;
    EXPECT_EQ(DescribeTransportFailure(kind, "деталь"), text + " (деталь)");
  }
  const auto outside = static_cast<TransportFailure>(static_cast<int>(TransportFailure::Other) + 1);
  EXPECT_STREQ(TransportFailureName(outside), "?");
  EXPECT_EQ(DescribeTransportFailure(outside, "деталь"), "деталь");
}

}  // namespace
}  // namespace tallowmer
