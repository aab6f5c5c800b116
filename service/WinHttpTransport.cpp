// The Windows HTTP client: WinHTTP with TLS 1.2 and later, the system's certificate checks, no
// redirections, no kept-alive connections. WinHTTP does not show the raw stream, so the log sees
// the request line and headers as sent, the body, the status line and headers as received and the
// body, which is what travelled on the plain side of TLS. The connection's opening and closing are
// WinHTTP's own notifications, so a connection that never opens leaves no trace in the log. The proxy
// is the system's (SystemProxyFor), decided here rather than by WinHTTP so that the log can name it.

// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Unicode.h"
#include "platform/windows/Winsock.h"
#include "service/HttpTransport.h"
#include "service/ProxyChoice.h"
#include "service/WinHttpHandle.h"

namespace tallowmer {
namespace {

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

// WinHTTP's own words for an error, with its number.
std::string ErrorText(DWORD code) {
  const std::wstring text = WinHttpErrorText(code);
  return (text.empty() ? std::string("WinHTTP") : WideToUtf8(text) + ",") + " " + std::to_string(code);
}

// The one place where a WinHTTP error becomes a kind of the transport contract. Some WinHTTPs report
// a rejected certificate only as a failed secure channel; their secure-failure notification, seen
// by the caller, tells the two apart.
TransportFailure WinHttpFailureKind(DWORD code, bool certificateRejected) {
  if (certificateRejected) return TransportFailure::CertificateRejected;
  switch (code) {
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return TransportFailure::BadUrl;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return TransportFailure::NameNotResolved;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return TransportFailure::ConnectionRefused;
    case ERROR_WINHTTP_TIMEOUT:
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
      return TransportFailure::ConnectionLost;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_HEADER_NOT_FOUND:
      return TransportFailure::ProtocolError;
    default:
      return TransportFailure::Other;
  }
}

void FreeGlobal(LPWSTR text) {
  ::GlobalFree(text);
}
// A string WinHTTP allocated for the caller.
using GlobalString = platform::windows::UniqueReleasedBy<LPWSTR, FreeGlobal>;

std::string Utf8Of(const GlobalString& text) {
  return text ? WideToUtf8(text.get()) : std::string();
}
bool IsEmpty(const GlobalString& text) {
  return !text || *text.get() == L'\0';
}

// The route WinHTTP's proxy information names for the URL: direct unless it names a proxy. The
// strings WinHTTP allocated in it for the caller are released here.
ProxyRoute RouteFromProxyInfo(const std::string& url, const WINHTTP_PROXY_INFO& info) {
  const GlobalString proxy(info.lpszProxy);
  const GlobalString bypass(info.lpszProxyBypass);
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || IsEmpty(proxy)) return {};
  return ChooseProxyFromList(url, Utf8Of(proxy), Utf8Of(bypass));
}

// What an auto-configuration script (named, or found by WPAD when `detect`) says for the URL;
// nullopt when the script cannot be had or run, which leaves the fixed settings to decide.
std::optional<ProxyRoute> ProxyFromScript(const std::string& url, const std::wstring& scriptUrl,
                                          bool detect) {
  const InternetHandle session(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::nullopt;
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (!scriptUrl.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
  }
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  if (!::WinHttpGetProxyForUrl(session.get(), Utf8ToWide(url).c_str(), &options, &info)) return std::nullopt;
  return RouteFromProxyInfo(url, info);
}

// The proxy the system names for the URL: the current user's Internet settings first (a script,
// else a fixed proxy with its bypass list), else the machine's WinHTTP setting. Reading them costs
// no request unless a script is configured.
ProxyRoute SystemProxyFor(const std::string& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (::WinHttpGetIEProxyConfigForCurrentUser(&user)) {
    const GlobalString script(user.lpszAutoConfigUrl);
    const GlobalString proxy(user.lpszProxy);
    const GlobalString bypass(user.lpszProxyBypass);
    if (user.fAutoDetect || !IsEmpty(script)) {
      if (auto route =
              ProxyFromScript(url, script ? std::wstring(script.get()) : std::wstring(), user.fAutoDetect))
        return *route;
    }
    if (!IsEmpty(proxy)) return ChooseProxyFromList(url, Utf8Of(proxy), Utf8Of(bypass));
  }
  WINHTTP_PROXY_INFO machine{};
  if (!::WinHttpGetDefaultProxyConfiguration(&machine)) return {};
  return RouteFromProxyInfo(url, machine);
}

// The proxy as WinHttpOpen takes it: "host:port", without a scheme or credentials (WinHTTP takes
// those apart, and some WinHTTPs read the first colon as the port's).
std::wstring WinHttpProxyName(const ProxyRoute& route) {
  std::string name = route.shown;
  if (const size_t scheme = name.find("://"); scheme != std::string::npos) name.erase(0, scheme + 3);
  while (!name.empty() && name.back() == '/') name.pop_back();
  return Utf8ToWide(name);
}

// The status with which the proxy ("host:port") refuses a tunnel to `target` ("host:port"), asked
// with a CONNECT of our own; nothing when it opens the tunnel or cannot be asked.
std::optional<DWORD> AskProxyForTunnel(const std::string& proxy, const std::string& target, DWORD timeoutMs) {
  const size_t colon = proxy.rfind(':');
  const platform::windows::WinsockSession winsock;
  if (colon == std::string::npos || !winsock.Ready()) return std::nullopt;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(proxy.substr(0, colon).c_str(), proxy.substr(colon + 1).c_str(), &hints, &found) != 0) {
    return std::nullopt;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const platform::windows::UniqueSocket probe(
        ::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
    if (!probe) continue;
    const auto timeout = reinterpret_cast<const char*>(&timeoutMs);
    ::setsockopt(probe.get(), SOL_SOCKET, SO_RCVTIMEO, timeout, sizeof timeoutMs);
    ::setsockopt(probe.get(), SOL_SOCKET, SO_SNDTIMEO, timeout, sizeof timeoutMs);
    if (::connect(probe.get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) continue;
    const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    if (::send(probe.get(), request.data(), static_cast<int>(request.size()), 0) !=
        static_cast<int>(request.size())) {
      return std::nullopt;
    }
    std::string head;
    char buffer[512];
    while (head.find("\r\n") == std::string::npos && head.size() < 4096) {
      const int got = ::recv(probe.get(), buffer, sizeof buffer, 0);
      if (got <= 0) break;
      head.append(buffer, static_cast<size_t>(got));
    }
    const size_t blank = head.find(' ');
    if (head.rfind("HTTP/", 0) != 0 || blank == std::string::npos) return std::nullopt;
    const DWORD status = std::strtoul(head.c_str() + blank + 1, nullptr, 10);
    if (status >= 300) return status;
    return std::nullopt;
  }
  return std::nullopt;
}

// The whole request's time-out. WinHTTP's own time-outs hold per step, so each blocking step is
// given only what is left of the whole.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds total) : end_(std::chrono::steady_clock::now() + total) {}
  // Milliseconds left; none left is a time-out now.
  int Remaining() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
      ::SetLastError(ERROR_WINHTTP_TIMEOUT);
      return 0;
    }
    return static_cast<int>(std::min<long long>(left, INT_MAX));
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

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
  return headers;
}

// The connection events of one request, from WinHTTP's status notifications on the request handle.
// Synchronous requests deliver them on the calling thread, inside the call that causes them.
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
  // Whether WinHTTP refused the server's certificate.
  bool CertificateRejected() const { return certificateRejected_; }
  // Lets the request handle go quiet before its owner closes it.
  static void Detach(HINTERNET request) { ::WinHttpSetStatusCallback(request, nullptr, kNotifications, 0); }

 private:
  void Opened() {
    if (open_) return;
    open_ = true;
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
  bool sending_ = false;
  bool certificateRejected_ = false;
};

// Why a request brought no answer, on its way out of the request to the one place that makes it an
// answer (WinHttpTransport::Execute).
struct Failure : std::exception {
  explicit Failure(DWORD error) : code(error) {}
  DWORD code;
};
// The proxy answered the tunnel's CONNECT with this status instead of opening it.
struct ProxyRefusal : std::exception {
  explicit ProxyRefusal(DWORD answered) : status(answered) {}
  DWORD status;
};
// The connection ended before the body reached its declared length.
struct CutShort : std::exception {
  CutShort(size_t got, uint64_t declared) : received(got), length(declared) {}
  std::string Words() const {
    return "transfer closed with " + std::to_string(length - received) + " bytes remaining to read";
  }
  size_t received;
  uint64_t length;
};
[[noreturn]] void Fail() {
  throw Failure(::GetLastError());
}

// One header's value, without the terminating nulls WinHTTP counts in.
std::wstring HeaderValue(HINTERNET request, DWORD level) {
  std::wstring value = QueryHeaders(request, level);
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
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

// The answer's Content-Length; nothing when it names none or not a number.
std::optional<uint64_t> DeclaredLength(HINTERNET request) {
  const std::wstring text = HeaderValue(request, WINHTTP_QUERY_CONTENT_LENGTH);
  if (text.empty() || text.size() > 19 ||
      !std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
    return std::nullopt;
  return std::stoull(text);
}

// Waiting for the answer's head and for each part of its body share what is left of the whole.
void LimitReceiving(HINTERNET request, const Deadline& deadline) {
  DWORD left = static_cast<DWORD>(deadline.Remaining());
  if (left == 0) Fail();
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof left) ||
      !::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &left, sizeof left)) {
    Fail();
  }
}

// The parts of the URL that WinHTTP takes apart.
struct Target {
  std::wstring host;
  // With the query.
  std::wstring path;
  INTERNET_PORT port = 0;
  bool secure = false;

  // "host:port", as a tunnel's CONNECT names it.
  std::string Authority() const { return WideToUtf8(host) + ":" + std::to_string(port); }
};

Target CrackUrl(const std::string& url) {
  const std::wstring wideUrl = Utf8ToWide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) Fail();
  return Target{std::wstring(parts.lpszHostName, parts.dwHostNameLength),
                std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                    std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength),
                parts.nPort, parts.nScheme == INTERNET_SCHEME_HTTPS};
}

// The route is decided already: the session goes through its proxy or none, and "<-loopback>"
// keeps newer WinHTTPs from going direct to loopback names on their own. Over HTTPS WinHTTP tunnels
// through the proxy with CONNECT.
InternetHandle OpenSession(const ProxyRoute& route) {
  const std::wstring proxyName = WinHttpProxyName(route);
  InternetHandle session(route.Direct() ? ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
                                        : ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                                        proxyName.c_str(), L"<-loopback>", 0));
  if (!session) Fail();
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  return session;
}

// One request and its answer: the session, connection and request handles, the whole request's
// deadline, and the connection watch that hears the request handle's notifications.
class Exchange {
 public:
  Exchange(const TransportOptions& options, const std::string& url, const ProxyRoute& route,
           ConnectionWatch& watch, IHttpEvents* events)
      : options_(options),
        deadline_(options.requestTimeout),
        target_(CrackUrl(url)),
        route_(route),
        watch_(watch),
        events_(events) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  // The request handle goes quiet before it closes.
  ~Exchange() {
    if (request_) ConnectionWatch::Detach(request_.get());
  }

  HttpAnswer Run(HttpVerb verb, std::string_view body) {
    OpenRequest(verb);
    SendRequest(verb, body);
    ReceiveHead();
    return ReadAnswer();
  }

 private:
  void OpenRequest(HttpVerb verb) {
    session_ = OpenSession(route_);
    connection_ = InternetHandle(::WinHttpConnect(session_.get(), target_.host.c_str(), target_.port, 0));
    if (!connection_) Fail();
    const wchar_t* acceptTypes[] = {L"*/*", nullptr};
    request_ = InternetHandle(::WinHttpOpenRequest(
        connection_.get(), verb == HttpVerb::Post ? L"POST" : L"GET", target_.path.c_str(), nullptr,
        WINHTTP_NO_REFERER, acceptTypes, target_.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) Fail();
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(request_.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    if (::WinHttpSetStatusCallback(request_.get(), &ConnectionWatch::OnStatus,
                                   ConnectionWatch::kNotifications, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      Fail();
    }
    SetTimeouts();
    // Some WinHTTPs (Wine's) read the answer's head within WinHttpSendRequest already.
    LimitReceiving(request_.get(), deadline_);
  }

  // Resolving, connecting and sending share what is left of the whole, the connection its own bound.
  void SetTimeouts() const {
    const int left = deadline_.Remaining();
    if (left == 0) Fail();
    const int connect = std::min(left, static_cast<int>(options_.connectTimeout.count()));
    if (!::WinHttpSetTimeouts(request_.get(), left, connect, left, left)) Fail();
  }

  void SendRequest(HttpVerb verb, std::string_view body) {
    const std::wstring contentType = L"Content-Type: application/json; charset=utf-8\r\n";
    const bool withBody = verb == HttpVerb::Post;
    const BOOL sent = ::WinHttpSendRequest(
        request_.get(), withBody ? contentType.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
        withBody ? static_cast<DWORD>(-1L) : 0,
        withBody ? const_cast<char*>(body.data()) : WINHTTP_NO_REQUEST_DATA,
        withBody ? static_cast<DWORD>(body.size()) : 0, withBody ? static_cast<DWORD>(body.size()) : 0,
        reinterpret_cast<DWORD_PTR>(&watch_));
    const DWORD sendError = sent ? ERROR_SUCCESS : ::GetLastError();
    // The headers as WinHTTP composed and sent them; nothing when the request never went out.
    if (events_ != nullptr && watch_.Sending()) {
      events_->OnSent(WideToUtf8(
          QueryHeaders(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS)));
      if (withBody && !body.empty()) events_->OnSent(body);
    }
    if (!sent) FailAskingTheProxy(sendError);
  }

  void ReceiveHead() {
    LimitReceiving(request_.get(), deadline_);
    if (!::WinHttpReceiveResponse(request_.get(), nullptr)) FailAskingTheProxy(::GetLastError());
    ThrowIfTheProxyAnswered();
    if (events_ != nullptr)
      events_->OnReceived(WideToUtf8(QueryHeaders(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF)));
  }

  HttpAnswer ReadAnswer() {
    const DWORD status = StatusOf(request_.get());
    if (status == 0) Fail();
    HttpAnswer answer;
    answer.contentType = WideToUtf8(HeaderValue(request_.get(), WINHTTP_QUERY_CONTENT_TYPE));
    ReadBody(answer.body);
    // Some WinHTTPs (Wine's) end the body quietly when the connection breaks; the declared length
    // tells an answer cut short from a whole one, as libcurl does.
    if (const std::optional<uint64_t> length = DeclaredLength(request_.get());
        length && answer.body.size() < *length) {
      throw CutShort(answer.body.size(), *length);
    }
    answer.status = static_cast<int32_t>(status);
    return answer;
  }

  void ReadBody(std::string& body) {
    std::vector<char> chunk(16 * 1024);
    while (true) {
      LimitReceiving(request_.get(), deadline_);
      DWORD read = 0;
      if (!::WinHttpReadData(request_.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read)) Fail();
      if (read == 0) return;
      if (events_ != nullptr) events_->OnReceived(std::string_view(chunk.data(), read));
      body.append(chunk.data(), read);
    }
  }

  // Through a proxy, an HTTPS request is answered by the service only once the tunnel stands and
  // TLS runs in it. WinHTTPs tell a refused tunnel differently: some hand the proxy's answer over as
  // the request's own, without a server certificate (ThrowIfTheProxyAnswered); others (Wine's) fail
  // the request as a failed secure channel or a broken connection, and only asking the proxy tells
  // that from a real one (FailAskingTheProxy).
  bool ThroughTunnel() const { return !route_.Direct() && target_.secure; }

  [[noreturn]] void FailAskingTheProxy(DWORD failure) const {
    ThrowIfTheProxyRefusedTunnel(failure);
    throw Failure(failure);
  }

  void ThrowIfTheProxyRefusedTunnel(DWORD failure) const {
    if (!ThroughTunnel()) return;
    if (failure != ERROR_WINHTTP_SECURE_CHANNEL_ERROR && failure != ERROR_WINHTTP_SECURE_FAILURE &&
        failure != ERROR_WINHTTP_CONNECTION_ERROR && failure != ERROR_WINHTTP_INVALID_SERVER_RESPONSE) {
      return;
    }
    const int left = deadline_.Remaining();
    if (left == 0) return;
    const std::optional<DWORD> refusal = AskProxyForTunnel(WideToUtf8(WinHttpProxyName(route_)),
                                                           target_.Authority(), static_cast<DWORD>(left));
    if (refusal) throw ProxyRefusal(*refusal);
  }

  void ThrowIfTheProxyAnswered() const {
    if (!ThroughTunnel()) return;
    const DWORD status = StatusOf(request_.get());
    if (status < 300) return;
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (::WinHttpQueryOption(request_.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
      if (certificate != nullptr) ::CertFreeCertificateContext(certificate);
      return;
    }
    throw ProxyRefusal(status);
  }

  const TransportOptions& options_;
  const Deadline deadline_;
  const Target target_;
  const ProxyRoute& route_;
  ConnectionWatch& watch_;
  IHttpEvents* events_;
  InternetHandle session_;
  InternetHandle connection_;
  InternetHandle request_;
};

class WinHttpTransport final : public IHttpTransport {
 public:
  explicit WinHttpTransport(TransportOptions options) : options_(std::move(options)) {}

  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    try {
      const ProxyRoute route = RouteFor(url);
      // Outlives the request handle, so that it hears every notification of that handle.
      ConnectionWatch watch(events, route.shown);
      try {
        return Exchange(options_, url, route, watch, events).Run(verb, body);
      } catch (const Failure& failure) {
        return HttpAnswer::Failed(WinHttpFailureKind(failure.code, watch.CertificateRejected()),
                                  ErrorText(failure.code));
      } catch (const ProxyRefusal& refusal) {
        return HttpAnswer::Failed(TransportFailure::ProxyRefused,
                                  ProxyRefusalDetail(route.shown, "HTTP " + std::to_string(refusal.status)));
      } catch (const CutShort& cut) {
        return HttpAnswer::Failed(TransportFailure::ConnectionLost, cut.Words());
      }
    } catch (const std::exception& error) {
      return HttpAnswer::Failed(TransportFailure::Other, error.what());
    }
  }

 private:
  // The decision is kept for a few minutes per service: with a script it may mean a download, or a
  // WPAD search that takes seconds where there is none, and a till should not pay that per request.
  // A changed setting reaches the requests after that.
  ProxyRoute RouteFor(const std::string& url) {
    const size_t authority = url.find("://");
    const std::string origin =
        url.substr(0, url.find('/', authority == std::string::npos ? 0 : authority + 3));
    const auto now = std::chrono::steady_clock::now();
    if (origin == routeOrigin_ && now - routeTime_ < kRouteLifetime) return route_;
    route_ = SystemProxyFor(url);
    routeOrigin_ = origin;
    routeTime_ = now;
    return route_;
  }

  static constexpr std::chrono::minutes kRouteLifetime{5};
  TransportOptions options_;
  std::string routeOrigin_;
  ProxyRoute route_;
  std::chrono::steady_clock::time_point routeTime_;
};

}  // namespace

ProxyRoute SystemProxyRoute(const std::string& url) {
  return SystemProxyFor(url);
}

std::unique_ptr<IHttpTransport> CreateDefaultTransport(const TransportOptions& options) {
  return std::make_unique<WinHttpTransport>(options);
}

}  // namespace tallowmer
