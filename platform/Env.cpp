#include "platform/Env.h"

#include <atomic>

namespace tallowmer::platform {

namespace {
// Read by every thread that uses the environment, while a test may be setting it on another.
std::atomic<Env*> testEnv{nullptr};
}  // namespace

Env& Env::Current() {
  Env* const env = testEnv.load(std::memory_order_acquire);
  return env != nullptr ? *env : DefaultEnv();
}

void Env::SetForTesting(Env* env) {
  testEnv.store(env, std::memory_order_release);
}

}  // namespace tallowmer::platform
