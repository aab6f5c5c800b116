#pragma once

// Which proxy, if any, carries a request: the decision taken from the system's settings, apart from
// the library that then acts on it, so that both platforms decide alike and the decision can be
// tested without a network.
//
// A proxy only ever carries HTTPS, through a CONNECT tunnel: the proxy then sees the service's name
// and port, never the request line with the token in its query. A plain http request goes direct.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Env.h"

namespace tallowmer {

struct ProxyRoute {
  // The proxy as the transport's library takes it, credentials included; empty for a direct
  // connection.
  std::string proxy;
  // The proxy as logs and messages may show it: no user, no password.
  std::string shown;

  bool Direct() const { return proxy.empty(); }
};

// Reads one environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The POSIX rules, as curl reads them: "https_proxy" or "HTTPS_PROXY" (for http, "http_proxy" alone),
// else "all_proxy" or "ALL_PROXY"; "no_proxy" or "NO_PROXY" lists names (matching the name and its
// subdomains, a leading dot allowed), addresses and IPv4 ranges ("10.0.0.0/8") that go direct, "*"
// alone sending everything direct.
ProxyRoute ChooseProxyFromEnvironment(const std::string& url, const EnvironmentLookup& lookup);

// The Windows rules for a fixed proxy list and its bypass list, as the Internet settings and
// WinHTTP hold them: "host:port" for every scheme or "http=host:port;https=host:port"; the bypass
// list holds names and addresses with "*" wildcards, separated by ";" or blanks, "<local>" standing
// for any name without a dot.
ProxyRoute ChooseProxyFromList(const std::string& url, std::string_view proxyList,
                               std::string_view bypassList);

// The route the platform's transport takes for the URL under the system's settings now (defined
// beside each transport).
ProxyRoute SystemProxyRoute(const std::string& url);

// The proxy without its credentials: "http://user:pw@host:3128" gives "http://host:3128".
std::string WithoutCredentials(std::string_view proxy);

// The route to a service as decided, and when: the local time, which the log and the connection
// check show.
struct RouteDecision {
  ProxyRoute route;
  platform::LocalTime since;
  // Which of its keeper's decisions this is, counted from 1: what was made for one decision (a
  // session on its route) is not taken for the next, even where both name the same route.
  unsigned long long number = 0;
};

// Keeps a transport's route to its service once decided. Deciding may cost a WPAD search, seconds
// where no WPAD server answers, or the download of a configuration script: a till pays that once
// in a while, not with every request. A decision stands for kLifetime, or until a request could not
// connect through it, since the network may have changed (a proxy switched off, the till moved to
// another network): the next request then decides again.
class RouteKeeper {
 public:
  static constexpr std::chrono::minutes kLifetime{10};
  using Decide = std::function<ProxyRoute(const std::string& url)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit RouteKeeper(Decide decide, Clock clock = std::chrono::steady_clock::now);

  // The route to the URL's service (its scheme, host and port), decided now when none is kept for
  // it. The reference holds until the next call.
  const RouteDecision& For(const std::string& url);
  // The request given the last route could not connect through it.
  void ConnectionFailed() { kept_ = false; }

 private:
  Decide decide_;
  Clock clock_;
  bool kept_ = false;
  std::string origin_;
  std::chrono::steady_clock::time_point decidedAt_;
  RouteDecision decision_;
};

}  // namespace tallowmer
