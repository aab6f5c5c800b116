#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

#include "platform/posix/FileDescriptor.h"
#include "tests/support/RefusingPort.h"

namespace tallowmer::testing {

struct RefusingPort::Socket {
  platform::FileDescriptor fd;
};

RefusingPort::RefusingPort() : socket_(std::make_unique<Socket>()) {
  socket_->fd = platform::FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (socket_->fd.get() < 0 ||
      ::bind(socket_->fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket_->fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no loopback port to refuse connections on");
  }
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() = default;

}  // namespace tallowmer::testing
