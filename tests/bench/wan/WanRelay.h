#pragma once

// A wide-area network on loopback, for the benchmark: a TCP relay in front of the service that
// holds every chunk half a round trip in each direction, and a DNS responder for the service's
// name. Both keep a journal (connections with what their TLS hellos showed, and name queries) that
// the benchmark reads between a client's calls.
//
// The relay accepts at once, so a client's connect costs it nothing; the first bytes of each
// connection are therefore held one whole round trip more, as the TCP handshake would have held
// them. What the relay cannot show is TCP's own pacing inside a connection (Nagle's algorithm
// meeting a delayed acknowledgement): the bytes a client writes reach the relay as soon as they
// are written.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/bench/wan/TlsObserver.h"

namespace tallowmer::bench {

using Clock = std::chrono::steady_clock;

struct RelayedChunk {
  Clock::time_point arrived;
  bool fromClient = false;
  size_t size = 0;
};

struct RelayedConnection {
  int id = 0;
  Clock::time_point accepted;
  // When the client closed its side, or the connection ended; the epoch while it is open.
  Clock::time_point closed;
  TlsFacts tls;
  std::vector<RelayedChunk> chunks;
};

struct NameQuery {
  Clock::time_point asked;
  std::string name;
  // "A", "AAAA" or the number of another type.
  std::string type;
};

struct Journal {
  std::vector<RelayedConnection> connections;
  std::vector<NameQuery> queries;
};

struct WanSettings {
  // Zero when a delay line below makes the round trips and the relay only counts.
  std::chrono::microseconds roundTrip{40'000};
  // Where the relay listens (port 0 for a free one) and where the service is.
  std::string listenAddress = "127.0.0.1";
  int listenPort = 0;
  std::string serviceAddress = "127.0.0.1";
  int servicePort = 0;
  // The DNS responder's port on 127.0.0.1; 0 leaves it out.
  int dnsPort = 0;
  // The one name the responder knows; it answers it with the listen address.
  std::string serviceName;
  // The service's network namespace (/proc/PID/ns/net) across a delay line: the relay listens and
  // reaches the service there, and answers names on both sides, the clients' as near as a till's
  // router; empty for the caller's own namespace.
  std::string serviceNamespace;
};

class WanRelay {
 public:
  // Binds both sockets and starts the loop; throws std::runtime_error when a socket cannot be had.
  explicit WanRelay(WanSettings settings);
  WanRelay(const WanRelay&) = delete;
  WanRelay& operator=(const WanRelay&) = delete;
  ~WanRelay();

  // The service goes up after the responder (it may need the name), so its port comes later.
  void SetServicePort(int port);
  int ListenPort() const;
  Journal Snapshot() const;

 private:
  class Loop;
  std::unique_ptr<Loop> loop_;
  std::thread thread_;
};

}  // namespace tallowmer::bench
