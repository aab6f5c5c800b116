#pragma once

// The service simulator as a child process: HTTPS on a free loopback port, customers seeded, books
// in memory, fault injection on, its certificate authority in a private folder.

#include <sys/types.h>

#include <string>

namespace tallowmer::testing {

class SimProcess {
 public:
  SimProcess(const std::string& executable, const std::string& token);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // "https://127.0.0.1:<port>/api/v2".
  const std::string& BaseUrl() const { return baseUrl_; }
  // "https://127.0.0.1:<port>".
  std::string Origin() const;
  const std::string& CaFile() const { return caFile_; }

 private:
  void Stop();

  std::string folder_;
  pid_t pid_ = -1;
  std::string baseUrl_;
  std::string caFile_;
};

}  // namespace tallowmer::testing
