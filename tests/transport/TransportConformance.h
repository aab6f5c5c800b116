#pragma once

// One set of cases that every HTTP transport must pass alike: libcurl natively, the Windows transport
// under Wine. The cases talk to the service simulator (started with fault injection) over plain HTTP
// and over verified HTTPS, and to a hostile server that answers with exactly the bytes of a scenario;
// each reports what it found wrong, nothing when it passed.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/HttpTransport.h"

namespace tallowmer::conformance {

struct Target {
  // Base URLs with the API path of one simulator each: plain HTTP, and HTTPS named "localhost"
  // whose authority the transport trusts; e.g. https://localhost:41234/api/v2.
  std::string plainBaseUrl;
  std::string httpsBaseUrl;
  // An HTTPS simulator whose authority the transport does not trust.
  std::string untrustedBaseUrl;
  std::string token;
  // A loopback port on which nothing listens.
  int refusedPort = 0;
  // An empty folder for the HTTP log of the cases that read it.
  std::string logFolder;
  // A plain HTTP server that answers every request with bytes that are no HTTP, e.g.
  // http://127.0.0.1:41236.
  std::string garbageUrl;
  // A proxy that answers every CONNECT 407, as "host:port".
  std::string refusingProxy;
  // Makes the system name this proxy ("host:port") for the requests of transports made after it;
  // an empty one restores the direct route.
  std::function<void(const std::string& proxy)> useSystemProxy;
  // The hostile server (tests/support/HostileServer.h) over plain HTTP, e.g. http://127.0.0.1:41240,
  // and over HTTPS named "localhost", whose authority the transport trusts.
  std::string hostilePlainUrl;
  std::string hostileTlsUrl;
  // For a scenario of the hostile server at the URL: why the platform's HTTP library (not the
  // transport) cannot meet its case, as the library itself shows when asked alone; nothing when it
  // can. Such a case is skipped with that reason. Unset: every case runs.
  std::function<std::optional<std::string>(const std::string& scenario, const std::string& url)>
      platformFault;
};

struct CaseResult {
  std::string name;
  std::vector<std::string> failures;
  // Why the case did not run; empty when it ran.
  std::string skipped;
};

// Makes the transport under test with the given total time-out for one request.
using TransportFactory =
    std::function<std::unique_ptr<IHttpTransport>(std::chrono::milliseconds requestTimeout)>;

// Each case's name, in the order RunAll runs them; RunCase takes its index in this list.
std::vector<std::string> CaseNames();
CaseResult RunCase(size_t index, const Target& target, const TransportFactory& makeTransport);
std::vector<CaseResult> RunAll(const Target& target, const TransportFactory& makeTransport);

}  // namespace tallowmer::conformance
