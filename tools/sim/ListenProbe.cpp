#include "tools/sim/ListenProbe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/posix/FileDescriptor.h"

namespace tallowmer::sim {
namespace {

struct AddressListDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

using Socket = platform::FileDescriptor;

}  // namespace

std::string ListenFailureReason(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) return std::string("the address does not resolve: ") + gai_strerror(resolved);
  const std::unique_ptr<addrinfo, AddressListDeleter> addresses(found);
  int error = 0;
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
    const Socket probe(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
    if (probe.get() < 0) {
      error = errno;
      continue;
    }
    // As the HTTP library does, so that only a real listener stands in the way.
    const int reuse = 1;
    setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (bind(probe.get(), address->ai_addr, address->ai_addrlen) == 0 && listen(probe.get(), 1) == 0) {
      return "reason unknown";
    }
    error = errno;
  }
  return error != 0 ? std::strerror(error) : "reason unknown";
}

}  // namespace tallowmer::sim
