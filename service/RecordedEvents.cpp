#include "service/RecordedEvents.h"

#include <exception>

namespace tallowmer {

void RecordedEvents::Add(Kind kind, std::string_view bytes) noexcept {
  try {
    const std::lock_guard lock(mutex_);
    events_.push_back({kind, std::string(bytes)});
  } catch (const std::exception&) {
    // Out of memory: the log misses a line, the request goes on.
  }
}

void RecordedEvents::ReplayTo(IHttpEvents& events, bool closeOpenConnection) const {
  std::vector<Event> recorded;
  {
    const std::lock_guard lock(mutex_);
    recorded = events_;
  }
  bool open = false;
  for (const Event& event : recorded) {
    switch (event.kind) {
      case Kind::Connected:
        open = true;
        events.OnConnected(event.bytes);
        break;
      case Kind::Sent:
        events.OnSent(event.bytes);
        break;
      case Kind::Received:
        events.OnReceived(event.bytes);
        break;
      case Kind::Disconnected:
        open = false;
        events.OnDisconnected();
        break;
    }
  }
  if (closeOpenConnection && open) events.OnDisconnected();
}

}  // namespace tallowmer
