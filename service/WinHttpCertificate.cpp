#include "service/WinHttpCertificate.h"

#include <wincrypt.h>

#include <cstdio>
#include <memory>

#include "common/Unicode.h"
#include "platform/windows/WindowsSystem.h"
#include "service/WinHttpRoute.h"

namespace tallowmer {
namespace {

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};
struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { ::CertFreeCertificateChain(chain); }
};

std::string HexCode(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// The certificate checks' codes have no words under every system: the usual ones are named here.
std::string FaultText(DWORD code) {
  switch (static_cast<HRESULT>(code)) {
    case CERT_E_UNTRUSTEDROOT:
      return "корневой сертификат не является доверенным (" + HexCode(code) + ")";
    case CERT_E_CHAINING:
      return "цепочку сертификатов не удалось построить до доверенного (" + HexCode(code) + ")";
    case CERT_E_CN_NO_MATCH:
      return "сертификат выдан для другого имени (" + HexCode(code) + ")";
    case CERT_E_EXPIRED:
      return "срок действия сертификата истек или еще не начался (" + HexCode(code) + ")";
    case CERT_E_WRONG_USAGE:
      return "сертификат не предназначен для сервера (" + HexCode(code) + ")";
    case CRYPT_E_REVOKED:
      return "сертификат отозван (" + HexCode(code) + ")";
    case TRUST_E_CERT_SIGNATURE:
      return "подпись сертификата неверна (" + HexCode(code) + ")";
    default:
      break;
  }
  const std::wstring text = platform::windows::SystemErrorText(code);
  return text.empty() ? HexCode(code) : WideToUtf8(text) + " (" + HexCode(code) + ")";
}

// The code for what a chain's own trust status finds wrong; 0 when nothing. Revocation is not asked
// about, as WinHTTP does not by default.
DWORD ChainFault(DWORD status) {
  if (status & CERT_TRUST_IS_REVOKED) return static_cast<DWORD>(CRYPT_E_REVOKED);
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return static_cast<DWORD>(CERT_E_EXPIRED);
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return static_cast<DWORD>(CERT_E_CHAINING);
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return static_cast<DWORD>(CERT_E_WRONG_USAGE);
  constexpr DWORD kRevocationUnasked =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  return (status & ~kRevocationUnasked) != 0 ? static_cast<DWORD>(CERT_E_CHAINING) : 0;
}

// The chain's verdict first: some systems' SSL policy (Wine's) judges only the name.
std::optional<std::string> CheckCertificate(PCCERT_CONTEXT certificate, const std::wstring& host) {
  char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {serverAuthentication};
  CERT_CHAIN_PARA chainParameters{};
  chainParameters.cbSize = sizeof chainParameters;
  chainParameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainParameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainParameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!::CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainParameters, 0,
                                 nullptr, &built)) {
    return FaultText(::GetLastError());
  }
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(built);
  if (const DWORD fault = ChainFault(built->TrustStatus.dwErrorStatus); fault != 0) return FaultText(fault);
  std::wstring name = host;
  HTTPSPolicyCallbackData ssl{};
  ssl.cbStruct = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = name.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, built, &policy, &verdict))
    return FaultText(::GetLastError());
  if (verdict.dwError != 0) return FaultText(verdict.dwError);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CertificateFault(const std::wstring& host, INTERNET_PORT port,
                                            const ProxyRoute& route, std::chrono::milliseconds limit) {
  const InternetHandle session = OpenSession(route);
  if (!session) return std::nullopt;
  const int waiting = static_cast<int>(limit.count());
  if (waiting <= 0 || !::WinHttpSetTimeouts(session.get(), waiting, waiting, waiting, waiting))
    return std::nullopt;
  const InternetHandle connection(::WinHttpConnect(session.get(), host.c_str(), port, 0));
  if (!connection) return std::nullopt;
  const InternetHandle request(::WinHttpOpenRequest(connection.get(), L"HEAD", L"/", nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    WINHTTP_FLAG_SECURE));
  if (!request) return std::nullopt;
  DWORD checksOff = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                    SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
  DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_COOKIES;
  if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &checksOff, sizeof checksOff) ||
      !::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features) ||
      !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0)) {
    return std::nullopt;
  }
  PCCERT_CONTEXT shown = nullptr;
  DWORD size = sizeof shown;
  if (!::WinHttpQueryOption(request.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &shown, &size) ||
      shown == nullptr)
    return std::nullopt;
  const std::unique_ptr<const CERT_CONTEXT, CertificateFree> certificate(shown);
  return CheckCertificate(shown, host);
}

}  // namespace tallowmer
