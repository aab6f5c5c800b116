#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/Simulator.h"
#include "tests/transport/TransportConformance.h"

namespace tallowmer {
namespace {

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

TEST(TransportConformanceTest, CurlPassesEveryCaseOverPlainHttp) {
  testing::Simulator sim(TALLOWMER_SIM_PATH, {true, false, "conformance-token-1"});
  const conformance::Target target{sim.BaseUrl(), sim.Token(), RefusedPort()};
  for (const conformance::CaseResult& result :
       conformance::RunAll(target, [] { return CreateDefaultTransport(); })) {
    SCOPED_TRACE(result.name);
    for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  }
}

}  // namespace
}  // namespace tallowmer
