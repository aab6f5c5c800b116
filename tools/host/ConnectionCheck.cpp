#include "tools/host/ConnectionCheck.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/Unicode.h"
#include "service/HttpLog.h"
#include "service/HttpTransport.h"
#include "service/uHTTP.h"
#include "tools/host/ConnectionProbes.h"

namespace tallowmer::host {
namespace {

using Clock = std::chrono::steady_clock;

// More than this between the till's clock and the service's, and receipts carry the wrong time and
// certificates may seem not yet valid or expired.
constexpr std::chrono::seconds kClockTolerance{120};

enum class Verdict { Passed, Warning, Failed, Skipped };

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::Passed:
      return "ОК";
    case Verdict::Warning:
      return "ВНИМАНИЕ";
    case Verdict::Failed:
      return "ОШИБКА";
    case Verdict::Skipped:
      return "ПРОПУЩЕНО";
  }
  return "";
}

struct StepResult {
  StepResult(Verdict v, std::string d, std::string s = "")
      : verdict(v), detail(std::move(d)), summary(std::move(s)) {}

  Verdict verdict;
  std::string detail;
  // What the verdict line says of a failure, when the detail is too long for it.
  std::string summary;
};

struct HostParts {
  std::string scheme;
  std::string host;
  int port = 0;
};

std::optional<HostParts> ParseHost(const std::string& url, std::string& problem) {
  const size_t schemeEnd = url.find("://");
  if (url.empty()) {
    problem = "настройка Host пуста";
    return std::nullopt;
  }
  if (schemeEnd == std::string::npos) {
    problem = "нет схемы https:// в начале адреса";
    return std::nullopt;
  }
  HostParts parts;
  parts.scheme = url.substr(0, schemeEnd);
  std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (parts.scheme != "https" && parts.scheme != "http") {
    problem = "схема " + parts.scheme + " не поддерживается, нужна https";
    return std::nullopt;
  }
  std::string authority = url.substr(schemeEnd + 3, url.find_first_of("/?#", schemeEnd + 3) - schemeEnd - 3);
  if (authority.find('@') != std::string::npos) {
    problem = "в адресе не должно быть имени пользователя";
    return std::nullopt;
  }
  std::string portText;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      problem = "не закрыта скобка адреса IPv6";
      return std::nullopt;
    }
    parts.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') portText = authority.substr(close + 2);
  } else {
    const size_t colon = authority.rfind(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  if (parts.host.empty() || parts.host.find_first_of(" \t") != std::string::npos) {
    problem = "в адресе нет имени сервера или в нём пробел";
    return std::nullopt;
  }
  parts.port = parts.scheme == "https" ? 443 : 80;
  if (!portText.empty()) {
    const bool digits = portText.size() <= 5 && std::all_of(portText.begin(), portText.end(),
                                                            [](unsigned char c) { return std::isdigit(c); });
    const int port = digits ? std::atoi(portText.c_str()) : 0;
    if (port < 1 || port > 65535) {
      problem = "неверный порт " + portText;
      return std::nullopt;
    }
    parts.port = port;
  }
  return parts;
}

// Collects the answer's head, where the Date header is, and the route the transport took.
class HeadRecorder final : public IHttpEvents {
 public:
  void OnRoute(std::string_view proxy, const platform::LocalTime& since) noexcept override {
    try {
      route = (proxy.empty() ? std::string("напрямую") : "через прокси " + std::string(proxy)) + ", выбран " +
              HttpLogTimestamp(since);
    } catch (...) {
    }
  }
  void OnConnected(std::string_view) noexcept override {}
  void OnSent(std::string_view) noexcept override {}
  void OnReceived(std::string_view bytes) noexcept override {
    try {
      if (head.empty() && bytes.rfind("HTTP/", 0) == 0) head = bytes;
    } catch (...) {
    }
  }
  void OnDisconnected() noexcept override {}

  std::string head;
  // "напрямую, выбран <time>"; empty until the transport names it.
  std::string route;
};

// The value of a header in a head, empty when it is absent.
std::string HeaderValue(const std::string& head, const std::string& name) {
  std::string lowerHead = head;
  std::transform(lowerHead.begin(), lowerHead.end(), lowerHead.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const size_t at = lowerHead.find("\n" + name + ":");
  if (at == std::string::npos) return "";
  const size_t start = head.find_first_not_of(" \t", at + name.size() + 2);
  const size_t end = head.find_first_of("\r\n", start);
  return start == std::string::npos ? "" : head.substr(start, end - start);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(int year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

// "Thu, 10 Dec 2026 15:05:00 GMT" as seconds since 1970; nullopt for anything else.
std::optional<long long> ParseHttpDate(const std::string& text) {
  char weekday[4] = {}, monthName[4] = {}, zone[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%3s, %d %3s %d %d:%d:%d %3s", weekday, &day, monthName, &year, &hour,
                  &minute, &second, zone) != 8 ||
      std::string(zone) != "GMT") {
    return std::nullopt;
  }
  static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const size_t month = kMonths.find(monthName);
  if (month == std::string::npos || month % 3 != 0 || day < 1 || day > 31) return std::nullopt;
  // The header comes from the service: an hour of 999999 would overflow the sum below.
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month / 3 + 1), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string DescribeOffset(long long seconds) {
  const long long magnitude = std::llabs(seconds);
  std::string amount = magnitude < 120
                           ? std::to_string(magnitude) + " с"
                           : std::to_string(magnitude / 60) + " мин " + std::to_string(magnitude % 60) + " с";
  return seconds == 0 ? "часы совпадают"
                      : (seconds > 0 ? "часы кассы спешат на " : "часы кассы отстают на ") + amount;
}

// The steps of the check in order; each reads what the ones before it found.
class Check {
 public:
  Check(const std::string& hostSetting, const std::string& token, std::ostream& out)
      : hostSetting_(hostSetting), token_(token), out_(out) {}

  int Run() {
    Step("Настройка Host", &Check::HostSetting);
    if (!parts_) return Finish();
    route_ = SystemProxyRoute(hostSetting_);
    Step("Имя сервера", &Check::ServerName);
    Step("Прокси", &Check::Proxy);
    Step("Подключение TCP", &Check::Tcp);
    Step("TLS", &Check::Tls);
    Step("Проверка связи (ping) с ключом доступа", &Check::Ping);
    Step("Часы", &Check::ServiceClock);
    return Finish();
  }

 private:
  // Where the TCP step connects: the service itself, or the proxy that tunnels to it.
  struct ProxyAddress {
    int port = 0;
    Resolved addresses;
  };

  void Step(const std::string& name, StepResult (Check::*body)()) {
    ++number_;
    const auto start = Clock::now();
    const StepResult result = (this->*body)();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    out_ << number_ << ". " << name << " — " << VerdictText(result.verdict) << " (" << elapsed
         << " мс): " << EscapeControls(result.detail) << std::endl;
    if (result.verdict == Verdict::Failed && firstFailure_.empty())
      firstFailure_ = name + ": " + (result.summary.empty() ? result.detail : result.summary);
  }

  StepResult HostSetting() {
    std::string problem;
    parts_ = ParseHost(hostSetting_, problem);
    if (!parts_) return {Verdict::Failed, "«" + hostSetting_ + "»: " + problem};
    return {Verdict::Passed,
            hostSetting_ + " — сервер " + parts_->host + ", порт " + std::to_string(parts_->port)};
  }

  // Behind a proxy the name need not resolve here: the proxy resolves it.
  StepResult ServerName() {
    resolved_ = ResolveName(parts_->host);
    if (resolved_.error.empty()) return {Verdict::Passed, parts_->host + " → " + Join(resolved_.addresses)};
    if (!route_.Direct())
      return {Verdict::Warning,
              parts_->host + " не найдено здесь (" + resolved_.error + "); имя разрешит прокси"};
    return {Verdict::Failed, parts_->host + " не найдено: " + resolved_.error};
  }

  StepResult Proxy() {
    if (route_.Direct()) return {Verdict::Passed, "не используется, подключение напрямую"};
    std::string problem;
    const std::string proxyUrl =
        route_.shown.find("://") == std::string::npos ? "http://" + route_.shown : route_.shown;
    const std::optional<HostParts> proxy = ParseHost(proxyUrl, problem);
    if (!proxy) return {Verdict::Failed, route_.shown + ": " + problem};
    // A proxy named without a port listens where curl looks for it: 1080.
    const bool portNamed = proxyUrl.find(':', proxyUrl.find("://") + 3) != std::string::npos;
    proxy_.port = proxy->scheme == "http" && !portNamed ? 1080 : proxy->port;
    proxy_.addresses = ResolveName(proxy->host);
    if (!proxy_.addresses.error.empty())
      return {Verdict::Failed, route_.shown + ": имя прокси не найдено: " + proxy_.addresses.error};
    return {Verdict::Passed, route_.shown + " (" + Join(proxy_.addresses.addresses) + ")"};
  }

  StepResult Tcp() {
    const bool reachable =
        route_.Direct() ? resolved_.error.empty() : proxy_.addresses.error.empty() && proxy_.port > 0;
    if (!reachable) return {Verdict::Skipped, "нет адреса для подключения"};
    const Connected tcp = route_.Direct()
                              ? ConnectTcp(resolved_.addresses, parts_->port, kConnectTimeout)
                              : ConnectTcp(proxy_.addresses.addresses, proxy_.port, kConnectTimeout);
    if (!tcp.error.empty()) return {Verdict::Failed, tcp.error};
    connected_ = true;
    return {Verdict::Passed, "подключено к " + tcp.address + (route_.Direct() ? "" : " (прокси)")};
  }

  StepResult Tls() {
    if (parts_->scheme != "https") return {Verdict::Skipped, "адрес без https, соединение не защищено"};
    if (!connected_) return {Verdict::Skipped, "нет подключения"};
    const TransportOptions trust = DefaultTransportOptions();
    const TlsFacts tls = InspectTls(parts_->host, parts_->port, route_,
                                    {trust.extraCaBundle, trust.processCaFile}, kConnectTimeout);
    if (!tls.error.empty()) return {Verdict::Failed, tls.error};
    const std::string text = DescribeTls(tls, trust);
    const bool trusted = (tls.trustedBySystem || tls.trustedWithBundle) && tls.nameMatches && !tls.expired;
    if (trusted) return {Verdict::Passed, text};
    const std::string summary =
        tls.expired        ? "срок действия сертификата истёк"
        : !tls.nameMatches ? "сертификат выдан не для " + parts_->host
                           : "сертификат сервера не заверен доверенным центром (" + tls.systemVerdict + ")";
    return {Verdict::Failed, text, summary};
  }

  std::string DescribeTls(const TlsFacts& tls, const TransportOptions& trust) const {
    std::string text;
    const auto add = [&](const std::string& label, const std::string& value) {
      if (!value.empty()) text += (text.empty() ? "" : "; ") + label + value;
    };
    add("", tls.protocol);
    add("субъект: ", tls.subject);
    add("издатель: ", tls.issuer);
    add("действует до: ", tls.notAfter + (tls.expired ? " (ИСТЁК)" : ""));
    add("системное хранилище: ",
        tls.trustedBySystem
            ? "доверяет"
            : "не доверяет" + (tls.systemVerdict.empty() ? "" : " (" + tls.systemVerdict + ")"));
    add(trust.processCaFile.empty() ? "SSL/ca-bundle.pem: " : "SSL/ca-bundle.pem и LS_TALLOWMER_CA_FILE: ",
        tls.bundleVerdict.empty() && tls.trustedWithBundle ? "доверяет" : tls.bundleVerdict);
    if (!tls.nameMatches) add("", "сертификат выдан не для " + parts_->host);
    add("не показано: ", tls.notShown);
    return text;
  }

  // The answer's head is kept for the clock step: its Date header is the service's time.
  StepResult Ping() {
    if (!connected_) return {Verdict::Skipped, "нет подключения"};
    const std::unique_ptr<IHttpTransport> transport = CreateDefaultTransport(DefaultTransportOptions());
    HeadRecorder recorder;
    const HttpAnswer answer = transport->Execute(
        HttpVerb::Get, hostSetting_ + "/ping?token=" + EncodeQueryValue(token_), "", &recorder);
    head_ = recorder.head;
    const std::string route = recorder.route.empty() ? "" : "; маршрут: " + recorder.route;
    if (answer.status < 0)
      return {Verdict::Failed, DescribeTransportFailure(answer.failure, answer.error) + route};
    if (answer.status == 200) return {Verdict::Passed, "200, ключ доступа принят" + route};
    if (answer.status == 401) return {Verdict::Failed, "401, неверный ключ доступа (настройка Token)"};
    return {Verdict::Failed, "сервис ответил " + std::to_string(answer.status)};
  }

  StepResult ServiceClock() {
    const std::string date = HeaderValue(head_, "date");
    if (date.empty()) return {Verdict::Skipped, "сервис не прислал время (заголовок Date)"};
    const std::optional<long long> serviceTime = ParseHttpDate(date);
    if (!serviceTime) return {Verdict::Skipped, "время сервиса не разобрано: " + date};
    const long long local =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const long long offset = local - *serviceTime;
    const std::string text = DescribeOffset(offset) + " (время сервиса " + date + ")";
    if (std::llabs(offset) <= kClockTolerance.count()) return {Verdict::Passed, text};
    clockWarning_ = DescribeOffset(offset);
    return {Verdict::Warning, text + "; исправьте время на кассе"};
  }

  int Finish() {
    if (!firstFailure_.empty()) {
      out_ << "Итог: связи с сервисом нет — " << EscapeControls(firstFailure_) << std::endl;
      return 1;
    }
    out_ << "Итог: связь с сервисом в порядке"
         << (clockWarning_.empty() ? "."
                                   : ", но " + EscapeControls(clockWarning_) + ": исправьте время на кассе.")
         << std::endl;
    return 0;
  }

  const std::string& hostSetting_;
  const std::string& token_;
  std::ostream& out_;
  std::optional<HostParts> parts_;
  ProxyRoute route_;
  Resolved resolved_;
  ProxyAddress proxy_;
  bool connected_ = false;
  std::string head_;
  int number_ = 0;
  std::string firstFailure_;
  std::string clockWarning_;
};

}  // namespace

int RunConnectionCheck(const std::string& hostSetting, const std::string& token, std::ostream& out) {
  return Check(hostSetting, token, out).Run();
}

}  // namespace tallowmer::host
