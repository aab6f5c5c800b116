#pragma once

// Which proxy, if any, carries a request: the decision taken from the system's settings, apart from
// the library that then acts on it, so that both platforms decide alike and the decision can be
// tested without a network.
//
// A proxy only ever carries HTTPS, through a CONNECT tunnel: the proxy then sees the service's name
// and port, never the request line with the token in its query. A plain http request goes direct.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace tallowmer
