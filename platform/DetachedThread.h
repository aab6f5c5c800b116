#pragma once

// A thread that nobody joins: it ends when its work does. The work may still run after the object
// that started it is gone, so the module that holds the work's code stays loaded until the work
// has returned.

#include <functional>

namespace tallowmer::platform {

// Starts `work` on a new thread; false when no thread could be started (the work then never runs).
// An exception that leaves the work is swallowed: there is nobody to hand it to.
bool StartDetachedThread(std::function<void()> work);

}  // namespace tallowmer::platform
