// The Windows HTTP client: WinHTTP with TLS 1.2 and later, the system's certificate checks, no
// redirections, no kept-alive connections. WinHTTP does not show the raw stream, so the log sees
// the request line and headers as sent, the body, the status line and headers as received and the
// body, which is what travelled on the plain side of TLS. The connection's opening and closing are
// WinHTTP's own notifications, so a connection that never opens leaves no trace in the log. The proxy
// is the system's (SystemProxyRoute), decided by the transport rather than by WinHTTP so that the log
// can name it, and kept with the WinHTTP session on it (RouteSessions) while the transport lives.
//
// Each request runs on a thread of its own while the caller waits for it until the whole request's
// deadline; then the caller closes the request handle, WinHTTP's way to end a request under way (its
// documentation says so of asynchronous requests), and reports a time-out. WinHTTP bounds each receive
// but not the whole, so a server that answers a byte at a time would otherwise hold the till as long
// as it liked. Whether or not WinHTTP ends the call at once (Wine's goes on until the server stops),
// the till no longer waits for it.
//
// The answer is held to the rules the libcurl transport keeps (HttpAnswerReader) as far as WinHTTP
// shows it: the head's fields, the head's and the body's size, a body of its length, no interim
// answer taken for the final one.

// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/DetachedThread.h"
#include "platform/windows/WindowsSystem.h"
#include "service/Deadline.h"
#include "service/HttpAnswerReader.h"
#include "service/HttpTransport.h"
#include "service/ProxyChoice.h"
#include "service/RecordedEvents.h"
#include "service/WinHttpCertificate.h"
#include "service/WinHttpHandle.h"
#include "service/WinHttpProxy.h"
#include "service/WinHttpSession.h"

namespace tallowmer {
namespace {

using platform::windows::Narrow;
using platform::windows::Widen;

#ifndef ERROR_WINHTTP_HEADER_SIZE_OVERFLOW
#define ERROR_WINHTTP_HEADER_SIZE_OVERFLOW 12183
#endif
#ifndef ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW
#define ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW 12184
#endif

constexpr size_t kReadPiece = 16 * 1024;

// WinHTTP's own words for an error, with its number.
std::string ErrorText(DWORD code) {
  const std::wstring text = WinHttpErrorText(code);
  return (text.empty() ? std::string("WinHTTP") : Narrow(text) + ",") + " " + std::to_string(code);
}

// The one place where a WinHTTP error becomes a kind of the transport contract. Some WinHTTPs report
// a rejected certificate only as a failed secure channel; their secure-failure notification, seen
// by the caller, tells the two apart. Some pass Winsock's codes on as they are.
TransportFailure WinHttpFailureKind(DWORD code, bool certificateRejected) {
  if (certificateRejected) return TransportFailure::CertificateRejected;
  switch (code) {
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return TransportFailure::BadUrl;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
      return TransportFailure::NameNotResolved;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      return TransportFailure::ConnectionRefused;
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_OPERATION_CANCELLED:
    case WSAETIMEDOUT:
      return TransportFailure::TimedOut;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return TransportFailure::CertificateRejected;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return TransportFailure::SecureChannel;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNRESET:
    case WSAECONNABORTED:
      return TransportFailure::ConnectionLost;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_HEADER_NOT_FOUND:
      return TransportFailure::ProtocolError;
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
    case ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW:
      return TransportFailure::AnswerTooLarge;
    default:
      return TransportFailure::Other;
  }
}

std::wstring QueryHeaders(HINTERNET request, DWORD level) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
  if (size == 0) return {};
  std::wstring headers(size / sizeof(wchar_t), L'\0');
  if (!::WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, headers.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  headers.resize(size / sizeof(wchar_t));
  while (!headers.empty() && headers.back() == L'\0') headers.pop_back();
  return headers;
}

// The answer's status; 0, with the error left for GetLastError, when WinHTTP has none.
DWORD StatusOf(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return status;
}

// The connection events of one request, from WinHTTP's status notifications on the request handle.
// Synchronous requests deliver them on the thread that makes the call, inside the call that causes
// them.
class ConnectionWatch {
 public:
  ConnectionWatch(IHttpEvents* events, std::string proxy) : events_(events), proxy_(std::move(proxy)) {}
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;
  // The request handle is closed by now, and its connection with it.
  ~ConnectionWatch() { Closed(); }

  static constexpr DWORD kNotifications =
      WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
      WINHTTP_CALLBACK_FLAG_CLOSE_CONNECTION | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;

  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    auto* watch = reinterpret_cast<ConnectionWatch*>(context);
    if (watch == nullptr) return;
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        watch->Opened();
        break;
      case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        watch->sending_ = true;
        break;
      case WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED:
        watch->Closed();
        break;
      case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        watch->certificateRejected_ = true;
        break;
      default:
        break;
    }
  }

  // Whether the request went out on the connection, wholly or in part.
  bool Sending() const { return sending_; }
  // Whether a connection to the server or the proxy opened at all.
  bool EverConnected() const { return everConnected_; }
  // Whether WinHTTP refused the server's certificate.
  bool CertificateRejected() const { return certificateRejected_; }
  // Lets the request handle go quiet before its owner closes it.
  static void Detach(HINTERNET request) { ::WinHttpSetStatusCallback(request, nullptr, kNotifications, 0); }

 private:
  void Opened() {
    if (open_) return;
    open_ = true;
    everConnected_ = true;
    if (events_ != nullptr) events_->OnConnected(proxy_);
  }
  void Closed() {
    if (!open_) return;
    open_ = false;
    if (events_ != nullptr) events_->OnDisconnected();
  }

  IHttpEvents* events_;
  // The proxy the connection goes through, as the log shows it; empty when direct.
  std::string proxy_;
  bool open_ = false;
  bool everConnected_ = false;
  bool sending_ = false;
  bool certificateRejected_ = false;
};

// Why a request brought no answer, named where it happened (WinHTTP's error, the proxy's refusal of
// the tunnel, an answer that breaks the rules, a caller that gave up), on its way out of the
// exchange's nested steps to the one place that makes it the answer (RequestRun::Exchanged).
struct RequestFailed : std::exception {
  explicit RequestFailed(AnswerFault answerFault) : fault(std::move(answerFault)) {}
  AnswerFault fault;
};

// WinHTTP's error as a failure; a secure channel that failed once the server's certificate was
// refused is that certificate's rejection.
[[noreturn]] void FailWith(DWORD error, bool certificateRejected = false) {
  throw RequestFailed({WinHttpFailureKind(error, certificateRejected), ErrorText(error)});
}

// "30 с", or "1500 мс" for a time that is no whole number of seconds.
std::string Duration(std::chrono::milliseconds time) {
  if (time.count() % 1000 == 0) return std::to_string(time.count() / 1000) + " с";
  return std::to_string(time.count()) + " мс";
}

// The parts of the URL that WinHTTP takes apart.
struct Target {
  std::wstring host;
  // With the query.
  std::wstring path;
  INTERNET_PORT port = 0;
  bool secure = false;

  // "host:port", as a tunnel's CONNECT names it.
  std::string Authority() const { return Narrow(host) + ":" + std::to_string(port); }
};

Target CrackUrl(const std::string& url) {
  const std::wstring wideUrl = Widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) FailWith(::GetLastError());
  return Target{std::wstring(parts.lpszHostName, parts.dwHostNameLength),
                std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                    std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength),
                parts.nPort, parts.nScheme == INTERNET_SCHEME_HTTPS};
}

// The head as WinHTTP keeps it, held to the rules; a fault is the answer's refusal.
AnswerHeadRules CheckHead(const std::string& head) {
  AnswerHeadRules rules;
  size_t start = 0;
  while (start < head.size()) {
    const size_t end = head.find("\r\n", start);
    const size_t next = end == std::string::npos ? head.size() : end + 2;
    if (!rules.Line(head.substr(start, next - start) + (end == std::string::npos ? "\r\n" : ""))) break;
    start = next;
  }
  // Some WinHTTPs keep the head without its empty last line.
  if (!rules.Fault() && !rules.FinalHeadComplete()) rules.Line("\r\n");
  if (rules.Fault()) throw RequestFailed(*rules.Fault());
  return rules;
}

// Everything one request touches on the thread that carries it, shared with the caller, which may
// leave at the deadline before the work is done.
class RequestRun {
 public:
  RequestRun(const TransportOptions& options, const Deadline& deadline, HttpVerb verb, std::string url,
             std::string body, std::shared_ptr<RouteSessions> sessions, bool recordEvents)
      : options_(options),
        deadline_(deadline),
        verb_(verb),
        url_(std::move(url)),
        body_(std::move(body)),
        sessions_(std::move(sessions)),
        recordEvents_(recordEvents) {}
  RequestRun(const RequestRun&) = delete;
  RequestRun& operator=(const RequestRun&) = delete;

  // On the request's thread.
  void Work() noexcept;

  // The caller waits for the work until the deadline; true when it is done.
  bool WaitUntilDone() {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, deadline_.Remaining(), [this] { return finished_; });
  }
  // The caller leaves: a WinHTTP call under way is ended by closing its request handle, and the
  // work stops at its next step.
  void Abandon() {
    const std::lock_guard lock(mutex_);
    abandoned_ = true;
    if (inCall_ > 0 && request_ != nullptr) {
      ::WinHttpCloseHandle(request_);
      closedByCaller_ = true;
    }
  }
  HttpAnswer TakeAnswer() { return std::move(answer_); }
  const RecordedEvents& Events() const { return events_; }

  // For the exchange: a call on the request handle that the caller may end by closing it. A run
  // the caller has left goes no further.
  template <typename Call>
  auto Guarded(Call call) {
    {
      const std::lock_guard lock(mutex_);
      if (abandoned_) throw RequestFailed({TransportFailure::TimedOut, ""});
      ++inCall_;
    }
    const auto result = call();
    const DWORD error = ::GetLastError();
    const std::lock_guard lock(mutex_);
    --inCall_;
    if (abandoned_) throw RequestFailed({TransportFailure::TimedOut, ""});
    ::SetLastError(error);
    return result;
  }
  // The request handle, for the caller to close at the deadline.
  void Hold(HINTERNET request) {
    const std::lock_guard lock(mutex_);
    request_ = request;
  }
  // Whether the caller closed the request handle: its owner must not close it again.
  bool Release() {
    const std::lock_guard lock(mutex_);
    request_ = nullptr;
    return closedByCaller_;
  }

  const TransportOptions& Options() const { return options_; }
  const Deadline& Until() const { return deadline_; }

 private:
  HttpAnswer Answer();
  HttpAnswer Exchanged(WinHttpSession& session, const Target& target, ConnectionWatch& watch,
                       IHttpEvents* events);
  void Finish(HttpAnswer answer) {
    const std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
    finished_ = true;
    done_.notify_all();
  }

  const TransportOptions options_;
  const Deadline deadline_;
  const HttpVerb verb_;
  const std::string url_;
  const std::string body_;
  const std::shared_ptr<RouteSessions> sessions_;
  const bool recordEvents_;
  RecordedEvents events_;

  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  bool abandoned_ = false;
  int inCall_ = 0;
  HINTERNET request_ = nullptr;
  bool closedByCaller_ = false;
  HttpAnswer answer_;
};

// One request and its answer: the session, connection and request handles, and the connection
// watch that hears the request handle's notifications.
class Exchange {
 public:
  Exchange(RequestRun& run, WinHttpSession& session, const Target& target, ConnectionWatch& watch,
           IHttpEvents* events)
      : run_(run),
        session_(session),
        target_(target),
        route_(session.Decision().route),
        watch_(watch),
        events_(events) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  // The request handle goes quiet before it closes, unless the caller has closed it already.
  ~Exchange() {
    if (!request_) return;
    if (run_.Release()) {
      static_cast<void>(request_.release());
    } else {
      ConnectionWatch::Detach(request_.get());
    }
  }

  HttpAnswer Run(HttpVerb verb, std::string_view body) {
    OpenRequest(verb);
    SendRequest(verb, body);
    ReceiveHead();
    return ReadAnswer();
  }

 private:
  // The request opens under the session's connection handle, on a connection of its own.
  void OpenRequest(HttpVerb verb) {
    const wchar_t* acceptTypes[] = {L"*/*", nullptr};
    request_ = InternetHandle(::WinHttpOpenRequest(
        session_.Connection(), verb == HttpVerb::Post ? L"POST" : L"GET", target_.path.c_str(), nullptr,
        WINHTTP_NO_REFERER, acceptTypes, target_.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) Fail();
    run_.Hold(request_.get());
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(request_.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    // Honoured where WinHTTP knows it (not Wine's): the head is refused while it is read.
    DWORD headLimit = kAnswerHeadLimit;
    ::WinHttpSetOption(request_.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headLimit, sizeof headLimit);
    if (::WinHttpSetStatusCallback(request_.get(), &ConnectionWatch::OnStatus,
                                   ConnectionWatch::kNotifications, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      Fail();
    }
    SetTimeouts();
    // Some WinHTTPs (Wine's) read the answer's head within WinHttpSendRequest already.
    LimitReceiving();
  }

  // WinHTTP's last error as the request's failure.
  [[noreturn]] void Fail() const { Fail(::GetLastError()); }
  [[noreturn]] void Fail(DWORD error) const { FailWith(error, watch_.CertificateRejected()); }

  // Resolving, connecting and sending share what is left of the whole, the connection its own bound.
  void SetTimeouts() const {
    const int left = static_cast<int>(run_.Until().Remaining().count());
    if (left == 0) Fail(ERROR_WINHTTP_TIMEOUT);
    const int connect = std::min(left, static_cast<int>(run_.Options().connectTimeout.count()));
    if (!::WinHttpSetTimeouts(request_.get(), left, connect, left, left)) Fail();
  }

  // Waiting for the answer's head and for each part of its body share what is left of the whole.
  void LimitReceiving() const {
    DWORD left = static_cast<DWORD>(run_.Until().Remaining().count());
    if (left == 0) Fail(ERROR_WINHTTP_TIMEOUT);
    if (!run_.Guarded([&] {
          return ::WinHttpSetOption(request_.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof left) &&
                 ::WinHttpSetOption(request_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &left,
                                    sizeof left);
        })) {
      Fail();
    }
  }

  void SendRequest(HttpVerb verb, std::string_view body) {
    const std::wstring contentType = L"Content-Type: application/json; charset=utf-8\r\n";
    const bool withBody = verb == HttpVerb::Post;
    const BOOL sent = run_.Guarded([&] {
      return ::WinHttpSendRequest(
          request_.get(), withBody ? contentType.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
          withBody ? static_cast<DWORD>(-1L) : 0,
          withBody ? const_cast<char*>(body.data()) : WINHTTP_NO_REQUEST_DATA,
          withBody ? static_cast<DWORD>(body.size()) : 0, withBody ? static_cast<DWORD>(body.size()) : 0,
          reinterpret_cast<DWORD_PTR>(&watch_));
    });
    const DWORD sendError = sent ? ERROR_SUCCESS : ::GetLastError();
    // The headers as WinHTTP composed and sent them; nothing when the request never went out.
    if (events_ != nullptr && watch_.Sending()) {
      events_->OnSent(Narrow(
          QueryHeaders(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS)));
      if (withBody && !body.empty()) events_->OnSent(body);
    }
    if (!sent) FailAskingTheProxy(sendError);
  }

  void ReceiveHead() {
    LimitReceiving();
    if (!run_.Guarded([&] { return ::WinHttpReceiveResponse(request_.get(), nullptr); }))
      FailAskingTheProxy(::GetLastError());
    ThrowIfTheProxyAnswered();
    head_ =
        Narrow(run_.Guarded([&] { return QueryHeaders(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF); }));
    if (events_ != nullptr) events_->OnReceived(head_);
  }

  HttpAnswer ReadAnswer() {
    const DWORD status = run_.Guarded([&] { return StatusOf(request_.get()); });
    if (status == 0) Fail();
    if (status == 101) {
      throw RequestFailed(
          {TransportFailure::ProtocolError, "сервер перешел на другой протокол (101), о чем его не просили"});
    }
    if (status < 200) return ReadPastInterimAnswer();
    const AnswerHeadRules rules = CheckHead(head_);
    HttpAnswer answer;
    answer.contentType = rules.ContentType();
    // A 204 or a 304 has no body, whatever length it names.
    if (rules.Framing() != BodyFraming::None) ReadBody(answer.body);
    // Some WinHTTPs (Wine's) end the body quietly when the connection breaks; the declared length
    // tells an answer cut short from a whole one, as libcurl does.
    if (rules.Framing() == BodyFraming::Length && answer.body.size() < rules.Length()) {
      throw RequestFailed({TransportFailure::ConnectionLost,
                           "transfer closed with " + std::to_string(rules.Length() - answer.body.size()) +
                               " bytes remaining to read"});
    }
    answer.status = static_cast<int32_t>(status);
    return answer;
  }

  // What WinHTTP has of the body now, at most `limit` bytes; empty at its end.
  std::string ReadPiece(size_t limit) {
    LimitReceiving();
    DWORD available = 0;
    if (!run_.Guarded([&] { return ::WinHttpQueryDataAvailable(request_.get(), &available); })) Fail();
    if (available == 0) return {};
    std::string piece(std::min<size_t>(available, limit), '\0');
    DWORD read = 0;
    if (!run_.Guarded([&] {
          return ::WinHttpReadData(request_.get(), piece.data(), static_cast<DWORD>(piece.size()), &read);
        })) {
      Fail();
    }
    piece.resize(read);
    return piece;
  }

  void ReadBody(std::string& body) {
    while (true) {
      const std::string piece = ReadPiece(kReadPiece);
      if (piece.empty()) return;
      if (events_ != nullptr) events_->OnReceived(piece);
      if (piece.size() > kAnswerBodyLimit - body.size()) {
        throw RequestFailed({TransportFailure::AnswerTooLarge,
                             "тело ответа длиннее " + std::to_string(kAnswerBodyLimit) + " байт"});
      }
      body += piece;
    }
  }

  // Wine's WinHTTP hands a 102 or a 103 over as the final answer and reads what follows as its body:
  // the final answer is in those bytes, read here by the rules.
  HttpAnswer ReadPastInterimAnswer() {
    HttpAnswerReader reader(events_);
    while (!reader.Finished()) {
      const std::string piece = ReadPiece(kReadPiece);
      if (piece.empty()) {
        reader.End(true);
      } else {
        reader.Feed(piece);
      }
    }
    return reader.Answer();
  }

  // Through a proxy, an HTTPS request is answered by the service only once the tunnel stands and
  // TLS runs in it. WinHTTPs tell a refused tunnel differently: some hand the proxy's answer over as
  // the request's own, without a server certificate (ThrowIfTheProxyAnswered); others (Wine's) fail
  // the request as a failed secure channel or a broken connection, and only asking the proxy tells
  // that from a real one (FailAskingTheProxy). Wine's also fails a rejected certificate as a failed
  // secure channel, without a notification: asking again with the checks off tells that apart.
  bool ThroughTunnel() const { return !route_.Direct() && target_.secure; }

  [[noreturn]] void FailAskingTheProxy(DWORD failure) const {
    ThrowIfTheProxyRefusedTunnel(failure);
    if (failure == ERROR_WINHTTP_SECURE_CHANNEL_ERROR && target_.secure && !watch_.CertificateRejected()) {
      if (std::optional<std::string> fault =
              CertificateFault(target_.host, target_.port, route_, run_.Until().Remaining())) {
        throw RequestFailed({TransportFailure::CertificateRejected, *fault});
      }
    }
    Fail(failure);
  }

  void ThrowIfTheProxyRefusedTunnel(DWORD failure) const {
    if (!ThroughTunnel()) return;
    if (failure != ERROR_WINHTTP_SECURE_CHANNEL_ERROR && failure != ERROR_WINHTTP_SECURE_FAILURE &&
        failure != ERROR_WINHTTP_CONNECTION_ERROR && failure != ERROR_WINHTTP_INVALID_SERVER_RESPONSE) {
      return;
    }
    const auto left = static_cast<DWORD>(run_.Until().Remaining().count());
    if (left == 0) return;
    const std::optional<DWORD> refusal =
        AskProxyForTunnel(Narrow(WinHttpProxyName(route_)), target_.Authority(), left);
    if (refusal) FailAsRefusedTunnel(*refusal);
  }

  void ThrowIfTheProxyAnswered() const {
    if (!ThroughTunnel()) return;
    const DWORD status = run_.Guarded([&] { return StatusOf(request_.get()); });
    if (status < 300) return;
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (run_.Guarded([&] {
          return ::WinHttpQueryOption(request_.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate,
                                      &size);
        })) {
      if (certificate != nullptr) ::CertFreeCertificateContext(certificate);
      return;
    }
    FailAsRefusedTunnel(status);
  }

  [[noreturn]] void FailAsRefusedTunnel(DWORD status) const {
    throw RequestFailed(
        {TransportFailure::ProxyRefused, ProxyRefusalDetail(route_.shown, "HTTP " + std::to_string(status))});
  }

  RequestRun& run_;
  WinHttpSession& session_;
  const Target& target_;
  const ProxyRoute& route_;
  ConnectionWatch& watch_;
  IHttpEvents* events_;
  InternetHandle request_;
  std::string head_;
};

void RequestRun::Work() noexcept {
  HttpAnswer answer;
  try {
    answer = Answer();
  } catch (const std::exception& error) {
    answer = HttpAnswer::Failed(TransportFailure::Other, error.what());
  }
  Finish(std::move(answer));
}

// A failure that says the route itself may be gone: no connection to the service or the proxy, or a
// proxy that would not open the tunnel. A failure after the connection opened says nothing of it.
bool CouldNotConnect(const HttpAnswer& answer, const ConnectionWatch& watch) {
  switch (answer.failure) {
    case TransportFailure::NameNotResolved:
    case TransportFailure::ConnectionRefused:
    case TransportFailure::ProxyRefused:
      return true;
    case TransportFailure::TimedOut:
      return !watch.EverConnected();
    default:
      return false;
  }
}

HttpAnswer RequestRun::Answer() {
  Target target;
  try {
    target = CrackUrl(url_);
  } catch (const RequestFailed& failed) {
    return HttpAnswer::Failed(failed.fault.kind, failed.fault.detail);
  }
  DWORD error = ERROR_SUCCESS;
  const std::shared_ptr<WinHttpSession> session = sessions_->For(url_, target.host, target.port, error);
  if (!session) return HttpAnswer::Failed(WinHttpFailureKind(error, false), ErrorText(error));
  IHttpEvents* events = recordEvents_ ? &events_ : nullptr;
  const RouteDecision& decision = session->Decision();
  if (events != nullptr) events->OnRoute(decision.route.shown, decision.since);
  // Outlives the request handle, so that it hears every notification of that handle.
  ConnectionWatch watch(events, decision.route.shown);
  HttpAnswer answer = Exchanged(*session, target, watch, events);
  if (CouldNotConnect(answer, watch)) sessions_->ConnectionFailed(session);
  return answer;
}

HttpAnswer RequestRun::Exchanged(WinHttpSession& session, const Target& target, ConnectionWatch& watch,
                                 IHttpEvents* events) {
  try {
    return Exchange(*this, session, target, watch, events).Run(verb_, body_);
  } catch (const RequestFailed& failed) {
    return HttpAnswer::Failed(failed.fault.kind, failed.fault.detail);
  }
}

class WinHttpTransport final : public IHttpTransport {
 public:
  explicit WinHttpTransport(TransportOptions options) : options_(std::move(options)) {}

  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    try {
      const Deadline deadline(options_.requestTimeout);
      const auto run = std::make_shared<RequestRun>(options_, deadline, verb, url, std::string(body),
                                                    sessions_, events != nullptr);
      if (!platform::StartDetachedThread([run] { run->Work(); })) run->Work();
      if (!run->WaitUntilDone()) {
        run->Abandon();
        if (events != nullptr) run->Events().ReplayTo(*events, true);
        return HttpAnswer::Failed(TransportFailure::TimedOut,
                                  "запрос не завершился за " + Duration(options_.requestTimeout));
      }
      if (events != nullptr) run->Events().ReplayTo(*events);
      return run->TakeAnswer();
    } catch (const std::exception& error) {
      return HttpAnswer::Failed(TransportFailure::Other, error.what());
    }
  }

 private:
  TransportOptions options_;
  // Released with the transport, or with the last request still under way.
  const std::shared_ptr<RouteSessions> sessions_ = std::make_shared<RouteSessions>();
};

}  // namespace

std::unique_ptr<IHttpTransport> CreateDefaultTransport(const TransportOptions& options) {
  return std::make_unique<WinHttpTransport>(options);
}

}  // namespace tallowmer
