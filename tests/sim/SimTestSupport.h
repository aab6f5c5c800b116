#pragma once

// Shared pieces of the simulator's tests: private folders, a simulator running in-process on a free
// loopback port, and clients that verify its certificate.

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tools/sim/Certificates.h"
#include "tools/sim/Server.h"
#include "tools/sim/Store.h"

namespace tallowmer::sim::testing {

// A fresh folder under the temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

enum class Transport { Https, Plain };
std::string TransportName(const ::testing::TestParamInfo<Transport>& info);
void PrintTo(Transport transport, std::ostream* out);

struct SimConfig {
  Transport transport = Transport::Https;
  bool faults = false;
  bool seed = true;
};

// Percent-encodes every byte outside the unreserved set, as a careful client would.
std::string Encode(const std::string& value);

// An API path with the right token: Api("clientInfo", "type=phone&id=1").
std::string Api(const std::string& operation, const std::string& query = "");

// Books in memory, a certificate in a private folder when HTTPS, and the server answering.
class RunningSim {
 public:
  explicit RunningSim(SimConfig config = {});
  ~RunningSim();

  // A client for this server that verifies its certificate against the simulator's CA.
  httplib::Client Client(const std::string& host = "127.0.0.1") const;
  // "https://127.0.0.1:PORT" (or http), without the API path.
  std::string Origin(const std::string& host = "127.0.0.1") const;
  Store& store() { return store_; }
  SimServer& server() { return server_; }
  const std::filesystem::path& CaFile() const { return tls_->caFile; }
  int Port() const { return server_.Port(); }

 private:
  SimConfig config_;
  TempDir dir_;
  Store store_;
  std::optional<TlsIdentity> tls_;
  SimServer server_;
};

// The answer's body as JSON; a test failure (and null) when it is not JSON.
nlohmann::json BodyJson(const httplib::Result& result);

// The balance clientInfo reports for `cardNumber`, as the JSON number's text.
std::string BalanceText(const RunningSim& sim, const std::string& cardNumber);

}  // namespace tallowmer::sim::testing
