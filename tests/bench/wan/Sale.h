#pragma once

// A whole sale in one process, as a till makes it: Enable, GetCustomerData, CreateOrder,
// CloseOrder with the receipt, and CloseOrder returning it. Either through the driver (a host
// program speaking the host program's script lines) or, for comparison, as the same requests made
// by bare curl in one process, each on a fresh connection.

#include <string>
#include <vector>

#include "tests/bench/wan/WanRelay.h"

namespace tallowmer::bench {

struct CallTiming {
  std::string name;
  // How many requests the driver makes for the call.
  int requests = 0;
  // When the call was made and when its answer came, as the benchmark saw them.
  Clock::time_point start;
  Clock::time_point end;
  // Bare curl's own measure of its requests, and of the wait before the first one's connection
  // stood; its output reaches the benchmark a little late, so its calls' bounds are not exact.
  double curlMs = 0;
  double curlPauseMs = 0;
};

struct SaleRun {
  std::string label;
  std::vector<CallTiming> calls;
  // Empty when every call succeeded; else what went wrong first.
  std::string failure;
  // Before the client started, and after it ended.
  Clock::time_point began;
  Clock::time_point ended;
  // The calls' connections are the run's in their order (bare curl), not those made within each
  // call's bounds.
  bool connectionsInOrder = false;
};

struct Service {
  // The base URL the clients call ("https://name/api/v2").
  std::string url;
  std::string token;
  // The service's certificate authority, which bare curl is told to trust.
  std::string caFile;
};

// `command` runs the host program reading script lines on its standard input without its own
// Init, Open, SetSettings and Enable (--raw); its standard error goes to `errorFile`.
SaleRun RunHostSale(const std::string& label, const std::string& command, const Service& service,
                    const std::string& errorFile);

// Bare curl with `extraArguments` (such as "--tls-max 1.2") making the driver's requests of each
// call.
SaleRun RunCurlSale(const std::string& label, const std::string& extraArguments, const Service& service,
                    const std::string& errorFile);

}  // namespace tallowmer::bench
