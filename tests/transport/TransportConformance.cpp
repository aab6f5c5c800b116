#include "tests/transport/TransportConformance.h"

#include <algorithm>
#include <string_view>

namespace tallowmer::conformance {
namespace {

// The connection's events in the order the transport reported them.
class EventRecorder final : public IHttpEvents {
 public:
  struct Event {
    char kind;  // 'C'onnected, 'S'ent, 'R'eceived, 'D'isconnected
    std::string bytes;
  };

  void OnConnected() noexcept override { Add('C', {}); }
  void OnSent(std::string_view bytes) noexcept override { Add('S', bytes); }
  void OnReceived(std::string_view bytes) noexcept override { Add('R', bytes); }
  void OnDisconnected() noexcept override { Add('D', {}); }

  // One letter per event, e.g. "CSSRRD".
  std::string Kinds() const {
    std::string kinds;
    for (const Event& event : events) kinds += event.kind;
    return kinds;
  }
  std::string All(char kind) const {
    std::string bytes;
    for (const Event& event : events) {
      if (event.kind == kind) bytes += event.bytes;
    }
    return bytes;
  }

  std::vector<Event> events;

 private:
  void Add(char kind, std::string_view bytes) noexcept {
    try {
      events.push_back({kind, std::string(bytes)});
    } catch (...) {
    }
  }
};

class Checker {
 public:
  explicit Checker(std::vector<std::string>& failures) : failures_(failures) {}
  void Expect(bool condition, const std::string& what) {
    if (!condition) failures_.push_back(what);
  }

 private:
  std::vector<std::string>& failures_;
};

struct Context {
  const Target& target;
  const TransportFactory& makeTransport;
  std::string Url(const std::string& operation) const {
    return target.baseUrl + "/" + operation + "?token=" + target.token;
  }
};

void RefusedConnection(const Context& context, Checker& check) {
  EventRecorder events;
  const HttpAnswer answer =
      context.makeTransport()->Execute(HttpVerb::Get,
                                       "http://127.0.0.1:" + std::to_string(context.target.refusedPort) +
                                           "/api/v2/ping?token=" + context.target.token,
                                       {}, &events);
  check.Expect(answer.status == -1, "status " + std::to_string(answer.status) + ", expected -1");
  check.Expect(answer.failure == TransportFailure::ConnectionRefused,
               "failure " + std::to_string(static_cast<int>(answer.failure)) +
                   ", expected connection refused: " + answer.error);
  check.Expect(!answer.error.empty(), "no detail from the library");
  check.Expect(events.events.empty(), "events logged for a connection never made: " + events.Kinds());
}

void AnswerEventsInOrder(const Context& context, Checker& check) {
  EventRecorder events;
  const HttpAnswer answer = context.makeTransport()->Execute(HttpVerb::Get, context.Url("ping"), {}, &events);
  check.Expect(answer.status == 200, "status " + std::to_string(answer.status) + " " + answer.error);
  const std::string kinds = events.Kinds();
  // Connected once and first, disconnected once and last, everything sent before anything received.
  const bool ordered = kinds.size() >= 4 && kinds.front() == 'C' && kinds.back() == 'D' &&
                       std::count(kinds.begin(), kinds.end(), 'C') == 1 &&
                       std::count(kinds.begin(), kinds.end(), 'D') == 1 &&
                       kinds.find('S') != std::string::npos && kinds.find('R') != std::string::npos &&
                       kinds.rfind('S') < kinds.find('R');
  check.Expect(ordered, "events out of order: " + kinds);
  check.Expect(events.All('S').rfind("GET /api/v2/ping?token=", 0) == 0,
               "the request line is not sent first: " + events.All('S').substr(0, 40));
  check.Expect(events.All('R').find(R"({"result":"ok"})") != std::string::npos,
               "the body was not logged as received");
}

struct Case {
  const char* name;
  void (*run)(const Context&, Checker&);
};

constexpr Case kCases[] = {
    {"a refused connection fails with -1 and logs no event", RefusedConnection},
    {"an answer logs connected, sent, received and disconnected in that order", AnswerEventsInOrder},
};

}  // namespace

std::vector<CaseResult> RunAll(const Target& target, const TransportFactory& makeTransport) {
  const Context context{target, makeTransport};
  std::vector<CaseResult> results;
  for (const Case& c : kCases) {
    CaseResult result{c.name, {}};
    Checker check(result.failures);
    c.run(context, check);
    results.push_back(std::move(result));
  }
  return results;
}

}  // namespace tallowmer::conformance
