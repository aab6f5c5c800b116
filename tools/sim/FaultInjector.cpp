#include "tools/sim/FaultInjector.h"

namespace tallowmer::sim {

std::optional<FaultMode> ParseFaultMode(std::string_view name) {
  if (name == "none") return FaultMode::None;
  if (name == "delay") return FaultMode::Delay;
  if (name == "html500") return FaultMode::Html500;
  if (name == "nonjson200") return FaultMode::NonJson200;
  if (name == "cut") return FaultMode::Cut;
  return std::nullopt;
}

std::string FaultModeName(FaultMode mode) {
  switch (mode) {
    case FaultMode::Delay:
      return "delay";
    case FaultMode::Html500:
      return "html500";
    case FaultMode::NonJson200:
      return "nonjson200";
    case FaultMode::Cut:
      return "cut";
    case FaultMode::None:
      break;
  }
  return "none";
}

void FaultInjector::Arm(FaultMode mode, int count, std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  if (mode == FaultMode::None || count <= 0) {
    armed_ = Fault();
    remaining_ = 0;
    return;
  }
  armed_ = Fault{mode, delay};
  remaining_ = count;
}

Fault FaultInjector::Take() {
  std::lock_guard lock(mutex_);
  if (remaining_ == 0) return Fault();
  const Fault fault = armed_;
  if (--remaining_ == 0) armed_ = Fault();
  return fault;
}

FaultInjector::State FaultInjector::Armed() const {
  std::lock_guard lock(mutex_);
  return {armed_, remaining_};
}

void FaultInjector::Pause(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, delay, [this] { return shutdown_; });
}

void FaultInjector::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
  }
  wake_.notify_all();
}

}  // namespace tallowmer::sim
