#include "tests/support/ConnectProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/posix/FileDescriptor.h"

namespace tallowmer::testing {
namespace {

using Socket = platform::FileDescriptor;

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

// Connects to "127.0.0.1:<port>" or "localhost:<port>"; -1 for any other target, which a test
// proxy has no business reaching.
int ConnectToLoopback(const std::string& authority) {
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return -1;
  const std::string host = authority.substr(0, colon);
  if (host != "127.0.0.1" && host != "localhost") return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  try {
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(authority.substr(colon + 1))));
  } catch (const std::exception&) {
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ConnectProxy::ConnectProxy(Behaviour behaviour) : behaviour_(behaviour) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("the test proxy cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread(&ConnectProxy::AcceptLoop, this);
}

ConnectProxy::~ConnectProxy() {
  ::close(stopPipe_[1]);
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  ::close(stopPipe_[0]);
  ::close(listener_);
}

std::string ConnectProxy::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<ConnectProxy::Tunnel> ConnectProxy::Tunnels() const {
  const std::lock_guard lock(mutex_);
  return tunnels_;
}

void ConnectProxy::AcceptLoop() {
  while (true) {
    pollfd watched[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0) continue;
    if (watched[1].revents != 0) return;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const std::lock_guard lock(mutex_);
    workers_.emplace_back(&ConnectProxy::Serve, this, client);
  }
}

void ConnectProxy::Serve(int clientFd) {
  const Socket client(clientFd);
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    pollfd watched[2] = {{client.get(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(watched, 2, 10'000) <= 0 || watched[1].revents != 0) return;
    const ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
    if (got <= 0) return;
    head.append(buffer, static_cast<size_t>(got));
  }
  const size_t headEnd = head.find("\r\n\r\n") + 4;
  const std::string early = head.substr(headEnd);
  head.resize(headEnd);
  size_t index = 0;
  {
    const std::lock_guard lock(mutex_);
    index = tunnels_.size();
    tunnels_.push_back({head, early});
  }
  if (behaviour_ == Behaviour::AnswerGarbage) {
    SendAll(client.get(), "this is no HTTP answer\r\n");
    return;
  }
  if (behaviour_ == Behaviour::RefuseTunnels && head.rfind("CONNECT ", 0) == 0) {
    SendAll(client.get(),
            "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  if (head.rfind("CONNECT ", 0) != 0) {
    SendAll(client.get(),
            "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  const size_t targetEnd = head.find(' ', 8);
  const Socket target(ConnectToLoopback(head.substr(8, targetEnd - 8)));
  if (target.get() < 0) {
    SendAll(client.get(), "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  if (!SendAll(client.get(), "HTTP/1.1 200 Connection established\r\n\r\n") ||
      !SendAll(target.get(), early)) {
    return;
  }
  Relay(client.get(), target.get(), index);
}

void ConnectProxy::Relay(int client, int target, size_t index) {
  char buffer[16 * 1024];
  while (true) {
    pollfd watched[3] = {{client, POLLIN, 0}, {target, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(watched, 3, 30'000) <= 0 || watched[2].revents != 0) return;
    for (int side = 0; side < 2; ++side) {
      if (watched[side].revents == 0) continue;
      const ssize_t got = ::recv(watched[side].fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      const std::string_view bytes(buffer, static_cast<size_t>(got));
      if (side == 0) {
        const std::lock_guard lock(mutex_);
        tunnels_[index].fromClient.append(bytes);
      }
      if (!SendAll(watched[1 - side].fd, bytes)) return;
    }
  }
}

}  // namespace tallowmer::testing
