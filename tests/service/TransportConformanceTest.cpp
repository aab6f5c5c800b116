#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

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

TEST(TransportConformanceTest, LibcurlPassesEveryCase) {
  testing::TestEnv env;
  const testing::Simulator plain(TALLOWMER_SIM_PATH, {true, true, kToken});
  const testing::Simulator https(TALLOWMER_SIM_PATH, {false, true, kToken});
  const testing::Simulator untrusted(TALLOWMER_SIM_PATH, {false, false, kToken});
  const std::string logFolder = env.Root() + "http-log";
  std::filesystem::create_directories(logFolder);
  const conformance::Target target{plain.BaseUrl(), ByName(https.BaseUrl()), ByName(untrusted.BaseUrl()),
                                   kToken,          RefusedPort(),           logFolder};
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
