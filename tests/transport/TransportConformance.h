#pragma once

// One set of cases that every HTTP transport must pass alike: libcurl natively, WinHTTP under Wine.
// The cases talk to the service simulator; each reports what it found wrong, nothing when it passed.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/HttpTransport.h"

namespace tallowmer::conformance {

struct Target {
  // The simulator's base URL with the API path, e.g. http://127.0.0.1:41234/api/v2.
  std::string baseUrl;
  std::string token;
  // A loopback port on which nothing listens.
  int refusedPort = 0;
};

struct CaseResult {
  std::string name;
  std::vector<std::string> failures;
};

using TransportFactory = std::function<std::unique_ptr<IHttpTransport>()>;

std::vector<CaseResult> RunAll(const Target& target, const TransportFactory& makeTransport);

}  // namespace tallowmer::conformance
