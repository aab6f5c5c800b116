// The transport cases as a Windows program, run under Wine where GoogleTest is not at hand.
// Usage: transport_conformance PLAIN_URL HTTPS_URL UNTRUSTED_URL TOKEN LOG_FOLDER. The transport is
// the product's own with its default options, so it trusts what the system trusts. Prints one line
// per case and exits with the number of failed cases.

#include <winsock2.h>

#include <cstdio>

#include "tests/transport/TransportConformance.h"

namespace {

// A loopback port that was free a moment ago and on which nothing listens now.
int RefusedPort() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::closesocket(probe);
  ::WSACleanup();
  return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: transport_conformance PLAIN_URL HTTPS_URL UNTRUSTED_URL TOKEN LOG_FOLDER\n");
    return 100;
  }
  const tallowmer::conformance::Target target{argv[1], argv[2], argv[3], argv[4], RefusedPort(), argv[5]};
  const auto makeTransport = [](std::chrono::milliseconds requestTimeout) {
    tallowmer::TransportOptions options = tallowmer::DefaultTransportOptions();
    options.requestTimeout = requestTimeout;
    return tallowmer::CreateDefaultTransport(options);
  };
  int passed = 0;
  int failed = 0;
  for (const auto& result : tallowmer::conformance::RunAll(target, makeTransport)) {
    std::printf("%s - %s\n", result.failures.empty() ? "ok" : "FAILED", result.name.c_str());
    for (const std::string& failure : result.failures) std::printf("    %s\n", failure.c_str());
    ++(result.failures.empty() ? passed : failed);
  }
  // The closing line tells a run that ended from one that died: a process torn down on the way can
  // still leave the status 0.
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
