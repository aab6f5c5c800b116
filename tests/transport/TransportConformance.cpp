#include "tests/transport/TransportConformance.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <source_location>
#include <sstream>
#include <string_view>

#include "service/uHTTP.h"

namespace tallowmer::conformance {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The connection's events in the order the transport reported them.
class EventRecorder final : public IHttpEvents {
 public:
  struct Event {
    char kind;  // 'C'onnected, 'S'ent, 'R'eceived, 'D'isconnected
    std::string bytes;
  };

  void OnConnected(std::string_view proxy) noexcept override { Add('C', proxy); }
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

// A failed expectation names its line: a case checks many things, several with the same words.
class Checker {
 public:
  explicit Checker(std::vector<std::string>& failures) : failures_(failures) {}
  void Expect(bool condition, const std::string& what,
              const std::source_location where = std::source_location::current()) {
    if (condition) return;
    const std::string_view file = where.file_name();
    failures_.push_back(std::string(file.substr(file.find_last_of("/\\") + 1)) + ":" +
                        std::to_string(where.line()) + ": " + what);
  }

 private:
  std::vector<std::string>& failures_;
};

std::string Origin(const std::string& baseUrl) {
  const size_t path = baseUrl.find('/', baseUrl.find("://") + 3);
  return baseUrl.substr(0, path);
}

std::string Describe(const HttpAnswer& answer) {
  return "status " + std::to_string(answer.status) + ", failure " + TransportFailureName(answer.failure) +
         " " + answer.error;
}

struct Context {
  const Target& target;
  const TransportFactory& makeTransport;
  // The server the case talks to: plain or verified HTTPS.
  std::string baseUrl;

  std::unique_ptr<IHttpTransport> Transport(milliseconds timeout = kRequestTimeout) const {
    return makeTransport(timeout);
  }
  std::string Url(const std::string& operation, const std::string& token) const {
    return baseUrl + "/" + operation + "?token=" + token;
  }
  std::string Url(const std::string& operation) const { return Url(operation, target.token); }
  // Arms one of the simulator's faults for its next answer.
  bool ArmFault(const std::string& fault) const {
    const HttpAnswer armed =
        Transport()->Execute(HttpVerb::Post, Origin(baseUrl) + "/_sim/fault", fault, nullptr);
    return armed.status == 200;
  }
};

void AnswersKeepStatusBodyAndCharset(const Context& context, Checker& check) {
  struct Expected {
    const char* name;
    HttpVerb verb;
    std::string url;
    std::string fault;
    int32_t status;
    std::string contentType;
    std::string inBody;
  };
  const std::string json = "application/json; charset=utf-8";
  const Expected cases[] = {
      {"GET answer", HttpVerb::Get, context.Url("ping"), "", 200, json, R"({"result":"ok"})"},
      {"POST answer", HttpVerb::Post, context.Url("ping"), "", 200, json, R"({"result":"ok"})"},
      {"refused token", HttpVerb::Get, context.Url("ping", "wrong-token-0001"), "", 401, json,
       R"({"error":{"message":"Invalid token"}})"},
      {"unknown customer", HttpVerb::Get, context.Url("clientInfo") + "&type=phone&id=70000000000", "", 404,
       json, "Клиент не найден"},
      {"HTML error page", HttpVerb::Get, context.Url("ping"), R"({"mode":"html500","count":1})", 500,
       "text/html; charset=utf-8", "<h1>Internal Server Error</h1>"},
  };
  for (const Expected& c : cases) {
    if (!c.fault.empty() && !context.ArmFault(c.fault)) {
      check.Expect(false, std::string(c.name) + ": the fault could not be armed");
      continue;
    }
    const HttpAnswer answer =
        context.Transport()->Execute(c.verb, c.url, c.verb == HttpVerb::Post ? "{}" : "", nullptr);
    check.Expect(answer.status == c.status, std::string(c.name) + ": " + Describe(answer));
    check.Expect(answer.failure == TransportFailure::None,
                 std::string(c.name) + ": a failure kind with an answer");
    check.Expect(answer.contentType == c.contentType,
                 std::string(c.name) + ": content type " + answer.contentType);
    check.Expect(answer.body.find(c.inBody) != std::string::npos,
                 std::string(c.name) + ": body " + answer.body);
  }
}

void RefusedConnection(const Context& context, Checker& check) {
  EventRecorder events;
  const std::string url = "http://127.0.0.1:" + std::to_string(context.target.refusedPort) + "/api/v2/ping";
  const HttpAnswer answer = context.Transport()->Execute(HttpVerb::Get, url, {}, &events);
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::ConnectionRefused,
               Describe(answer));
  check.Expect(!answer.error.empty(), "no detail from the library");
  check.Expect(events.events.empty(), "events logged for a connection never made: " + events.Kinds());
}

void UntrustedCertificate(const Context& context, Checker& check) {
  EventRecorder events;
  const HttpAnswer answer = context.Transport()->Execute(
      HttpVerb::Post, context.target.untrustedBaseUrl + "/ping?token=" + context.target.token, "{}", &events);
  // Wine's WinHTTP verifies the certificate but reports every failed handshake alike, as a failed
  // secure channel, and sends no secure-failure notification; Windows and libcurl name the cause.
  const bool rejected = answer.failure == TransportFailure::CertificateRejected ||
                        answer.failure == TransportFailure::SecureChannel;
  check.Expect(answer.status == -1 && rejected, Describe(answer));
  check.Expect(events.All('S').empty(), "sent to an untrusted server: " + events.All('S'));
  check.Expect(events.Kinds().find('R') == std::string::npos,
               "received from an untrusted server: " + events.Kinds());
}

void StalledServerTimesOutAsAWhole(const Context& context, Checker& check) {
  if (!context.ArmFault(R"({"mode":"delay","count":1,"delayMs":4000})")) {
    check.Expect(false, "the delay could not be armed");
    return;
  }
  const milliseconds total{800};
  const auto start = Clock::now();
  const HttpAnswer answer =
      context.Transport(total)->Execute(HttpVerb::Get, context.Url("ping"), {}, nullptr);
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::TimedOut, Describe(answer));
  check.Expect(waited >= total - milliseconds(100) && waited < total + milliseconds(1500),
               "waited " + std::to_string(waited.count()) + " ms for a total of 800 ms");
}

void AnswerEventsInOrder(const Context& context, Checker& check) {
  EventRecorder events;
  const HttpAnswer answer = context.Transport()->Execute(HttpVerb::Get, context.Url("ping"), {}, &events);
  check.Expect(answer.status == 200, Describe(answer));
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

// A log line as both transports must write it: the time stamp taken out, and a header block cut to
// its start line, since each library composes its own headers.
std::string LineForm(const std::string& line) {
  if (line.rfind("Sent ", 0) != 0 && line.rfind("Recv ", 0) != 0) return line;
  const size_t text = line.find(": ");
  if (text == std::string::npos) return line + " (no time stamp)";
  std::string form = line.substr(0, 5) + line.substr(text + 2);
  const size_t firstLine = form.find("<EOL>");
  const bool headerBlock = form.size() >= 10 && form.compare(form.size() - 10, 10, "<EOL><EOL>") == 0;
  if (headerBlock) form = form.substr(0, firstLine) + " [headers]";
  return form;
}

std::vector<std::string> LogForms(const std::string& folder) {
  std::vector<std::string> forms;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
      end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      forms.push_back(LineForm(text.substr(start, end - start)));
    }
  }
  return forms;
}

void HttpLogLineForms(const Context& context, Checker& check) {
  const std::string& folder = context.target.logFolder;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
    std::filesystem::remove(entry.path(), ignored);
  THTTPRest rest(true, context.Transport());
  rest.SetLogDir(folder);
  std::string response, description;
  int32_t code = 0;
  rest.MakeRequest(mtPost, context.Url("ping"), "{}", response, code, description);
  check.Expect(code == 200, "POST: " + std::to_string(code) + " " + description);
  rest.MakeRequest(mtGet, context.Url("ping", "wrong-token-0001"), "", response, code, description);
  check.Expect(code == 401, "GET: " + std::to_string(code) + " " + description);
  const std::string path = "/api/v2/ping?token=";
  const std::vector<std::string> expected = {
      "Stat Connected.",
      "Sent POST " + path + "*** HTTP/1.1 [headers]",
      "Sent {}",
      "Recv HTTP/1.1 200 OK [headers]",
      R"(Recv {"result":"ok"})",
      "Stat Disconnected.",
      "Stat Connected.",
      "Sent GET " + path + "*** HTTP/1.1 [headers]",
      "Recv HTTP/1.1 401 Unauthorized [headers]",
      R"(Recv {"error":{"message":"Invalid token"}})",
      "Stat Disconnected.",
  };
  const std::vector<std::string> forms = LogForms(folder);
  std::string shown;
  for (const std::string& form : forms) shown += "\n      " + form;
  check.Expect(forms == expected, "log lines:" + shown);
}

void GarbageIsAProtocolError(const Context& context, Checker& check) {
  const HttpAnswer answer = context.Transport()->Execute(
      HttpVerb::Get, context.target.garbageUrl + "/api/v2/ping?token=" + context.target.token, {}, nullptr);
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::ProtocolError, Describe(answer));
  check.Expect(!answer.error.empty(), "no detail from the library");
}

void RefusedTunnelNamesTheProxy(const Context& context, Checker& check) {
  context.target.useSystemProxy(context.target.refusingProxy);
  const HttpAnswer answer = context.Transport()->Execute(HttpVerb::Get, context.Url("ping"), {}, nullptr);
  context.target.useSystemProxy("");
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::ProxyRefused, Describe(answer));
  const std::string description = DescribeTransportFailure(answer.failure, answer.error);
  check.Expect(description.find(context.target.refusingProxy) != std::string::npos,
               "the proxy is not named: " + description);
  check.Expect(description.find(context.target.token) == std::string::npos,
               "the token is in the description: " + description);
}

void AnswerCutShortIsALostConnection(const Context& context, Checker& check) {
  if (!context.ArmFault(R"({"mode":"cut","count":1})")) {
    check.Expect(false, "the cut could not be armed");
    return;
  }
  const HttpAnswer answer = context.Transport()->Execute(HttpVerb::Get, context.Url("ping"), {}, nullptr);
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::ConnectionLost, Describe(answer));
  check.Expect(answer.body.empty(), "a part of the body came back: " + answer.body);
}

struct Case {
  const char* name;
  void (*run)(const Context&, Checker&);
};

constexpr Case kEachServer[] = {
    {"answers and error statuses keep their status, body and charset", AnswersKeepStatusBodyAndCharset},
    {"an answer logs connected, sent, received and disconnected in that order", AnswerEventsInOrder},
    {"a stalled server is bounded by the total time-out", StalledServerTimesOutAsAWhole},
    {"the HTTP log's lines take the same forms", HttpLogLineForms},
    {"an answer cut short of its length fails with -1 as a lost connection", AnswerCutShortIsALostConnection},
};

constexpr Case kOnce[] = {
    {"a refused connection fails with -1 and logs no event", RefusedConnection},
    {"an untrusted certificate fails with -1 before anything is sent", UntrustedCertificate},
    {"an answer that is no HTTP fails with -1 as a protocol error", GarbageIsAProtocolError},
};

struct PlannedCase {
  std::string name;
  void (*run)(const Context&, Checker&);
  bool https;
};

// Every case with the server it talks to, in the order they run.
const std::vector<PlannedCase>& Plan() {
  static const std::vector<PlannedCase> plan = [] {
    std::vector<PlannedCase> cases;
    for (const Case& c : kEachServer) {
      cases.push_back({std::string(c.name) + " (HTTP)", c.run, false});
      cases.push_back({std::string(c.name) + " (HTTPS)", c.run, true});
    }
    for (const Case& c : kOnce) cases.push_back({c.name, c.run, false});
    // Only HTTPS goes through a proxy.
    cases.push_back(
        {"a proxy refusing the tunnel fails with -1 and is named", RefusedTunnelNamesTheProxy, true});
    return cases;
  }();
  return plan;
}

}  // namespace

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const PlannedCase& planned : Plan()) names.push_back(planned.name);
  return names;
}

CaseResult RunCase(size_t index, const Target& target, const TransportFactory& makeTransport) {
  const PlannedCase& planned = Plan().at(index);
  CaseResult result{planned.name, {}};
  Checker check(result.failures);
  planned.run(Context{target, makeTransport, planned.https ? target.httpsBaseUrl : target.plainBaseUrl},
              check);
  return result;
}

std::vector<CaseResult> RunAll(const Target& target, const TransportFactory& makeTransport) {
  std::vector<CaseResult> results;
  for (size_t index = 0; index < Plan().size(); ++index)
    results.push_back(RunCase(index, target, makeTransport));
  return results;
}

}  // namespace tallowmer::conformance
