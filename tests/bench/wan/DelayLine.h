#pragma once

// A packet-level delay line between two network namespaces: a point-to-point link of two TUN
// devices whose IP packets are held half the round trip in each direction. Where the relay holds
// whole chunks of a connection's bytes, this holds TCP's own segments and acknowledgements, so a
// client's TCP meets the network as it would: a handshake of one round trip, Nagle's algorithm
// waiting for an acknowledgement, a server's delayed acknowledgement. Needs root and
// /dev/net/tun.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace tallowmer::bench {

// The line's two ends: the clients' namespace has kClientAddress, the service's kServiceAddress.
inline constexpr const char* kClientAddress = "10.90.0.1";
inline constexpr const char* kServiceAddress = "10.90.0.2";

// Enters another network namespace for the calling thread and returns to the one it left when it
// goes; threads and processes started meanwhile stay in the other.
class NamespaceVisit {
 public:
  // `path` names the namespace, e.g. /proc/PID/ns/net; throws std::runtime_error when it cannot be
  // entered.
  explicit NamespaceVisit(const std::string& path);
  NamespaceVisit(const NamespaceVisit&) = delete;
  NamespaceVisit& operator=(const NamespaceVisit&) = delete;
  ~NamespaceVisit();

 private:
  int home_ = -1;
};

class DelayLine {
 public:
  // Makes the link between the calling thread's namespace (the clients') and `serviceNamespace`,
  // addresses and routes included; throws std::runtime_error when a device cannot be had.
  DelayLine(std::chrono::microseconds roundTrip, const std::string& serviceNamespace);
  DelayLine(const DelayLine&) = delete;
  DelayLine& operator=(const DelayLine&) = delete;
  ~DelayLine();

 private:
  class Pump;
  std::unique_ptr<Pump> pump_;
  std::thread thread_;
};

}  // namespace tallowmer::bench
