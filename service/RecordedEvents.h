#pragma once

// A connection's events as they came, kept to be replayed later on the thread that owns the log:
// the log is written by the caller's thread alone, whichever thread carried the request. A request
// given up on is replayed as far as it came, its connection closed at the end.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/HttpTransport.h"

namespace tallowmer {

class RecordedEvents final : public IHttpEvents {
 public:
  void OnConnected(std::string_view proxy) noexcept override { Add(Kind::Connected, proxy); }
  void OnSent(std::string_view bytes) noexcept override { Add(Kind::Sent, bytes); }
  void OnReceived(std::string_view bytes) noexcept override { Add(Kind::Received, bytes); }
  void OnDisconnected() noexcept override { Add(Kind::Disconnected, {}); }

  // What was recorded until now, in order; with `closeOpenConnection`, a connection opened and not
  // yet closed is closed after it.
  void ReplayTo(IHttpEvents& events, bool closeOpenConnection = false) const;

 private:
  enum class Kind { Connected, Sent, Received, Disconnected };
  struct Event {
    Kind kind;
    std::string bytes;
  };

  void Add(Kind kind, std::string_view bytes) noexcept;

  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace tallowmer
