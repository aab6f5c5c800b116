// The system's proxy for the Windows transport, as WinHTTP reads the settings, and a proxy's own
// answer to a tunnel, which some WinHTTPs do not pass on.

// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "service/WinHttpProxy.h"

#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/DetachedThread.h"
#include "platform/windows/WindowsSystem.h"
#include "platform/windows/Winsock.h"
#include "service/WinHttpHandle.h"

namespace tallowmer {
namespace {

using platform::windows::Narrow;
using platform::windows::Widen;

void FreeGlobal(LPWSTR text) {
  ::GlobalFree(text);
}
// A string WinHTTP allocated for the caller.
using GlobalString = platform::windows::UniqueReleasedBy<LPWSTR, FreeGlobal>;

std::string Utf8Of(const GlobalString& text) {
  return text ? Narrow(text.get()) : std::string();
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

// Where no WPAD server answers, a search waits for DHCP and DNS to give up: seconds on a shop's
// network. WinHTTP's time-outs bound each step of fetching a script; the whole search gets at most
// kScriptSearchLimit, after which the fixed settings decide and the search ends on its own.
constexpr std::chrono::seconds kScriptSearchLimit{5};
constexpr int kScriptStepLimitMs = 3'000;

// What an auto-configuration script (named, or found by WPAD when `detect`) says for the URL;
// nullopt when the script cannot be had or run.
std::optional<ProxyRoute> AskScript(const std::string& url, const std::wstring& scriptUrl, bool detect) {
  const InternetHandle session(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::nullopt;
  ::WinHttpSetTimeouts(session.get(), kScriptStepLimitMs, kScriptStepLimitMs, kScriptStepLimitMs,
                       kScriptStepLimitMs);
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (!scriptUrl.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
  }
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  const std::wstring wideUrl = Widen(url);
  WINHTTP_PROXY_INFO info{};
  // Without the user's logon first: WinHTTP keeps a script it fetched so, and only a server that
  // asks for the logon gets it.
  BOOL found = ::WinHttpGetProxyForUrl(session.get(), wideUrl.c_str(), &options, &info);
  if (!found && ::GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
    options.fAutoLogonIfChallenged = TRUE;
    found = ::WinHttpGetProxyForUrl(session.get(), wideUrl.c_str(), &options, &info);
  }
  if (!found) return std::nullopt;
  return RouteFromProxyInfo(url, info);
}

// The search runs on a thread of its own, shared with it, so that the decision can stop waiting.
struct ScriptSearch {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::optional<ProxyRoute> route;
};

// AskScript within kScriptSearchLimit; nullopt after it, which leaves the fixed settings to decide.
std::optional<ProxyRoute> ProxyFromScript(const std::string& url, const std::wstring& scriptUrl,
                                          bool detect) {
  auto search = std::make_shared<ScriptSearch>();
  const auto run = [search, url, scriptUrl, detect] {
    std::optional<ProxyRoute> route = AskScript(url, scriptUrl, detect);
    const std::lock_guard lock(search->mutex);
    search->route = std::move(route);
    search->finished = true;
    search->done.notify_all();
  };
  if (!platform::StartDetachedThread(run)) return AskScript(url, scriptUrl, detect);
  std::unique_lock lock(search->mutex);
  if (!search->done.wait_for(lock, kScriptSearchLimit, [&search] { return search->finished; }))
    return std::nullopt;
  return search->route;
}

}  // namespace

// The current user's Internet settings first (a script, else a fixed proxy with its bypass list),
// else the machine's WinHTTP setting. Reading them costs no request unless a script is configured.
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

std::wstring WinHttpProxyName(const ProxyRoute& route) {
  std::string name = route.shown;
  if (const size_t scheme = name.find("://"); scheme != std::string::npos) name.erase(0, scheme + 3);
  while (!name.empty() && name.back() == '/') name.pop_back();
  return Widen(name);
}

std::optional<DWORD> AskProxyForTunnel(const std::string& proxy, const std::string& target, DWORD timeoutMs) {
  const size_t colon = proxy.rfind(':');
  const platform::windows::WinsockSession winsock;
  if (colon == std::string::npos || !winsock.Ready()) return std::nullopt;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  platform::windows::UniqueAddresses addresses;
  if (::getaddrinfo(proxy.substr(0, colon).c_str(), proxy.substr(colon + 1).c_str(), &hints,
                    addresses.put()) != 0) {
    return std::nullopt;
  }
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
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

}  // namespace tallowmer
