#pragma once

// Runs the loyalty service simulator as a separate process on a free loopback port for one test:
// its first output line is the service's base URL; over HTTPS its stderr names the CA file.

#include <string>
#include <vector>

namespace tallowmer::testing {

class Simulator {
 public:
  struct Options {
    bool plain = false;
    bool faults = false;
    std::string token = "test-token-000001";
    // How far the service's clock, as its Date header tells it, runs ahead of this machine's.
    long long clockOffsetSeconds = 0;
  };

  Simulator(const std::string& executable, const Options& options);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  ~Simulator();

  // e.g. https://127.0.0.1:43121/api/v2
  const std::string& BaseUrl() const { return baseUrl_; }
  // The scheme, host and port alone, e.g. https://127.0.0.1:43121, for the simulator's own routes.
  std::string Origin() const;
  // The PEM file of the CA that signed the simulator's certificate (HTTPS only).
  const std::string& CaFile() const { return caFile_; }
  const std::string& Token() const { return options_.token; }

 private:
  Options options_;
  std::string folder_;
  std::string baseUrl_;
  std::string caFile_;
  int pid_ = -1;
};

}  // namespace tallowmer::testing
