// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>

#include <stdexcept>

#include "platform/windows/Winsock.h"
#include "tests/support/RefusingPort.h"

namespace tallowmer::testing {

struct RefusingPort::Socket {
  platform::windows::WinsockSession winsock;
  platform::windows::UniqueSocket socket;
};

RefusingPort::RefusingPort() : socket_(std::make_unique<Socket>()) {
  if (socket_->winsock.Ready())
    socket_->socket = platform::windows::UniqueSocket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (!socket_->socket ||
      ::bind(socket_->socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket_->socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no loopback port to refuse connections on");
  }
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() = default;

}  // namespace tallowmer::testing
