// The recording proxy as a program, for tests outside GoogleTest (Wine). Usage:
// connect_proxy RECORD_FILE [relay|refuse|garbage]. Prints "http://127.0.0.1:<port>" on its first
// line, then keeps in RECORD_FILE the request line of every tunnel asked for, one a line, until
// SIGTERM or SIGINT. "refuse" answers every tunnel 407, "garbage" every request with no HTTP.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/ConnectProxy.h"

namespace {

volatile sig_atomic_t stopping = 0;

void Stop(int) {
  stopping = 1;
}

// The record is replaced whole by a rename, so that a reader never finds it cut short or empty in
// the middle of a rewrite.
void Record(const tallowmer::testing::ConnectProxy& proxy, const std::string& file) {
  const std::string next = file + ".next";
  {
    std::ofstream out(next, std::ios::trunc);
    for (const auto& tunnel : proxy.Tunnels()) out << tunnel.head.substr(0, tunnel.head.find("\r\n")) << "\n";
  }
  std::rename(next.c_str(), file.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  using Behaviour = tallowmer::testing::ConnectProxy::Behaviour;
  const std::string mode = argc == 3 ? argv[2] : "relay";
  const Behaviour behaviour = mode == "refuse"    ? Behaviour::RefuseTunnels
                              : mode == "garbage" ? Behaviour::AnswerGarbage
                                                  : Behaviour::Relay;
  if (argc < 2 || argc > 3 || (behaviour == Behaviour::Relay && mode != "relay")) {
    std::fprintf(stderr, "usage: connect_proxy RECORD_FILE [relay|refuse|garbage]\n");
    return 2;
  }
  signal(SIGTERM, Stop);
  signal(SIGINT, Stop);
  tallowmer::testing::ConnectProxy proxy(behaviour);
  std::printf("%s\n", proxy.Url().c_str());
  std::fflush(stdout);
  while (stopping == 0) {
    Record(proxy, argv[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Record(proxy, argv[1]);
  return 0;
}
