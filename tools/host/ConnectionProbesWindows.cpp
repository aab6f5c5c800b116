// The connection check's probes on Windows: Winsock for the name and TCP, WinHTTP for TLS as the
// driver itself uses it. WinHTTP hands over the server's certificate
// (WINHTTP_OPTION_SERVER_CERT_CONTEXT) but not the protocol version, and the trust is judged by the
// system's chain engine; SSL/ca-bundle.pem plays no part on Windows.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>

#include "common/Unicode.h"
#include "platform/windows/WindowsSystem.h"
#include "platform/windows/Winsock.h"
#include "service/WinHttpHandle.h"
#include "tools/host/ConnectionProbes.h"

namespace tallowmer::host {
namespace {

using platform::windows::Narrow;
using platform::windows::Widen;

struct CertificateDeleter {
  void operator()(const CERT_CONTEXT* certificate) const { ::CertFreeCertificateContext(certificate); }
};
struct ChainDeleter {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

std::string SystemText(DWORD code) {
  const std::wstring text = WinHttpErrorText(code);
  return (text.empty() ? std::string("ошибка") : Narrow(text)) + " (" + std::to_string(code) + ")";
}

std::string NameText(const CERT_NAME_BLOB& name) {
  CERT_NAME_BLOB copy = name;
  const DWORD size =
      ::CertNameToStrW(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, nullptr, 0);
  std::wstring text(size, L'\0');
  ::CertNameToStrW(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, text.data(),
                   size);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return Narrow(text);
}

std::string TimeText(const FILETIME& time) {
  SYSTEMTIME utc{};
  ::FileTimeToSystemTime(&time, &utc);
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay,
                utc.wHour, utc.wMinute, utc.wSecond);
  return text;
}

// The system's verdict on the certificate for this host: the chain to a trusted root and the SSL
// policy (name, usage, dates).
void JudgeTrust(const CERT_CONTEXT* certificate, const std::string& host, TlsFacts& facts) {
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  const CERT_CHAIN_CONTEXT* rawChain = nullptr;
  if (!::CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &parameters, 0,
                                 nullptr, &rawChain)) {
    facts.systemVerdict = SystemText(::GetLastError());
    return;
  }
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter> chain(rawChain);
  std::wstring name = Widen(host);
  HTTPSPolicyCallbackData ssl{};
  ssl.cbStruct = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = name.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
    facts.systemVerdict = SystemText(::GetLastError());
    return;
  }
  facts.nameMatches = status.dwError != static_cast<DWORD>(CERT_E_CN_NO_MATCH);
  facts.trustedBySystem = status.dwError == 0 || status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH);
  if (status.dwError != 0) facts.systemVerdict = SystemText(status.dwError);
}

}  // namespace

Resolved ResolveName(const std::string& host) {
  const platform::windows::WinsockSession winsock;
  Resolved result;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (code != 0) {
    result.error = code == WSAHOST_NOT_FOUND ? "такого имени нет" : SystemText(static_cast<DWORD>(code));
    return result;
  }
  const std::unique_ptr<addrinfo, AddrInfoDeleter> info(found);
  for (const addrinfo* entry = info.get(); entry != nullptr; entry = entry->ai_next) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(entry->ai_addr, static_cast<int>(entry->ai_addrlen), text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
      continue;
    if (std::find(result.addresses.begin(), result.addresses.end(), text) == result.addresses.end())
      result.addresses.emplace_back(text);
  }
  return result;
}

Connected ConnectTcp(const std::vector<std::string>& addresses, int port, std::chrono::milliseconds timeout) {
  const platform::windows::WinsockSession winsock;
  Connected result;
  result.error = "нет адреса";
  for (const std::string& address : addresses) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) continue;
    const std::unique_ptr<addrinfo, AddrInfoDeleter> info(found);
    const platform::windows::UniqueSocket socket(::socket(info->ai_family, SOCK_STREAM, IPPROTO_TCP));
    u_long nonBlocking = 1;
    ::ioctlsocket(socket.get(), FIONBIO, &nonBlocking);
    ::connect(socket.get(), info->ai_addr, static_cast<int>(info->ai_addrlen));
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket.get(), &writable);
    FD_SET(socket.get(), &failed);
    timeval bound{static_cast<long>(timeout.count() / 1000),
                  static_cast<long>(timeout.count() % 1000 * 1000)};
    const int ready = ::select(0, nullptr, &writable, &failed, &bound);
    if (ready > 0 && FD_ISSET(socket.get(), &writable)) {
      result.address = (address.find(':') == std::string::npos ? address : "[" + address + "]") + ":" +
                       std::to_string(port);
      result.error.clear();
      return result;
    }
    int error = 0;
    int length = sizeof error;
    ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    result.error = ready == 0 ? "нет ответа за " + std::to_string(timeout.count() / 1000) + " с"
                   : error == WSAECONNREFUSED ? "подключение отклонено: порт закрыт или сервис не запущен"
                                              : SystemText(static_cast<DWORD>(error));
  }
  return result;
}

TlsFacts InspectTls(const std::string& host, int port, const ProxyRoute& route,
                    const std::vector<std::string>&, std::chrono::milliseconds timeout) {
  TlsFacts facts;
  facts.notShown = "версию протокола TLS WinHTTP не сообщает";
  facts.bundleVerdict = "в Windows не читается, доверие решает хранилище Windows";
  std::string proxyName =
      route.shown.substr(route.shown.find("://") == std::string::npos ? 0 : route.shown.find("://") + 3);
  const std::wstring proxy = Utf8ToWide(proxyName);
  const InternetHandle session(
      route.Direct()
          ? ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0)
          : ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(), L"<-loopback>", 0));
  const InternetHandle connection(session.get() ? ::WinHttpConnect(session.get(), Utf8ToWide(host).c_str(),
                                                                   static_cast<INTERNET_PORT>(port), 0)
                                                : nullptr);
  const InternetHandle request(
      connection.get() ? ::WinHttpOpenRequest(connection.get(), L"HEAD", L"/", nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                       : nullptr);
  if (request.get() == nullptr) {
    facts.error = SystemText(::GetLastError());
    return facts;
  }
  const int bound = static_cast<int>(timeout.count());
  ::WinHttpSetTimeouts(request.get(), bound, bound, bound, bound);
  // The certificate is judged below by the system's own rules; here it only has to be seen.
  DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                 SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
  ::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore);
  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0)) {
    facts.error = "рукопожатие TLS не удалось: " + SystemText(::GetLastError());
    return facts;
  }
  const CERT_CONTEXT* raw = nullptr;
  DWORD size = sizeof raw;
  if (!::WinHttpQueryOption(request.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) ||
      raw == nullptr) {
    facts.error = "WinHTTP не отдал сертификат сервера: " + SystemText(::GetLastError());
    return facts;
  }
  const std::unique_ptr<const CERT_CONTEXT, CertificateDeleter> certificate(raw);
  facts.subject = NameText(certificate->pCertInfo->Subject);
  facts.issuer = NameText(certificate->pCertInfo->Issuer);
  facts.notAfter = TimeText(certificate->pCertInfo->NotAfter);
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  facts.expired = ::CompareFileTime(&certificate->pCertInfo->NotAfter, &now) < 0;
  JudgeTrust(certificate.get(), host, facts);
  return facts;
}

}  // namespace tallowmer::host
