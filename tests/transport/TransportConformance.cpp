#include "tests/transport/TransportConformance.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <source_location>
#include <sstream>
#include <string_view>

#include "common/uEquipmentErrors.h"
#include "service/uDevice.h"
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
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::CertificateRejected,
               Describe(answer));
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
  if (const size_t since = line.find(", since ");
      line.rfind("Stat Route: ", 0) == 0 && since != std::string::npos)
    return line.substr(0, since) + ", since [time]";
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
    for (size_t start = 0, end = 0; start < text.size(); start = end + 2) {
      end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      forms.push_back(LineForm(text.substr(start, end - start)));
    }
  }
  return forms;
}

void EmptyFolder(const std::string& folder) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
    std::filesystem::remove(entry.path(), ignored);
}

// Everything the HTTP log files in the folder hold.
std::string LogText(const std::string& folder) {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    text += content.str();
  }
  return text;
}

void HttpLogLineForms(const Context& context, Checker& check) {
  const std::string& folder = context.target.logFolder;
  EmptyFolder(folder);
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
      "Stat Route: direct, since [time]",
      "Stat Connected.",
      "Sent POST " + path + "*** HTTP/1.1 [headers]",
      "Sent {}",
      "Recv HTTP/1.1 200 OK [headers]",
      R"(Recv {"result":"ok"})",
      "Stat Disconnected.",
      "Stat Route: direct, since [time]",
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

// What a hostile scenario must come to: an answer, or a failure of one of the kinds.
struct Outcome {
  int32_t status = -1;
  std::vector<TransportFailure> kinds;
  // For an answer: text its body holds, or its exact size.
  std::string inBody;
  std::optional<size_t> bodySize;
  // A failure that comes at the whole request's limit, neither before it nor long after.
  bool timed = false;
};

Outcome Answers(int32_t status, std::string inBody) {
  return Outcome{status, {}, std::move(inBody), std::nullopt, false};
}
Outcome AnswersOfSize(int32_t status, size_t bodySize) {
  return Outcome{status, {}, "", bodySize, false};
}
Outcome Fails(std::vector<TransportFailure> kinds) {
  return Outcome{-1, std::move(kinds), "", std::nullopt, false};
}
Outcome TimesOut() {
  return Outcome{-1, {TransportFailure::TimedOut}, "", std::nullopt, true};
}
// However each transport reaches it, a body framed wrongly is the protocol's or the connection's fault.
Outcome BreaksFraming() {
  return Fails({TransportFailure::ProtocolError, TransportFailure::ConnectionLost});
}

enum class Servers { Plain, Tls, Both };

struct HostileCase {
  const char* name;
  const char* scenario;
  Servers servers;
  Outcome outcome;
};

// The whole request's limit in the timed cases; the product's is kRequestTimeout.
constexpr milliseconds kTimedLimit{1500};
// A case that is not about time must end long before the product's limit: a transport that waits
// for a body a 204 cannot have would only end there.
constexpr milliseconds kUntimedBound{10'000};
const std::string kOkBody = R"({"result":"ok"})";

const std::vector<HostileCase>& HostileCases() {
  static const std::vector<HostileCase> cases = {
      {"100 Continue is passed over to the final answer", "continue-then-ok", Servers::Both,
       Answers(200, kOkBody)},
      {"102 Processing answers are passed over", "processing-then-ok", Servers::Both, Answers(200, kOkBody)},
      {"103 Early Hints before a refusal leaves the refusal", "early-hints-then-refusal", Servers::Both,
       Answers(500, "order rejected")},
      {"a 101 nobody asked for is a protocol error", "switching-protocols", Servers::Both,
       Fails({TransportFailure::ProtocolError})},
      {"endless 102 answers end at the whole request's limit", "endless-processing", Servers::Both,
       TimesOut()},
      {"a head that drips ends at the whole request's limit", "drip-head", Servers::Both, TimesOut()},
      {"a body that drips ends at the whole request's limit", "drip-body", Servers::Both, TimesOut()},
      {"slow chunks end at the whole request's limit", "slow-chunks", Servers::Both, TimesOut()},
      {"an endless head is refused as too large", "endless-head", Servers::Both,
       Fails({TransportFailure::AnswerTooLarge})},
      {"a head over the limit is refused as too large", "big-head", Servers::Both,
       Fails({TransportFailure::AnswerTooLarge})},
      {"a declared length over the limit is refused as too large", "huge-declared-body", Servers::Both,
       Fails({TransportFailure::AnswerTooLarge})},
      {"an endless body is refused as too large", "endless-body", Servers::Both,
       Fails({TransportFailure::AnswerTooLarge})},
      {"endless chunks are refused as too large", "endless-chunks", Servers::Both,
       Fails({TransportFailure::AnswerTooLarge})},
      {"a body of exactly the limit is taken", "body-at-the-limit", Servers::Both,
       AnswersOfSize(200, kAnswerBodyLimit)},
      {"a chunk size that is no number fails", "chunk-size-zz", Servers::Both, BreaksFraming()},
      {"a chunk size that wraps at 2^64 fails", "chunk-size-wraps", Servers::Both, BreaksFraming()},
      {"chunks cut short of the last one fail", "chunks-cut", Servers::Both, BreaksFraming()},
      {"a length in hexadecimal fails", "length-in-hex", Servers::Both, BreaksFraming()},
      {"two different lengths fail", "two-lengths", Servers::Both, BreaksFraming()},
      {"a body cut short of its length fails", "length-cut", Servers::Both, BreaksFraming()},
      {"a body until a clean close is taken", "until-close", Servers::Both, Answers(200, kOkBody)},
      {"a body until a close without close_notify fails", "until-drop", Servers::Tls, BreaksFraming()},
      {"a body until the connection ends is taken, as nothing else can end it", "until-drop", Servers::Plain,
       Answers(200, "bonusBalance")},
      {"204 with a length has no body", "no-content-with-length", Servers::Both, AnswersOfSize(204, 0)},
      {"304 with a length has no body", "not-modified-with-length", Servers::Both, AnswersOfSize(304, 0)},
  };
  return cases;
}

std::string HostileUrl(const Context& context, const std::string& scenario, const std::string& token) {
  return context.baseUrl + "/" + scenario + "/ping?token=" + token;
}

void MeetsTheScenario(const Context& context, Checker& check, const HostileCase& c) {
  const Outcome& expected = c.outcome;
  EventRecorder events;
  const auto start = Clock::now();
  const HttpAnswer answer =
      context.Transport(expected.timed ? kTimedLimit : kRequestTimeout)
          ->Execute(HttpVerb::Get, HostileUrl(context, c.scenario, context.target.token), {}, &events);
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  if (expected.status >= 0) {
    check.Expect(answer.status == expected.status && answer.failure == TransportFailure::None,
                 Describe(answer));
    check.Expect(answer.body.find(expected.inBody) != std::string::npos,
                 "body " + answer.body.substr(0, 200));
    if (expected.bodySize) {
      check.Expect(answer.body.size() == *expected.bodySize,
                   "a body of " + std::to_string(answer.body.size()) + " bytes");
    }
  } else {
    const bool expectedKind =
        std::find(expected.kinds.begin(), expected.kinds.end(), answer.failure) != expected.kinds.end();
    check.Expect(answer.status == -1 && expectedKind, Describe(answer));
    check.Expect(answer.body.empty(), "a part of the body came back: " + answer.body.substr(0, 200));
    check.Expect(!answer.error.empty(), "no detail");
  }
  const std::string took = "took " + std::to_string(waited.count()) + " ms";
  if (expected.timed) {
    check.Expect(waited >= kTimedLimit - milliseconds(100) && waited < kTimedLimit + milliseconds(1500),
                 took + " for a limit of " + std::to_string(kTimedLimit.count()) + " ms");
  } else {
    check.Expect(waited < kUntimedBound, took);
  }
  const std::string kinds = events.Kinds();
  check.Expect(!kinds.empty() && kinds.front() == 'C' && kinds.back() == 'D', "events " + kinds);
}

// True when the text holds a character that could end a line or steer a terminal.
bool HoldsControls(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

// The service client's call that fails with the text of `scenario`: its code, what it says, and what
// the HTTP log shows of it.
void ServiceTextsForgeNoLine(const Context& context, Checker& check, const std::string& scenario,
                             int32_t expectedCode) {
  EmptyFolder(context.target.logFolder);
  TDevice device(context.Transport());
  device.SetHost(context.baseUrl + "/" + scenario);
  device.SetToken(context.target.token);
  device.HTTPRest().SetLogDir(context.target.logFolder);
  try {
    device.Ping();
    check.Expect(false, scenario + ": no failure");
  } catch (const EquException& error) {
    check.Expect(error.Code == expectedCode, scenario + ": code " + std::to_string(error.Code));
    check.Expect(!HoldsControls(error.Message()),
                 scenario + ": the description holds controls: " + error.Message());
    check.Expect(error.Message().find("\\r\\n") != std::string::npos,
                 scenario + ": the line break is not shown: " + error.Message());
  }
  const std::string log = LogText(context.target.logFolder);
  for (size_t start = 0, end = 0; start < log.size(); start = end + 2) {
    end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    const bool known =
        line.rfind("Stat ", 0) == 0 || line.rfind("Sent ", 0) == 0 || line.rfind("Recv ", 0) == 0;
    check.Expect(known, scenario + ": a line the HTTP log does not write: " + line.substr(0, 120));
  }
}

// Where a library takes such an answer for a whole one, the service client must still not: what it
// read is a cut piece of JSON.
void AWronglyFramedAnswerIsNoSuccessOfTheServiceClient(const Context& context, Checker& check) {
  std::vector<std::string> scenarios = {"chunk-size-zz", "chunk-size-wraps", "chunks-cut", "length-cut"};
  if (context.baseUrl == context.target.hostileTlsUrl) scenarios.push_back("until-drop");
  for (const std::string& scenario : scenarios) {
    TDevice device(context.Transport());
    device.SetHost(context.baseUrl + "/" + scenario);
    device.SetToken(context.target.token);
    device.HTTPRest().SetLogDir(context.target.logFolder);
    try {
      const std::string answer = device.Ping();
      check.Expect(false, scenario + ": taken as a success with " + answer);
    } catch (const std::exception&) {
    }
  }
}

void AnErrorTextCannotForgeALine(const Context& context, Checker& check) {
  ServiceTextsForgeNoLine(context, check, "forged-error", 400);
  ServiceTextsForgeNoLine(context, check, "forged-page", 500);
}

// The certificate names no host; its common name is made of control characters, and libcurl quotes
// it in its words about the mismatch.
void ACertificateForAnotherNameIsRejectedAndItsNameForgesNoLine(const Context& context, Checker& check) {
  std::string byAddress = context.target.hostileTlsUrl;
  byAddress.replace(byAddress.find("localhost"), 9, "127.0.0.1");
  EventRecorder events;
  const HttpAnswer answer = context.Transport()->Execute(
      HttpVerb::Get, byAddress + "/until-close/ping?token=" + context.target.token, {}, &events);
  check.Expect(answer.status == -1 && answer.failure == TransportFailure::CertificateRejected,
               Describe(answer));
  check.Expect(events.All('S').empty(), "sent to a server of another name: " + events.All('S'));
  TDevice device(context.Transport());
  device.SetHost(byAddress + "/until-close");
  device.SetToken(context.target.token);
  device.HTTPRest().SetLogDir(context.target.logFolder);
  try {
    device.Ping();
    check.Expect(false, "no failure");
  } catch (const EquException& error) {
    check.Expect(error.Code == kResultNoAnswer, "code " + std::to_string(error.Code));
    check.Expect(!HoldsControls(error.Message()), "the description holds controls: " + error.Message());
  }
}

void ALongTokenIsMaskedWhateverPiecesItTravelsIn(const Context& context, Checker& check) {
  EmptyFolder(context.target.logFolder);
  // Over 64 KB, where libcurl reports the request's head in two pieces.
  const std::string token = "long-" + std::string(70'000, 'q') + "-end";
  THTTPRest rest(true, context.Transport());
  rest.SetLogDir(context.target.logFolder);
  std::string response, description;
  int32_t code = 0;
  rest.MakeRequest(mtGet, HostileUrl(context, "until-close", token), "", response, code, description);
  check.Expect(code == 200, std::to_string(code) + " " + description);
  const std::string log = LogText(context.target.logFolder);
  check.Expect(log.find("qqqqqqqq") == std::string::npos && log.find("-end") == std::string::npos,
               "the token is in the log");
  check.Expect(log.find("token=***") != std::string::npos, "no masked token in the log");
}

void AnOversizedAnswerIsLoggedNoFurtherThanTheLimits(const Context& context, Checker& check) {
  for (const char* scenario : {"endless-body", "endless-chunks", "big-head"}) {
    EmptyFolder(context.target.logFolder);
    THTTPRest rest(true, context.Transport());
    rest.SetLogDir(context.target.logFolder);
    std::string response, description;
    int32_t code = 0;
    rest.MakeRequest(mtGet, HostileUrl(context, scenario, context.target.token), "", response, code,
                     description);
    check.Expect(code == -1, std::string(scenario) + ": " + std::to_string(code));
    check.Expect(description.rfind(DescribeTransportFailure(TransportFailure::AnswerTooLarge, ""), 0) == 0,
                 std::string(scenario) + ": " + description);
    // Each line adds its prefix and time stamp to what it shows.
    const size_t logged = LogText(context.target.logFolder).size();
    check.Expect(logged <= kAnswerHeadLimit + kAnswerBodyLimit + 16 * 1024,
                 std::string(scenario) + ": " + std::to_string(logged) + " bytes logged");
  }
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

constexpr Case kHostileEachServer[] = {
    {"an answer framed wrongly is no success of the service client",
     AWronglyFramedAnswerIsNoSuccessOfTheServiceClient},
    {"an error text from the service forges no line in the description or the logs",
     AnErrorTextCannotForgeALine},
    {"a token of any length is masked in the HTTP log", ALongTokenIsMaskedWhateverPiecesItTravelsIn},
    {"an oversized answer is logged no further than the limits",
     AnOversizedAnswerIsLoggedNoFurtherThanTheLimits},
};

constexpr Case kOnce[] = {
    {"a refused connection fails with -1 and logs no event", RefusedConnection},
    {"an untrusted certificate fails with -1 before anything is sent", UntrustedCertificate},
    {"an answer that is no HTTP fails with -1 as a protocol error", GarbageIsAProtocolError},
};

struct PlannedCase {
  std::string name;
  std::function<void(const Context&, Checker&)> run;
  // The server the case talks to: the simulator or the hostile server, plain or over TLS.
  bool https;
  bool hostile;
  // The hostile server's scenario the case is about; empty for the others.
  std::string scenario;
};

// Every case with the server it talks to, in the order they run.
const std::vector<PlannedCase>& Plan() {
  static const std::vector<PlannedCase> plan = [] {
    std::vector<PlannedCase> cases;
    for (const Case& c : kEachServer) {
      cases.push_back({std::string(c.name) + " (HTTP)", c.run, false, false, ""});
      cases.push_back({std::string(c.name) + " (HTTPS)", c.run, true, false, ""});
    }
    for (const Case& c : kOnce) cases.push_back({c.name, c.run, false, false, ""});
    // Only HTTPS goes through a proxy.
    cases.push_back({"a proxy refusing the tunnel fails with -1 and is named", RefusedTunnelNamesTheProxy,
                     true, false, ""});
    for (const HostileCase& c : HostileCases()) {
      const auto run = [&c](const Context& context, Checker& check) { MeetsTheScenario(context, check, c); };
      if (c.servers != Servers::Tls)
        cases.push_back({std::string(c.name) + " (HTTP)", run, false, true, c.scenario});
      if (c.servers != Servers::Plain)
        cases.push_back({std::string(c.name) + " (HTTPS)", run, true, true, c.scenario});
    }
    for (const Case& c : kHostileEachServer) {
      cases.push_back({std::string(c.name) + " (HTTP)", c.run, false, true, ""});
      cases.push_back({std::string(c.name) + " (HTTPS)", c.run, true, true, ""});
    }
    cases.push_back({"a certificate for another name is rejected, and its name forges no line",
                     ACertificateForAnotherNameIsRejectedAndItsNameForgesNoLine, true, true, ""});
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
  CaseResult result{planned.name, {}, {}};
  if (!planned.scenario.empty() && target.platformFault) {
    const std::string base = planned.https ? target.hostileTlsUrl : target.hostilePlainUrl;
    if (std::optional<std::string> fault = target.platformFault(
            planned.scenario, base + "/" + planned.scenario + "/ping?token=" + target.token)) {
      result.skipped = *fault;
      return result;
    }
  }
  Checker check(result.failures);
  const std::string& baseUrl = planned.hostile
                                   ? (planned.https ? target.hostileTlsUrl : target.hostilePlainUrl)
                                   : (planned.https ? target.httpsBaseUrl : target.plainBaseUrl);
  planned.run(Context{target, makeTransport, baseUrl}, check);
  return result;
}

std::vector<CaseResult> RunAll(const Target& target, const TransportFactory& makeTransport) {
  std::vector<CaseResult> results;
  for (size_t index = 0; index < Plan().size(); ++index)
    results.push_back(RunCase(index, target, makeTransport));
  return results;
}

}  // namespace tallowmer::conformance
