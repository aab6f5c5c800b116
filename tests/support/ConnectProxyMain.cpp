// The recording proxy as a program, for tests outside GoogleTest (Wine). Usage:
// connect_proxy RECORD_FILE. Prints "http://127.0.0.1:<port>" on its first line, then keeps in
// RECORD_FILE the request line of every tunnel asked for, one a line, until SIGTERM or SIGINT.

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
  if (argc != 2) {
    std::fprintf(stderr, "usage: connect_proxy RECORD_FILE\n");
    return 2;
  }
  signal(SIGTERM, Stop);
  signal(SIGINT, Stop);
  tallowmer::testing::ConnectProxy proxy;
  std::printf("%s\n", proxy.Url().c_str());
  std::fflush(stdout);
  while (stopping == 0) {
    Record(proxy, argv[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Record(proxy, argv[1]);
  return 0;
}
