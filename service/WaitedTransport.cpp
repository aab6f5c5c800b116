#include "service/WaitedTransport.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "service/RecordedEvents.h"

namespace tallowmer {
namespace {

// Everything one request touches on its own thread; shared, since the wait may end before it.
struct Request {
  std::unique_ptr<IHttpTransport> transport;
  HttpVerb verb = HttpVerb::Get;
  std::string url;
  std::string body;
  RecordedEvents events;
  HttpAnswer answer;
};

}  // namespace

WaitedTransport::WaitedTransport(IResponsiveWait& wait, TransportFactory makeTransport,
                                 TransportOptions options)
    : wait_(wait), makeTransport_(std::move(makeTransport)), options_(std::move(options)) {}

HttpAnswer WaitedTransport::Execute(HttpVerb verb, const std::string& url, std::string_view body,
                                    IHttpEvents* events) noexcept {
  try {
    auto request = std::make_shared<Request>();
    const std::chrono::milliseconds left = wait_.Remaining();
    TWaitEnd end = TWaitEnd::TimedOut;
    if (left.count() > 0) {
      TransportOptions options = options_;
      options.requestTimeout = std::min(options.requestTimeout, left);
      options.connectTimeout = std::min(options.connectTimeout, left);
      request->transport = makeTransport_(options);
      request->verb = verb;
      request->url = url;
      request->body = std::string(body);
      end = wait_.Run([request] {
        request->answer =
            request->transport->Execute(request->verb, request->url, request->body, &request->events);
        // The connection goes with the thread that used it.
        request->transport.reset();
      });
    }
    switch (end) {
      case TWaitEnd::Finished:
        if (events != nullptr) request->events.ReplayTo(*events);
        return std::move(request->answer);
      case TWaitEnd::TimedOut:
        return HttpAnswer::Failed(TransportFailure::TimedOut,
                                  "нет ответа за " + std::to_string(wait_.Limit().count() / 1000) + " с");
      case TWaitEnd::Abandoned:
        break;
    }
    return HttpAnswer::Failed(TransportFailure::Other, "ожидание прервано пользователем");
  } catch (const std::exception& error) {
    return HttpAnswer::Failed(TransportFailure::Other, error.what());
  }
}

}  // namespace tallowmer
