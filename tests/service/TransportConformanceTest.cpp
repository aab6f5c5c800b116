#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "tests/support/ConnectProxy.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"
#include "tests/transport/TransportConformance.h"

namespace tallowmer {
namespace {

constexpr const char* kToken = "conformance-token-1";

// A loopback port that was free a moment ago and on which nothing listens now.
int RefusedPort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(socket);
  return ntohs(address.sin_port);
}

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

TEST(TransportConformanceTest, LibcurlPassesEveryCase) {
  testing::TestEnv env;
  const testing::Simulator plain(TALLOWMER_SIM_PATH, {true, true, kToken});
  const testing::Simulator https(TALLOWMER_SIM_PATH, {false, true, kToken});
  const testing::Simulator untrusted(TALLOWMER_SIM_PATH, {false, false, kToken});
  const std::string logFolder = env.Root() + "http-log";
  std::filesystem::create_directories(logFolder);
  const testing::ConnectProxy garbage(testing::ConnectProxy::Behaviour::AnswerGarbage);
  const testing::ConnectProxy refusing(testing::ConnectProxy::Behaviour::RefuseTunnels);
  conformance::Target target;
  target.plainBaseUrl = plain.BaseUrl();
  target.httpsBaseUrl = ByName(https.BaseUrl());
  target.untrustedBaseUrl = ByName(untrusted.BaseUrl());
  target.token = kToken;
  target.refusedPort = RefusedPort();
  target.logFolder = logFolder;
  target.garbageUrl = garbage.Url();
  target.refusingProxy = "127.0.0.1:" + std::to_string(refusing.Port());
  ProxyEnvironment environment;
  target.useSystemProxy = [&environment](const std::string& proxy) { environment.Use(proxy); };
  const auto makeTransport = [&https](std::chrono::milliseconds requestTimeout) {
    TransportOptions options;
    options.extraCaBundle = https.CaFile();
    options.requestTimeout = requestTimeout;
    return CreateDefaultTransport(options);
  };
  for (const conformance::CaseResult& result : conformance::RunAll(target, makeTransport)) {
    SCOPED_TRACE(result.name);
    for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  }
}

}  // namespace
}  // namespace tallowmer
