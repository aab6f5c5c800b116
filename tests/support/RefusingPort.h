#pragma once

// A loopback port that refuses connections: bound for the owner's lifetime and never listening, so
// that no other program can take it meanwhile, as it could a port found free and closed again.
// One source file per system.

#include <memory>

namespace tallowmer::testing {

class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  int Port() const { return port_; }

 private:
  struct Socket;
  std::unique_ptr<Socket> socket_;
  int port_ = 0;
};

}  // namespace tallowmer::testing
