#include "service/ProxyChoice.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>
#include <vector>

namespace tallowmer {
namespace {

std::string Lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

struct Target {
  std::string scheme;  // lower case
  std::string host;    // lower case, without the brackets of an IPv6 address or a trailing dot
};

Target ParseTarget(const std::string& url) {
  Target target;
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return target;
  target.scheme = Lower(std::string_view(url).substr(0, schemeEnd));
  std::string_view authority = std::string_view(url).substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (!authority.empty() && authority.front() == '[') {
    target.host = Lower(authority.substr(1, authority.find(']') - 1));
  } else {
    target.host = Lower(authority.substr(0, authority.find(':')));
  }
  if (!target.host.empty() && target.host.back() == '.') target.host.pop_back();
  return target;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find_first_of(separators, start), text.size());
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string_view Trim(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// Four decimal parts of at most 255 each, in the network's order.
std::optional<uint32_t> ParseIpv4(std::string_view text) {
  const std::vector<std::string_view> parts = Split(text, ".");
  if (parts.size() != 4 || text.front() == '.' || text.back() == '.' ||
      text.find("..") != std::string_view::npos)
    return std::nullopt;
  uint32_t address = 0;
  for (std::string_view part : parts) {
    if (part.size() > 3 ||
        !std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); }))
      return std::nullopt;
    const int value = std::stoi(std::string(part));
    if (value > 255) return std::nullopt;
    address = address << 8 | static_cast<uint32_t>(value);
  }
  return address;
}

// A URL names an IPv6 address in brackets; without them, no host name holds a colon.
bool IsIpv6(const std::string& host) {
  return host.find(':') != std::string::npos;
}

// One no_proxy entry against a host, as curl matches it.
bool MatchesNoProxyEntry(const std::string& host, std::string_view entry) {
  const std::optional<uint32_t> hostAddress = ParseIpv4(host);
  if (hostAddress || IsIpv6(host)) {
    const size_t slash = entry.find('/');
    if (slash == std::string_view::npos) return Lower(entry) == host;
    const std::optional<uint32_t> network = ParseIpv4(entry.substr(0, slash));
    const std::string bitsText(entry.substr(slash + 1));
    if (!hostAddress || !network || bitsText.empty() || bitsText.size() > 2 ||
        !std::all_of(bitsText.begin(), bitsText.end(), [](unsigned char c) { return std::isdigit(c); })) {
      return false;
    }
    const int bits = std::stoi(bitsText);
    if (bits > 32) return false;
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return (*hostAddress & mask) == (*network & mask);
  }
  if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
  if (entry.empty()) return false;
  const std::string name = Lower(entry);
  if (host == name) return true;
  return host.size() > name.size() && host.ends_with(name) && host[host.size() - name.size() - 1] == '.';
}

bool BypassedByNoProxy(const std::string& host, const std::string& noProxy) {
  if (Trim(noProxy) == "*") return true;
  for (std::string_view entry : Split(noProxy, ", \t")) {
    if (MatchesNoProxyEntry(host, entry)) return true;
  }
  return false;
}

// A wildcard pattern of a Windows bypass list: "*" stands for any run of characters.
bool WildcardMatches(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                         std::tolower(static_cast<unsigned char>(text[t]))) {
      ++p;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool BypassedByList(const std::string& host, std::string_view bypassList) {
  for (std::string_view entry : Split(bypassList, "; \t\r\n,")) {
    if (entry == "<local>") {
      if (host.find('.') == std::string::npos && !IsIpv6(host)) return true;
    } else if (WildcardMatches(entry, host)) {
      return true;
    }
  }
  return false;
}

ProxyRoute RouteThrough(std::string proxy) {
  ProxyRoute route;
  if (proxy.empty()) return route;
  route.shown = WithoutCredentials(proxy);
  route.proxy = std::move(proxy);
  return route;
}

}  // namespace

std::string WithoutCredentials(std::string_view proxy) {
  const size_t schemeEnd = proxy.find("://");
  const size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
  const size_t authorityEnd = std::min(proxy.find('/', authorityStart), proxy.size());
  const std::string_view authority = proxy.substr(authorityStart, authorityEnd - authorityStart);
  const size_t at = authority.rfind('@');
  const std::string_view hostAndPort = at == std::string_view::npos ? authority : authority.substr(at + 1);
  return std::string(proxy.substr(0, authorityStart)) + std::string(hostAndPort);
}

ProxyRoute ChooseProxyFromEnvironment(const std::string& url, const EnvironmentLookup& lookup) {
  const Target target = ParseTarget(url);
  if (target.scheme != "https" || target.host.empty()) return {};
  auto first = [&](std::initializer_list<const char*> names) -> std::optional<std::string> {
    for (const char* name : names) {
      if (std::optional<std::string> value = lookup(name)) return value;
    }
    return std::nullopt;
  };
  std::optional<std::string> proxy = first({"https_proxy", "HTTPS_PROXY"});
  if (!proxy || proxy->empty()) proxy = first({"all_proxy", "ALL_PROXY"});
  if (!proxy || proxy->empty()) return {};
  if (const std::optional<std::string> noProxy = first({"no_proxy", "NO_PROXY"})) {
    if (BypassedByNoProxy(target.host, *noProxy)) return {};
  }
  return RouteThrough(std::move(*proxy));
}

RouteKeeper::RouteKeeper(Decide decide, Clock clock) : decide_(std::move(decide)), clock_(std::move(clock)) {}

const RouteDecision& RouteKeeper::For(const std::string& url) {
  // Scheme, host and port: the path and the query (with the token) do not change the route.
  const size_t schemeEnd = url.find("://");
  const std::string origin =
      Lower(url.substr(0, url.find_first_of("/?#", schemeEnd == std::string::npos ? 0 : schemeEnd + 3)));
  const auto now = clock_();
  if (kept_ && origin == origin_ && now - decidedAt_ < kLifetime) return decision_;
  decision_.route = decide_(url);
  decision_.since = platform::Env::Current().Now();
  ++decision_.number;
  origin_ = origin;
  decidedAt_ = now;
  kept_ = true;
  return decision_;
}

ProxyRoute ChooseProxyFromList(const std::string& url, std::string_view proxyList,
                               std::string_view bypassList) {
  const Target target = ParseTarget(url);
  if (target.scheme != "https" || target.host.empty()) return {};
  std::string forAll;
  std::string forHttps;
  for (std::string_view entry : Split(proxyList, "; \t\r\n")) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (forAll.empty()) forAll = entry;
    } else if (Lower(entry.substr(0, equals)) == "https" && forHttps.empty()) {
      forHttps = entry.substr(equals + 1);
    }
  }
  std::string proxy = forHttps.empty() ? forAll : forHttps;
  if (proxy.empty() || BypassedByList(target.host, bypassList)) return {};
  return RouteThrough(std::move(proxy));
}

}  // namespace tallowmer
