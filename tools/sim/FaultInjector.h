#pragma once

// Misbehaviour on demand: a test arms a fault for the next few API answers and watches how the
// client copes with a slow service, a proxy's error page, a body that is not JSON, or a connection
// that breaks in the middle of an answer.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tallowmer::sim {

enum class FaultMode {
  None,
  // Waits, then handles the request as usual.
  Delay,
  // 500 with an HTML error page; the request is not handled.
  Html500,
  // 200 with plain text; the request is not handled.
  NonJson200,
  // Handles the request, then sends the headers and only part of the promised body and hangs up.
  Cut,
};

std::optional<FaultMode> ParseFaultMode(std::string_view name);
std::string FaultModeName(FaultMode mode);

struct Fault {
  FaultMode mode = FaultMode::None;
  std::chrono::milliseconds delay{0};
};

class FaultInjector {
 public:
  // Replaces whatever was armed; FaultMode::None or a count of 0 disarms.
  void Arm(FaultMode mode, int count, std::chrono::milliseconds delay);
  // The fault for the answer about to be given, used up by asking.
  Fault Take();
  struct State {
    Fault fault;
    // How many more answers it applies to.
    int remaining = 0;
  };
  State Armed() const;
  // Sleeps for `delay`, or less once Shutdown() was called.
  void Pause(std::chrono::milliseconds delay);
  // Ends every pause, now and later, so a stopping server is not held up by delayed answers.
  void Shutdown();

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Fault armed_;
  int remaining_ = 0;
  bool shutdown_ = false;
};

}  // namespace tallowmer::sim
