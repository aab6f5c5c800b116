#pragma once

// What the connection check asks of the platform: name resolution, a TCP connection and a look at
// the service's TLS certificate. Each platform supplies one implementation; the check's steps and
// texts stay the same everywhere.

#include <chrono>
#include <string>
#include <vector>

#include "service/ProxyChoice.h"

namespace tallowmer::host {

struct Resolved {
  std::vector<std::string> addresses;
  // Empty when the name resolved.
  std::string error;
};

struct Connected {
  // The address that accepted, "127.0.0.1:4433"; empty after a failure.
  std::string address;
  std::string error;
};

// What the TLS handshake showed. Empty texts stand for what this platform cannot tell.
struct TlsFacts {
  // Set when no handshake came about; nothing else is then known.
  std::string error;
  std::string protocol;
  std::string subject;
  std::string issuer;
  std::string notAfter;  // "2027-01-31 10:20:30 UTC"
  bool expired = false;
  // Trust: against the system's store, and against it with SSL/ca-bundle.pem added.
  bool trustedBySystem = false;
  bool trustedWithBundle = false;
  // Why the system's store (and with the bundle) refuses; empty when trusted.
  std::string systemVerdict;
  std::string bundleVerdict;
  bool nameMatches = false;
  // What this platform could not look at, in the check's words; empty when it saw everything.
  std::string notShown;
};

Resolved ResolveName(const std::string& host);
Connected ConnectTcp(const std::vector<std::string>& addresses, int port, std::chrono::milliseconds timeout);
// The handshake with `host:port`, directly or (when `route` names one) through the proxy's tunnel.
// `extraFiles` are the PEM files the transport trusts besides the system store (SSL/ca-bundle.pem
// beside the module, LS_TALLOWMER_CA_FILE); they may not exist.
TlsFacts InspectTls(const std::string& host, int port, const ProxyRoute& route,
                    const std::vector<std::string>& extraFiles, std::chrono::milliseconds timeout);

}  // namespace tallowmer::host
