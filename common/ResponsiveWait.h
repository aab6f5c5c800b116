#pragma once

// Blocking work that must not freeze a window of the driver: the work runs on a thread of its own
// while the caller's thread keeps its window painting and answering, and the person at the machine
// may give up waiting. The work may outlive the wait, so it must own everything it touches and
// call nothing of the host.

#include <chrono>
#include <cstdint>
#include <functional>

namespace tallowmer {

enum class TWaitEnd : uint8_t {
  Finished,
  // The time given to the whole wait has run out.
  TimedOut,
  // The user gave up (Escape or "Отмена").
  Abandoned,
};

class IResponsiveWait {
 public:
  virtual ~IResponsiveWait() = default;
  // The time given to the whole wait.
  virtual std::chrono::milliseconds Limit() const = 0;
  // The time left before the wait ends by itself; work started now should not be allowed more.
  virtual std::chrono::milliseconds Remaining() const = 0;
  // Runs `work` on another thread and waits for it. Once a wait has ended early, every later call
  // answers the same at once, without running its work.
  virtual TWaitEnd Run(std::function<void()> work) = 0;
};

}  // namespace tallowmer
