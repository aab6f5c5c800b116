#pragma once

// A recording HTTP proxy on a free loopback port, for tests: it accepts CONNECT to loopback
// addresses only, relays the tunnel's bytes both ways and keeps what it saw of each tunnel. A
// request of another method is refused with 405 and recorded too. Two other behaviours stand in
// for a broken network: a proxy that refuses every tunnel, and a server that answers garbage.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallowmer::testing {

class ConnectProxy {
 public:
  struct Tunnel {
    // The request's head as the proxy received it, e.g. "CONNECT 127.0.0.1:4433 HTTP/1.1\r\n...".
    std::string head;
    // The bytes relayed from the client to the target, after the head.
    std::string fromClient;
  };

  enum class Behaviour {
    Relay,
    // Every CONNECT is answered 407 Proxy Authentication Required.
    RefuseTunnels,
    // Every request is answered with bytes that are no HTTP, then the connection is closed.
    AnswerGarbage,
  };

  explicit ConnectProxy(Behaviour behaviour = Behaviour::Relay);
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;
  ~ConnectProxy();

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string Url() const;
  std::vector<Tunnel> Tunnels() const;

 private:
  void AcceptLoop();
  void Serve(int client);
  void Relay(int client, int target, size_t index);

  Behaviour behaviour_;
  int listener_ = -1;
  int port_ = 0;
  int stopPipe_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::vector<Tunnel> tunnels_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace tallowmer::testing
