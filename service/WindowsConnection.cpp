#include "service/WindowsConnection.h"

#include <ws2tcpip.h>

#include <wincrypt.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/Unicode.h"
#include "platform/DetachedThread.h"
#include "platform/windows/WindowsSystem.h"

namespace tallowmer {
namespace {

using std::chrono::milliseconds;

constexpr size_t kReceiveChunk = 16 * 1024;
// The content type of a TLS record that carries an alert.
constexpr unsigned char kAlertRecord = 21;

// The one place where a Winsock error becomes a kind of the transport contract.
TransportFailure SocketFailureKind(int error) {
  switch (error) {
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEADDRNOTAVAIL:
      return TransportFailure::ConnectionRefused;
    case WSAETIMEDOUT:
      return TransportFailure::TimedOut;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAESHUTDOWN:
    case WSAENOTCONN:
      return TransportFailure::ConnectionLost;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY:
      return TransportFailure::NameNotResolved;
    default:
      return TransportFailure::Other;
  }
}

// The system's words for a code, with the code.
std::string ErrorText(DWORD code, const char* library) {
  const std::wstring text = platform::windows::SystemErrorText(code);
  if (text.empty()) return std::string(library) + " " + std::to_string(code);
  return WideToUtf8(text) + ", " + std::to_string(code);
}

[[noreturn]] void FailOnSocket(int error) {
  throw ConnectionFault(SocketFailureKind(error), ErrorText(static_cast<DWORD>(error), "Winsock"));
}

[[noreturn]] void FailOnTime() {
  throw ConnectionFault(TransportFailure::TimedOut, "общее время запроса истекло");
}

std::string HexCode(long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// SChannel's and the certificate checks' codes have no words under every system: the usual ones are
// named here.
std::string SecurityText(long code) {
  switch (code) {
    case CERT_E_UNTRUSTEDROOT:
    case SEC_E_UNTRUSTED_ROOT:
      return "корневой сертификат не является доверенным (" + HexCode(code) + ")";
    case CERT_E_CHAINING:
      return "цепочку сертификатов не удалось построить до доверенного (" + HexCode(code) + ")";
    case CERT_E_CN_NO_MATCH:
    case SEC_E_WRONG_PRINCIPAL:
      return "сертификат выдан для другого имени (" + HexCode(code) + ")";
    case CERT_E_EXPIRED:
    case SEC_E_CERT_EXPIRED:
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
  const std::wstring text = platform::windows::SystemErrorText(static_cast<DWORD>(code));
  return text.empty() ? "SChannel " + HexCode(code) : WideToUtf8(text) + " (" + HexCode(code) + ")";
}

bool IsCertificateFault(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_UNTRUSTED_ROOT:
    case SEC_E_WRONG_PRINCIPAL:
    case SEC_E_CERT_EXPIRED:
    case SEC_E_CERT_UNKNOWN:
    case SEC_E_CERT_WRONG_USAGE:
      return true;
    default:
      return false;
  }
}

// A buffer SSPI allocated for the caller.
class ContextBuffer {
 public:
  explicit ContextBuffer(void* buffer) : buffer_(buffer) {}
  ContextBuffer(const ContextBuffer&) = delete;
  ContextBuffer& operator=(const ContextBuffer&) = delete;
  ~ContextBuffer() {
    if (buffer_ != nullptr) ::FreeContextBuffer(buffer_);
  }

 private:
  void* buffer_;
};

// The code for what a chain's trust status finds wrong; 0 when nothing. Revocation is not asked
// about, as WinHTTP does not by default.
long ChainFault(DWORD status) {
  if (status & CERT_TRUST_IS_REVOKED) return CRYPT_E_REVOKED;
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return TRUST_E_CERT_SIGNATURE;
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return CERT_E_EXPIRED;
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return CERT_E_UNTRUSTEDROOT;
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return CERT_E_CHAINING;
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return CERT_E_WRONG_USAGE;
  constexpr DWORD kRevocationUnasked =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  return (status & ~kRevocationUnasked) != 0 ? CERT_E_CHAINING : 0;
}

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};
struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { ::CertFreeCertificateChain(chain); }
};
struct AddressFree {
  void operator()(ADDRINFOW* addresses) const { ::FreeAddrInfoW(addresses); }
};
using AddressList = std::unique_ptr<ADDRINFOW, AddressFree>;

// A name resolved on a thread of its own, so that a name server that does not answer cannot hold the
// request past its deadline; shared with that thread, which may outlive the wait.
struct Resolution {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int error = 0;
  AddressList addresses;
};

// An address needs no name server, and no thread to wait for one.
AddressList NumericAddress(const std::wstring& host, const std::wstring& service) {
  ADDRINFOW hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  if (::GetAddrInfoW(host.c_str(), service.c_str(), &hints, &found) != 0) return nullptr;
  return AddressList(found);
}

AddressList Resolve(const std::string& host, uint16_t port, const Deadline& deadline) {
  if (AddressList address = NumericAddress(Utf8ToWide(host), std::to_wstring(port))) return address;
  auto resolution = std::make_shared<Resolution>();
  const auto resolve = [resolution, name = Utf8ToWide(host), service = std::to_wstring(port)] {
    const platform::windows::WinsockSession winsock;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    const int error =
        winsock.Ready() ? ::GetAddrInfoW(name.c_str(), service.c_str(), &hints, &found) : WSANOTINITIALISED;
    const std::lock_guard lock(resolution->mutex);
    resolution->error = error;
    resolution->addresses.reset(found);
    resolution->finished = true;
    resolution->done.notify_all();
  };
  if (!platform::StartDetachedThread(resolve)) resolve();
  std::unique_lock lock(resolution->mutex);
  if (!resolution->done.wait_for(lock, deadline.Remaining(), [&resolution] { return resolution->finished; }))
    FailOnTime();
  if (resolution->error != 0) FailOnSocket(resolution->error);
  return std::move(resolution->addresses);
}

timeval Timeval(milliseconds limit) {
  return timeval{static_cast<long>(limit.count() / 1000), static_cast<long>((limit.count() % 1000) * 1000)};
}

// Waits until the socket can be read (or written); false when the time is up first.
bool WaitFor(SOCKET socket, bool writing, milliseconds limit) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval timeout = Timeval(limit);
  const int count = ::select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &failed, &timeout);
  if (count == SOCKET_ERROR) FailOnSocket(::WSAGetLastError());
  return count > 0;
}

int PendingError(SOCKET socket) {
  int error = 0;
  int size = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
    return ::WSAGetLastError();
  return error;
}

}  // namespace

WindowsConnection::WindowsConnection(const std::string& host, uint16_t port, milliseconds connectTimeout,
                                     const Deadline& deadline) {
  if (!winsock_.Ready()) FailOnSocket(WSANOTINITIALISED);
  Connect(host, port, connectTimeout, deadline);
}

// Each address in turn, as long as the connection's own bound allows.
void WindowsConnection::Connect(const std::string& host, uint16_t port, milliseconds connectTimeout,
                                const Deadline& deadline) {
  const AddressList addresses = Resolve(host, port, deadline);
  const Deadline connecting(std::min(connectTimeout, deadline.Remaining()));
  int lastError = WSAECONNREFUSED;
  for (const ADDRINFOW* address = addresses.get(); address != nullptr; address = address->ai_next) {
    platform::windows::UniqueSocket candidate(::WSASocketW(address->ai_family, address->ai_socktype,
                                                           address->ai_protocol, nullptr, 0,
                                                           WSA_FLAG_NO_HANDLE_INHERIT));
    if (!candidate) {
      lastError = ::WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(candidate.get(), FIONBIO, &nonBlocking);
    // The request goes out as a head and a body; Nagle's wait for the head's acknowledgement would
    // hold the body back.
    const BOOL noDelay = TRUE;
    ::setsockopt(candidate.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
    int error = 0;
    if (::connect(candidate.get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
      error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        if (!WaitFor(candidate.get(), true, connecting.Remaining())) {
          if (deadline.Passed()) FailOnTime();
          throw ConnectionFault(TransportFailure::TimedOut,
                                "сервер не принял соединение за отведенное время");
        }
        error = PendingError(candidate.get());
      }
    }
    if (error == 0) {
      socket_ = std::move(candidate);
      return;
    }
    lastError = error;
  }
  FailOnSocket(lastError);
}

void WindowsConnection::SendRaw(std::string_view bytes, const Deadline& deadline) {
  while (!bytes.empty()) {
    const int size = static_cast<int>(std::min<size_t>(bytes.size(), 64 * 1024));
    const int sent = ::send(socket_.get(), bytes.data(), size, 0);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) FailOnSocket(error);
    if (!WaitFor(socket_.get(), true, deadline.Remaining())) FailOnTime();
  }
}

size_t WindowsConnection::ReceiveRaw(char* buffer, size_t size, const Deadline& deadline) {
  if (!putBack_.empty()) {
    const size_t taken = std::min(size, putBack_.size());
    std::copy_n(putBack_.data(), taken, buffer);
    putBack_.erase(0, taken);
    return taken;
  }
  while (true) {
    const int got = ::recv(socket_.get(), buffer, static_cast<int>(size), 0);
    if (got >= 0) return static_cast<size_t>(got);
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) FailOnSocket(error);
    if (!WaitFor(socket_.get(), false, deadline.Remaining())) FailOnTime();
  }
}

void WindowsConnection::Send(std::string_view bytes, const Deadline& deadline) {
  if (secure_) {
    SendSecure(bytes, deadline);
  } else {
    SendRaw(bytes, deadline);
  }
}

std::string_view WindowsConnection::Receive(const Deadline& deadline) {
  if (secure_) return ReceiveSecure(deadline);
  if (ended_) return {};
  received_.resize(kReceiveChunk);
  received_.resize(ReceiveRaw(received_.data(), received_.size(), deadline));
  if (received_.empty()) {
    ended_ = true;
    // Without TLS the connection's end is the only end there is.
    cleanEnd_ = true;
  }
  return received_;
}

void WindowsConnection::ReceiveMore(std::string& into, const Deadline& deadline) {
  char buffer[kReceiveChunk];
  const size_t got = ReceiveRaw(buffer, sizeof buffer, deadline);
  if (got == 0) {
    throw ConnectionFault(TransportFailure::SecureChannel,
                          "сервер закрыл соединение во время согласования TLS");
  }
  into.append(buffer, got);
}

void WindowsConnection::StartTls(const std::string& serverName, const Deadline& deadline) {
  // TLS 1.2 alone: it is what every system's SChannel speaks with these credentials, and in it an
  // alert travels under its own record type, which tells the server's close_notify from a
  // connection cut short also where SChannel reports the alert as nothing decrypted (Wine).
  SCHANNEL_CRED settings{};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  const SECURITY_STATUS acquired =
      ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                  &settings, nullptr, nullptr, credentials_.put(), nullptr);
  if (acquired != SEC_E_OK) throw ConnectionFault(TransportFailure::SecureChannel, SecurityText(acquired));
  credentials_.Keep();
  serverName_ = Utf8ToWide(serverName);
  Handshake({}, false, deadline);
  VerifyServerCertificate();
  const SECURITY_STATUS sized = ::QueryContextAttributesW(context_.get(), SECPKG_ATTR_STREAM_SIZES, &sizes_);
  if (sized != SEC_E_OK) throw ConnectionFault(TransportFailure::SecureChannel, SecurityText(sized));
  secure_ = true;
}

// The handshake's exchange of tokens; when `renegotiating`, the server asked for a new handshake on a
// context that stands, and `input` holds what it sent for it.
void WindowsConnection::Handshake(std::string input, bool renegotiating, const Deadline& deadline) {
  constexpr ULONG kRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;
  bool first = !renegotiating;
  bool mayRead = renegotiating && input.empty();
  while (true) {
    if (mayRead && input.empty()) ReceiveMore(input, deadline);
    mayRead = true;
    SecBuffer in[2] = {{static_cast<ULONG>(input.size()), SECBUFFER_TOKEN, input.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        ::InitializeSecurityContextW(credentials_.get(), first ? nullptr : context_.get(), serverName_.data(),
                                     kRequirements, 0, 0, first ? nullptr : &inDescription, 0,
                                     first ? context_.put() : nullptr, &outDescription, &attributes, nullptr);
    const ContextBuffer token(out[0].pvBuffer);
    if (first && status >= 0) context_.Keep();
    first = false;
    if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr) {
      const std::string_view bytes(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
      if (status >= 0) {
        SendRaw(bytes, deadline);
      } else {
        // The alert that tells the server why; the failure stands whether or not it goes out.
        try {
          SendRaw(bytes, deadline);
        } catch (const ConnectionFault&) {
        }
      }
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      ReceiveMore(input, deadline);
      mayRead = false;
      continue;
    }
    input = in[1].BufferType == SECBUFFER_EXTRA ? input.substr(input.size() - in[1].cbBuffer) : std::string();
    if (status == SEC_I_CONTINUE_NEEDED) continue;
    // The server asks for a client certificate; the request goes on without one.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      mayRead = false;
      continue;
    }
    if (status == SEC_E_OK) {
      // What came after the handshake is the first of the server's records.
      encrypted_ = std::move(input) + encrypted_;
      return;
    }
    throw ConnectionFault(
        IsCertificateFault(status) ? TransportFailure::CertificateRejected : TransportFailure::SecureChannel,
        SecurityText(status));
  }
}

// The checks WinHTTP makes: a chain to a root the system trusts, for a server's use, and the name
// the request was made for.
void WindowsConnection::VerifyServerCertificate() {
  PCCERT_CONTEXT presented = nullptr;
  if (::QueryContextAttributesW(context_.get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &presented) != SEC_E_OK ||
      presented == nullptr) {
    throw ConnectionFault(TransportFailure::CertificateRejected, "сервер не предъявил сертификат");
  }
  const std::unique_ptr<const CERT_CONTEXT, CertificateFree> certificate(presented);
  char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {serverAuthentication};
  CERT_CHAIN_PARA chainParameters{};
  chainParameters.cbSize = sizeof chainParameters;
  chainParameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainParameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainParameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!::CertGetCertificateChain(nullptr, presented, nullptr, presented->hCertStore, &chainParameters, 0,
                                 nullptr, &built)) {
    throw ConnectionFault(TransportFailure::CertificateRejected,
                          SecurityText(static_cast<long>(::GetLastError())));
  }
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(built);
  // The chain's own verdict first: some systems' SSL policy (Wine's) judges only the name.
  if (const long fault = ChainFault(built->TrustStatus.dwErrorStatus); fault != 0)
    throw ConnectionFault(TransportFailure::CertificateRejected, SecurityText(fault));
  HTTPSPolicyCallbackData ssl{};
  ssl.cbStruct = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = serverName_.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, built, &policy, &verdict)) {
    throw ConnectionFault(TransportFailure::CertificateRejected,
                          SecurityText(static_cast<long>(::GetLastError())));
  }
  if (verdict.dwError != 0) {
    throw ConnectionFault(TransportFailure::CertificateRejected,
                          SecurityText(static_cast<long>(verdict.dwError)));
  }
}

void WindowsConnection::SendSecure(std::string_view bytes, const Deadline& deadline) {
  while (!bytes.empty()) {
    const size_t piece = std::min<size_t>(bytes.size(), sizes_.cbMaximumMessage);
    std::string record(sizes_.cbHeader + piece + sizes_.cbTrailer, '\0');
    std::copy_n(bytes.data(), piece, record.data() + sizes_.cbHeader);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<ULONG>(piece), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + piece},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = ::EncryptMessage(context_.get(), 0, &description, 0);
    if (status != SEC_E_OK) throw ConnectionFault(TransportFailure::ConnectionLost, SecurityText(status));
    SendRaw(std::string_view(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer),
            deadline);
    bytes.remove_prefix(piece);
  }
}

std::string_view WindowsConnection::ReceiveSecure(const Deadline& deadline) {
  while (true) {
    if (!plain_.empty()) {
      received_.swap(plain_);
      plain_.clear();
      return received_;
    }
    if (ended_) return {};
    if (!encrypted_.empty()) {
      const bool alert = static_cast<unsigned char>(encrypted_.front()) == kAlertRecord;
      SecBuffer buffers[4] = {{static_cast<ULONG>(encrypted_.size()), SECBUFFER_DATA, encrypted_.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = ::DecryptMessage(context_.get(), &description, 0, nullptr);
      if (status == SEC_I_CONTEXT_EXPIRED) {
        ended_ = true;
        cleanEnd_ = true;
        continue;
      }
      if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE) {
        std::string extra;
        size_t decrypted = 0;
        for (const SecBuffer& buffer : buffers) {
          if (buffer.BufferType == SECBUFFER_DATA) {
            plain_.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
            decrypted += buffer.cbBuffer;
          } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            extra.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          }
        }
        encrypted_ = std::move(extra);
        if (status == SEC_I_RENEGOTIATE) {
          std::string input;
          input.swap(encrypted_);
          Handshake(std::move(input), true, deadline);
        } else if (alert && decrypted == 0) {
          // Wine's SChannel reports the server's close_notify as an alert record that decrypts to
          // nothing; Windows says SEC_I_CONTEXT_EXPIRED.
          ended_ = true;
          cleanEnd_ = true;
        }
        continue;
      }
      if (status != SEC_E_INCOMPLETE_MESSAGE)
        throw ConnectionFault(TransportFailure::ConnectionLost, SecurityText(status));
    }
    char buffer[kReceiveChunk];
    const size_t got = ReceiveRaw(buffer, sizeof buffer, deadline);
    if (got == 0) {
      // The connection ended without close_notify: whatever came may have been cut short by anyone.
      ended_ = true;
      cleanEnd_ = false;
      continue;
    }
    encrypted_.append(buffer, got);
  }
}

void WindowsConnection::CloseTls() {
  if (!secure_ || ended_) return;
  DWORD shutdown = SCHANNEL_SHUTDOWN;
  SecBuffer control[1] = {{sizeof shutdown, SECBUFFER_TOKEN, &shutdown}};
  SecBufferDesc controlDescription{SECBUFFER_VERSION, 1, control};
  if (::ApplyControlToken(context_.get(), &controlDescription) != SEC_E_OK) return;
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc outDescription{SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  const SECURITY_STATUS status =
      ::InitializeSecurityContextW(credentials_.get(), context_.get(), serverName_.data(),
                                   ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM,
                                   0, 0, nullptr, 0, nullptr, &outDescription, &attributes, nullptr);
  const ContextBuffer token(out[0].pvBuffer);
  if (status < 0 || out[0].cbBuffer == 0 || out[0].pvBuffer == nullptr) return;
  // One try, without waiting: a server that does not take it has the answer read already.
  ::send(socket_.get(), static_cast<const char*>(out[0].pvBuffer), static_cast<int>(out[0].cbBuffer), 0);
}

}  // namespace tallowmer
