#pragma once

// The service's HTTP face: the /api/v2 operations over the Store, the merchant token check, error
// objects, and with fault injection enabled the /_sim control endpoints.

#include <functional>
#include <memory>
#include <string>

#include "tools/sim/Options.h"

namespace tallowmer::sim {

class Store;
struct TlsIdentity;

struct ServerSettings {
  std::string host = "127.0.0.1";
  // 0 picks a free port.
  int port = 0;
  std::string token = kDefaultToken;
  bool faults = false;
  // Added to the time in the Date header of every answer.
  long long clockOffsetSeconds = 0;
  // One line per answered request; none when empty.
  std::function<void(const std::string&)> log;
};

class SimServer {
 public:
  // Plain HTTP when `tls` is null. Both `store` and `tls` must outlive the server.
  SimServer(Store& store, ServerSettings settings, const TlsIdentity* tls);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds and answers on background threads until Stop(); throws when it cannot listen.
  void Start();
  // Finishes the answers under way, cutting short delays injected as faults.
  void Stop();

  int Port() const;
  // "https://127.0.0.1:PORT/api/v2", or http:// without TLS.
  std::string BaseUrl() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tallowmer::sim
