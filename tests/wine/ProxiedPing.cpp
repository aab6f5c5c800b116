// Pings through the product's own client and transport, for the proxy tests under Wine: the
// transport decides the route from the system's proxy settings as on a till. Usage:
// proxied_ping BASE_URL TOKEN LOG_FOLDER [--each-line]. Without --each-line it pings once and
// exits 0 on an answer. With it, one transport pings once for every line read from standard input,
// so that a script can change the settings, or stop a proxy, between the requests of one transport;
// each ping prints one line, and the exit status is 0.

#include <cstdio>
#include <cstring>
#include <string>

#include "common/uEquipmentErrors.h"
#include "service/uDevice.h"

namespace {

// One ping, printed as one line: the answer or the failure. True on an answer.
bool PingOnce(tallowmer::TDevice& device) {
  try {
    std::printf("answer: %s\n", device.Ping().c_str());
    std::fflush(stdout);
    return true;
  } catch (const tallowmer::EquException& error) {
    std::printf("failure %d: %s\n", static_cast<int>(error.Code), error.Message().c_str());
    std::fflush(stdout);
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool eachLine = argc == 5 && std::strcmp(argv[4], "--each-line") == 0;
  if (argc != 4 && !eachLine) {
    std::fprintf(stderr, "usage: proxied_ping BASE_URL TOKEN LOG_FOLDER [--each-line]\n");
    return 100;
  }
  tallowmer::TDevice device(tallowmer::CreateDefaultTransport());
  device.SetHost(argv[1]);
  device.SetToken(argv[2]);
  device.HTTPRest().SetLogDir(argv[3]);
  if (!eachLine) return PingOnce(device) ? 0 : 1;
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) PingOnce(device);
  return 0;
}
