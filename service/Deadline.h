#pragma once

// The end of the whole request: every wait of a request gets what is left of it, so that no server
// can hold the till past it by answering a little at a time.

#include <algorithm>
#include <chrono>

namespace tallowmer {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds total) : end_(Clock::now() + total) {}

  // What is left; zero once the end has come.
  std::chrono::milliseconds Remaining() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    return std::max(left, std::chrono::milliseconds::zero());
  }
  bool Passed() const { return Remaining() == std::chrono::milliseconds::zero(); }

 private:
  Clock::time_point end_;
};

}  // namespace tallowmer
