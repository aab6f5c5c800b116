// One ping through the product's own client and transport, for the proxy tests under Wine: the
// transport decides the route from the system's proxy settings as on a till. Usage:
// proxied_ping BASE_URL TOKEN LOG_FOLDER. Prints the answer or the failure; exits 0 on an answer.

#include <cstdio>

#include "common/uEquipmentErrors.h"
#include "service/uDevice.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: proxied_ping BASE_URL TOKEN LOG_FOLDER\n");
    return 100;
  }
  tallowmer::TDevice device(tallowmer::CreateDefaultTransport());
  device.SetHost(argv[1]);
  device.SetToken(argv[2]);
  device.HTTPRest().SetLogDir(argv[3]);
  try {
    std::printf("answer: %s\n", device.Ping().c_str());
    return 0;
  } catch (const tallowmer::EquException& error) {
    std::printf("failure %d: %s\n", static_cast<int>(error.Code), error.Message().c_str());
    return 1;
  }
}
