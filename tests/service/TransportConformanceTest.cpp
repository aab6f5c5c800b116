#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "tests/support/ConnectProxy.h"
#include "tests/support/HostileServer.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"
#include "tests/transport/TransportConformance.h"

namespace tallowmer {
namespace {

constexpr const char* kToken = "conformance-token-1";

// The simulator's certificate names "localhost"; WinHTTP matches names only, so both sides use it.
std::string ByName(std::string url) {
  const size_t host = url.find("127.0.0.1");
  return host == std::string::npos ? url : url.replace(host, 9, "localhost");
}

// The system's proxy on Linux: the variables the transport reads for each request. Those of the
// machine running the tests are put back when the proxy is cleared.
class ProxyEnvironment {
 public:
  void Use(const std::string& proxy) {
    for (const char* name :
         {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      if (proxy.empty()) {
        Restore(name);
      } else {
        Save(name);
        ::unsetenv(name);
      }
    }
    if (!proxy.empty()) ::setenv("https_proxy", ("http://" + proxy).c_str(), 1);
  }

 private:
  void Save(const char* name) {
    if (const char* value = std::getenv(name)) saved_[name] = value;
  }
  void Restore(const char* name) {
    const auto found = saved_.find(name);
    if (found == saved_.end()) {
      ::unsetenv(name);
      return;
    }
    ::setenv(name, found->second.c_str(), 1);
    saved_.erase(found);
  }

  std::map<std::string, std::string> saved_;
};

// The peers the cases talk to, started once for the cases that run in one process.
class Peers {
 public:
  Peers() {
    std::filesystem::create_directories(logFolder_);
    target.plainBaseUrl = plain_.BaseUrl();
    target.httpsBaseUrl = ByName(https_.BaseUrl());
    target.untrustedBaseUrl = ByName(untrusted_.BaseUrl());
    target.token = kToken;
    target.refusedPort = refused_.Port();
    target.logFolder = logFolder_;
    target.garbageUrl = garbage_.Url();
    target.refusingProxy = "127.0.0.1:" + std::to_string(refusing_.Port());
    target.useSystemProxy = [this](const std::string& proxy) { environment_.Use(proxy); };
    target.hostilePlainUrl = hostile_.PlainUrl();
    target.hostileTlsUrl = hostile_.TlsUrl();
    makeTransport = [this](std::chrono::milliseconds requestTimeout) {
      TransportOptions options;
      options.extraCaBundle = https_.CaFile();
      options.processCaFile = hostile_.CaFile();
      options.requestTimeout = requestTimeout;
      return CreateDefaultTransport(options);
    };
  }
  Peers(const Peers&) = delete;
  Peers& operator=(const Peers&) = delete;

  conformance::Target target;
  conformance::TransportFactory makeTransport;

 private:
  testing::TestEnv env_;
  const testing::Simulator plain_{TALLOWMER_SIM_PATH, {true, true, kToken}};
  const testing::Simulator https_{TALLOWMER_SIM_PATH, {false, true, kToken}};
  const testing::Simulator untrusted_{TALLOWMER_SIM_PATH, {false, false, kToken}};
  const std::string logFolder_ = env_.Root() + "http-log";
  const testing::ConnectProxy garbage_{testing::ConnectProxy::Behaviour::AnswerGarbage};
  const testing::ConnectProxy refusing_{testing::ConnectProxy::Behaviour::RefuseTunnels};
  const testing::RefusingPort refused_;
  const testing::HostileServer hostile_;
  ProxyEnvironment environment_;
};

class TransportConformanceTest : public ::testing::TestWithParam<size_t> {
 protected:
  static void SetUpTestSuite() { peers = std::make_unique<Peers>(); }
  static void TearDownTestSuite() { peers.reset(); }

  static std::unique_ptr<Peers> peers;
};

std::unique_ptr<Peers> TransportConformanceTest::peers;

TEST_P(TransportConformanceTest, Passes) {
  const conformance::CaseResult result =
      conformance::RunCase(GetParam(), peers->target, peers->makeTransport);
  if (!result.skipped.empty()) GTEST_SKIP() << result.skipped;
  SCOPED_TRACE(result.name);
  for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
}

// "an answer cut short ... (HTTP)" as "AnAnswerCutShort...HTTP".
std::string TestName(const ::testing::TestParamInfo<size_t>& info) {
  std::string name;
  bool wordStart = true;
  const std::string words = conformance::CaseNames().at(info.param);
  for (const char c : words) {
    if (c == '\'') continue;
    if (!std::isalnum(static_cast<unsigned char>(c))) {
      wordStart = true;
      continue;
    }
    name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    wordStart = false;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Libcurl, TransportConformanceTest,
                         ::testing::Range<size_t>(0, conformance::CaseNames().size()), TestName);

}  // namespace
}  // namespace tallowmer
