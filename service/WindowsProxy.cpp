// The proxy the Windows system names for a URL. WinHTTP reads the settings, runs configuration
// scripts and searches by WPAD; the transport itself does not use WinHTTP for the request.

#include <windows.h>

#include <winhttp.h>

#include <optional>
#include <string>

#include "common/Unicode.h"
#include "service/ProxyChoice.h"
#include "service/WinHttpHandle.h"

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

}  // namespace tallowmer
