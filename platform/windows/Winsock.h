#pragma once

// Winsock's owners: the library held for a scope, a socket closed exactly once, and the address
// list a name resolved to. The user links ws2_32.

// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/windows/WindowsHandles.h"

namespace tallowmer::platform::windows {

// Winsock started for the owner's lifetime; Ready() tells whether it could be.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    ready_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  ~WinsockSession() {
    if (ready_) ::WSACleanup();
  }
  bool Ready() const { return ready_; }

 private:
  bool ready_ = false;
};

// A socket that failed is INVALID_SOCKET, not null: traits of its own.
struct SocketTraits {
  using Type = SOCKET;
  static SOCKET Invalid() { return INVALID_SOCKET; }
  static void Close(SOCKET socket) { ::closesocket(socket); }
};

using UniqueSocket = UniqueHandle<SocketTraits>;

// The addresses getaddrinfo found, freed with them.
using UniqueAddresses = UniqueReleasedBy<addrinfo*, ::freeaddrinfo>;

}  // namespace tallowmer::platform::windows
