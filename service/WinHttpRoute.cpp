// The route of a request through WinHTTP: the proxy the system names, a session that goes through
// it, and the proxy's own answer to a tunnel.

// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "service/WinHttpRoute.h"

#include <cstdlib>
#include <memory>

#include "common/Unicode.h"
#include "platform/windows/Winsock.h"

namespace tallowmer {
namespace {

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

}  // namespace

// The proxy the system names for the URL: the current user's Internet settings first (a script,
// else a fixed proxy with its bypass list), else the machine's WinHTTP setting. Reading them costs
// no request unless a script is configured.
ProxyRoute SystemProxyRoute(const std::string& url) {
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

// The route is decided already: the session goes through its proxy or none, and "<-loopback>"
// keeps newer WinHTTPs from going direct to loopback names on their own. Over HTTPS WinHTTP tunnels
// through the proxy with CONNECT.
InternetHandle OpenSession(const ProxyRoute& route) {
  const std::wstring proxyName = WinHttpProxyName(route);
  InternetHandle session(route.Direct() ? ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
                                        : ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                                        proxyName.c_str(), L"<-loopback>", 0));
  if (!session) return session;
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  return session;
}

}  // namespace tallowmer
