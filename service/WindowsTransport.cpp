// The Windows HTTP client: a connection of Winsock and SChannel per request (WindowsConnection), the
// request written as the libcurl transport writes it, and the answer read by the rules both
// transports keep (HttpAnswerReader). WinHTTP, which carried the requests before, hands interim
// answers over as final ones, reads lengths and chunk sizes leniently, bounds each receive but not
// the whole request and keeps whatever size of answer comes, Wine's above all; here each of those is
// the transport's own decision. The log sees the bytes as they travelled on the plain side of TLS.
// The proxy is the system's (SystemProxyRoute); a proxy only ever carries HTTPS, through a tunnel.

#include <windows.h>

#include <winhttp.h>

#include <chrono>
#include <string>
#include <utility>

#include "common/Unicode.h"
#include "service/HttpAnswerReader.h"
#include "service/HttpTransport.h"
#include "service/ProxyChoice.h"
#include "service/WindowsConnection.h"

namespace tallowmer {
namespace {

// The parts of the URL a request needs.
struct Target {
  // As the connection resolves it: without the brackets of an IPv6 address.
  std::string host;
  uint16_t port = 0;
  bool secure = false;
  // With the query; "/" at least.
  std::string pathAndQuery;

  // "host" or "host:port" as the Host field and a tunnel's CONNECT name the server.
  std::string Authority(bool withPort) const {
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return withPort ? name + ":" + std::to_string(port) : name;
  }
  bool DefaultPort() const { return port == (secure ? 443 : 80); }
};

Target ParseUrl(const std::string& url) {
  const std::wstring wideUrl = Utf8ToWide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    throw ConnectionFault(TransportFailure::BadUrl, "адрес не разобран");
  }
  Target target;
  target.host = WideToUtf8(std::wstring(parts.lpszHostName, parts.dwHostNameLength));
  if (target.host.size() > 2 && target.host.front() == '[' && target.host.back() == ']')
    target.host = target.host.substr(1, target.host.size() - 2);
  target.port = parts.nPort;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.pathAndQuery = WideToUtf8(std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                                   std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength));
  if (target.pathAndQuery.empty() || target.pathAndQuery.front() != '/') target.pathAndQuery.insert(0, "/");
  return target;
}

// The proxy's host and port from the route as logs show it ("http://host:port" or "host:port").
std::pair<std::string, uint16_t> ProxyAddress(const ProxyRoute& route) {
  std::string name = route.shown;
  if (const size_t scheme = name.find("://"); scheme != std::string::npos) name.erase(0, scheme + 3);
  while (!name.empty() && name.back() == '/') name.pop_back();
  const size_t colon = name.rfind(':');
  uint16_t port = 8080;
  if (colon != std::string::npos && name.find(']', colon) == std::string::npos) {
    port = static_cast<uint16_t>(std::strtoul(name.c_str() + colon + 1, nullptr, 10));
    name.erase(colon);
  }
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  return {name, port};
}

// The head as the libcurl transport writes it: no agent, no connection management, the JSON type
// with every POST.
std::string RequestHead(HttpVerb verb, const Target& target, size_t bodySize) {
  std::string head = (verb == HttpVerb::Post ? "POST " : "GET ") + target.pathAndQuery + " HTTP/1.1\r\n";
  head += "Host: " + target.Authority(!target.DefaultPort()) + "\r\nAccept: */*\r\n";
  if (verb == HttpVerb::Post) {
    head += "Content-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(bodySize) +
            "\r\n";
  }
  return head + "\r\n";
}

// The connection's opening and closing, as the log shows them: closed once, after everything it
// carried.
class ConnectionEvents {
 public:
  ConnectionEvents(IHttpEvents* events, std::string proxy) : events_(events), proxy_(std::move(proxy)) {}
  ConnectionEvents(const ConnectionEvents&) = delete;
  ConnectionEvents& operator=(const ConnectionEvents&) = delete;
  ~ConnectionEvents() {
    if (open_ && events_ != nullptr) events_->OnDisconnected();
  }

  void Opened() {
    open_ = true;
    if (events_ != nullptr) events_->OnConnected(proxy_);
  }

 private:
  IHttpEvents* events_;
  std::string proxy_;
  bool open_ = false;
};

// A tunnel through the proxy to the service; the proxy's answer is its own business, not the
// service's exchange, and stays out of the log.
void OpenTunnel(WindowsConnection& connection, const Target& target, const ProxyRoute& route,
                const Deadline& deadline) {
  const std::string authority = target.Authority(true);
  connection.Send("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n", deadline);
  AnswerHeadRules rules;
  std::string line;
  while (!rules.FinalHeadComplete()) {
    const std::string_view bytes = connection.Receive(deadline);
    if (bytes.empty()) {
      throw ConnectionFault(TransportFailure::ProxyRefused,
                            ProxyRefusalDetail(route.shown, "прокси закрыл соединение, не ответив"));
    }
    for (size_t at = 0; at < bytes.size(); ++at) {
      line += bytes[at];
      if (bytes[at] != '\n') continue;
      if (!rules.Line(line))
        throw ConnectionFault(TransportFailure::ProxyRefused,
                              ProxyRefusalDetail(route.shown, rules.Fault()->detail));
      line.clear();
      if (rules.FinalHeadComplete()) {
        connection.PutBack(bytes.substr(at + 1));
        break;
      }
    }
  }
  if (rules.Status() < 200 || rules.Status() >= 300) {
    throw ConnectionFault(TransportFailure::ProxyRefused,
                          ProxyRefusalDetail(route.shown, "HTTP " + std::to_string(rules.Status())));
  }
}

class WindowsTransport final : public IHttpTransport {
 public:
  explicit WindowsTransport(TransportOptions options) : options_(std::move(options)) {}

  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    try {
      return Run(verb, url, body, events);
    } catch (const ConnectionFault& fault) {
      return HttpAnswer::Failed(fault.kind, fault.detail);
    } catch (const std::exception& error) {
      return HttpAnswer::Failed(TransportFailure::Other, error.what());
    }
  }

 private:
  HttpAnswer Run(HttpVerb verb, const std::string& url, std::string_view body, IHttpEvents* events) {
    const Deadline deadline(options_.requestTimeout);
    const Target target = ParseUrl(url);
    const ProxyRoute route = RouteFor(url);
    // Declared before the connection, so that it says "disconnected" after the connection closed.
    ConnectionEvents connectionEvents(events, route.shown);
    const auto [host, port] = route.Direct() ? std::make_pair(target.host, target.port) : ProxyAddress(route);
    WindowsConnection connection(host, port, options_.connectTimeout, deadline);
    connectionEvents.Opened();
    if (!route.Direct()) OpenTunnel(connection, target, route, deadline);
    if (target.secure) connection.StartTls(target.host, deadline);

    const std::string head = RequestHead(verb, target, body.size());
    const bool withBody = verb == HttpVerb::Post && !body.empty();
    connection.Send(withBody ? head + std::string(body) : head, deadline);
    if (events != nullptr) {
      events->OnSent(head);
      if (withBody) events->OnSent(body);
    }

    HttpAnswerReader reader(events);
    while (!reader.Finished()) {
      const std::string_view bytes = connection.Receive(deadline);
      if (bytes.empty()) {
        reader.End(connection.EndedCleanly());
      } else {
        reader.Feed(bytes);
      }
    }
    connection.CloseTls();
    return reader.Answer();
  }

  // The decision is kept for a few minutes per service: with a script it may mean a download, or a
  // WPAD search that takes seconds where there is none, and a till should not pay that per request.
  // A changed setting reaches the requests after that.
  ProxyRoute RouteFor(const std::string& url) {
    const size_t authority = url.find("://");
    const std::string origin =
        url.substr(0, url.find('/', authority == std::string::npos ? 0 : authority + 3));
    const auto now = std::chrono::steady_clock::now();
    if (origin == routeOrigin_ && now - routeTime_ < kRouteLifetime) return route_;
    route_ = SystemProxyRoute(url);
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

std::unique_ptr<IHttpTransport> CreateDefaultTransport(const TransportOptions& options) {
  return std::make_unique<WindowsTransport>(options);
}

}  // namespace tallowmer
