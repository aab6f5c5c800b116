#include "platform/Env.h"

namespace tallowmer::platform {

namespace {
Env* testEnv = nullptr;
}

Env& Env::Current() {
  return testEnv != nullptr ? *testEnv : DefaultEnv();
}

void Env::SetForTesting(Env* env) {
  testEnv = env;
}

}  // namespace tallowmer::platform
