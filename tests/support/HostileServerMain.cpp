// The hostile server as a program, for tests outside GoogleTest (Wine). Prints its plain URL, its TLS
// URL and "CA: <file>" with the authority a client must trust, one a line, then serves until SIGTERM
// or SIGINT.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/HostileServer.h"

namespace {

volatile sig_atomic_t stopping = 0;

void Stop(int) {
  stopping = 1;
}

}  // namespace

int main() {
  signal(SIGTERM, Stop);
  signal(SIGINT, Stop);
  const tallowmer::testing::HostileServer server;
  std::printf("%s\n%s\nCA: %s\n", server.PlainUrl().c_str(), server.TlsUrl().c_str(),
              server.CaFile().c_str());
  std::fflush(stdout);
  while (stopping == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}
