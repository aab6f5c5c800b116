#include "platform/DetachedThread.h"

#include <system_error>
#include <thread>

namespace tallowmer::platform {

// The module is linked into its program here or unloaded only when the program ends.
bool StartDetachedThread(std::function<void()> work) {
  try {
    std::thread([work = std::move(work)] {
      try {
        work();
      } catch (...) {
      }
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace tallowmer::platform
