#pragma once

// The WinHTTP session of a transport's route, and its connection handle to the service: opened at
// the route's first request and kept while the transport keeps the route. What WinHTTP keeps in
// them then outlives a request: on Windows the TLS sessions SChannel negotiated under the session's
// credentials (a resumed TLS 1.2 handshake saves a round trip) and the server's certificate checked
// once; Wine's WinHTTP keeps the service's resolved address in the connection handle. Each request
// still opens a connection of its own: keep-alive stays off on every request, since a kept
// connection that the server has closed makes WinHTTP send the request again, and a sale twice.

#include <windows.h>

#include <winhttp.h>

#include <memory>
#include <mutex>
#include <string>

#include "service/ProxyChoice.h"
#include "service/WinHttpHandle.h"

namespace tallowmer {

// A session on the route, offering TLS 1.2 and 1.3; empty, with the error for GetLastError, when
// WinHTTP cannot open one.
InternetHandle OpenRouteSession(const ProxyRoute& route);

class WinHttpSession {
 public:
  // Opens the session on the decided route and its connection handle to the service's `host` and
  // `port`. Opened() tells whether WinHTTP gave both; Error() why not.
  WinHttpSession(RouteDecision decision, const std::wstring& host, INTERNET_PORT port);
  WinHttpSession(const WinHttpSession&) = delete;
  WinHttpSession& operator=(const WinHttpSession&) = delete;

  bool Opened() const { return static_cast<bool>(connection_); }
  DWORD Error() const { return error_; }
  const RouteDecision& Decision() const { return decision_; }
  bool Serves(const std::wstring& host, INTERNET_PORT port) const { return host == host_ && port == port_; }
  // The connection handle that every request to the service opens its request handle under.
  HINTERNET Connection() const { return connection_.get(); }

 private:
  const RouteDecision decision_;
  const std::wstring host_;
  const INTERNET_PORT port_;
  InternetHandle session_;
  InternetHandle connection_;
  DWORD error_ = ERROR_SUCCESS;
};

// A transport's route to its service and the session on it, shared with the threads that carry its
// requests: a request given up on may still be under way when the next one starts.
class RouteSessions {
 public:
  explicit RouteSessions(RouteKeeper::Decide decide = SystemProxyRoute);

  // The session for the URL's service on the route kept for it, opened anew when the route was
  // decided anew. Null, with WinHTTP's error in `error`, when WinHTTP cannot open one; the next
  // request then tries again.
  std::shared_ptr<WinHttpSession> For(const std::string& url, const std::wstring& host, INTERNET_PORT port,
                                      DWORD& error);
  // A request through `session` could not connect: the next request decides the route again, in a
  // session of its own. A session already replaced stays replaced.
  void ConnectionFailed(const std::shared_ptr<WinHttpSession>& session);

 private:
  std::mutex mutex_;
  RouteKeeper keeper_;
  std::shared_ptr<WinHttpSession> session_;
};

}  // namespace tallowmer
