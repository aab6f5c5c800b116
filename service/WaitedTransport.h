#pragma once

// A transport for requests that a window waits for: each request runs on a thread of its own,
// through a transport made for it alone, while the calling thread waits through an
// `IResponsiveWait`. The calling thread's objects (the log above all) never see the other thread:
// the connection's events are recorded there and replayed to the caller once the answer is in.
// A request the wait gave up on finishes unseen on its own thread, within the time it was given.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/ResponsiveWait.h"
#include "service/HttpTransport.h"

namespace tallowmer {

// Makes a transport with the given bounds.
using TransportFactory = std::function<std::unique_ptr<IHttpTransport>(const TransportOptions&)>;

class WaitedTransport final : public IHttpTransport {
 public:
  // `options` are those of every request's transport, their time-outs cut to what is left of the
  // wait when the request starts.
  WaitedTransport(IResponsiveWait& wait, TransportFactory makeTransport, TransportOptions options);

  // A request the wait gave up on answers as a time-out, or, when the user gave up, as a failure
  // saying so.
  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override;

 private:
  IResponsiveWait& wait_;
  TransportFactory makeTransport_;
  TransportOptions options_;
};

}  // namespace tallowmer
