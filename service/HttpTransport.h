#pragma once

// The HTTP client under THTTPRest: one request at a time, a fresh connection for each, no
// redirections followed. Each platform supplies one implementation (libcurl on Linux); the log and
// the request logic above it stay the same everywhere.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace tallowmer {

// Bounds for one request: the service answers in well under a second, and a cashier waiting longer
// than this is better served by an error than by a frozen till.
inline constexpr std::chrono::milliseconds kConnectTimeout{10'000};
inline constexpr std::chrono::milliseconds kRequestTimeout{30'000};

// The most an answer may bring. The service answers with a few kilobytes; a server that sends more
// is broken or hostile, and reading on would fill the till's memory and its logs.
// Every head of one answer together: interim answers, the final head and a chunked body's trailer.
inline constexpr size_t kAnswerHeadLimit = 64 * 1024;
// The body as the caller receives it, after any chunked framing.
inline constexpr size_t kAnswerBodyLimit = 1024 * 1024;

enum class HttpVerb { Get, Post };

// Why a request brought no answer: the contract every transport keeps. Each maps its library's
// failures onto these kinds in one place; the caller's text is built from the kind and the
// library's own detail (DescribeTransportFailure).
enum class TransportFailure {
  None,
  // The URL cannot be used: malformed, or a scheme other than http and https.
  BadUrl,
  NameNotResolved,
  // Nothing accepts connections at the address, or the address cannot be reached.
  ConnectionRefused,
  // The connection, the request or the answer took longer than the transport's time-outs allow.
  TimedOut,
  // The server's certificate is untrusted, out of date or for another name; nothing was sent.
  CertificateRejected,
  // The TLS handshake failed for another reason.
  SecureChannel,
  // The connection broke while the request or the answer travelled, an answer cut short of its
  // declared length included.
  ConnectionLost,
  // The answer is not HTTP/1.1 as it should be: garbage, an HTTP/0.9 reply, a head that cannot be
  // read, a length or a chunk size that is no number, two lengths that disagree, an interim 101 that
  // nobody asked for.
  ProtocolError,
  // The answer's head or body is larger than the limits above allow.
  AnswerTooLarge,
  // The proxy would not open the tunnel to the service (407 for credentials, 403, 502 ...). The
  // detail names the proxy, without credentials.
  ProxyRefused,
  // Anything else: the transport could not be set up, memory ran out.
  Other,
};

// The kind's name as the code spells it ("TimedOut"), for test output and diagnostics.
const char* TransportFailureName(TransportFailure failure);
std::ostream& operator<<(std::ostream& out, TransportFailure failure);

// The Russian text the host sees for a failure: the kind's own words, then the library's detail.
std::string DescribeTransportFailure(TransportFailure failure, std::string_view detail);

// The detail of ProxyRefused: the proxy as logs may show it, then the library's words.
std::string ProxyRefusalDetail(std::string_view shownProxy, std::string_view libraryWords);

// What travels over one connection, as the log shows it: plain bytes on both sides of TLS.
class IHttpEvents {
 public:
  // `proxy` names the proxy the connection goes through, without credentials; empty when direct.
  virtual void OnConnected(std::string_view proxy) noexcept = 0;
  virtual void OnSent(std::string_view bytes) noexcept = 0;
  virtual void OnReceived(std::string_view bytes) noexcept = 0;
  virtual void OnDisconnected() noexcept = 0;

 protected:
  ~IHttpEvents() = default;
};

// A complete answer, or why none came: the kind for decisions, the library's words beside it for
// the text (DescribeTransportFailure) and the log, as a status code travels with its message.
struct HttpAnswer {
  // No answer, for the reason given.
  static HttpAnswer Failed(TransportFailure kind, std::string detail) {
    HttpAnswer answer;
    answer.failure = kind;
    answer.error = std::move(detail);
    return answer;
  }

  // The status of the answer; -1 when the request failed before a complete answer came.
  int32_t status = -1;
  // The body as received, undecoded.
  std::string body;
  // The answer's Content-Type header, empty when it named none.
  std::string contentType;
  // The library's own words on why no answer came; empty when one did.
  std::string error;
  // The kind of the failure; None when an answer came.
  TransportFailure failure = TransportFailure::None;
};

struct TransportOptions {
  std::chrono::milliseconds connectTimeout = kConnectTimeout;
  std::chrono::milliseconds requestTimeout = kRequestTimeout;
  // PEM certificates trusted in addition to the system store when the file exists. libcurl only:
  // on Windows the system's certificate store alone decides, as for every other program there.
  std::string extraCaBundle;
  // A second such file, named for one process by LS_TALLOWMER_CA_FILE: integrators and tests trust
  // a private authority (the service simulator's) without copying it beside the module.
  std::string processCaFile;
  // Replaces the system store (a PEM bundle); empty keeps the platform's own.
  std::string systemCaBundle;
};

// "<folder of the driver module>/SSL/ca-bundle.pem": where an installation puts private CAs.
std::string DefaultExtraCaBundlePath();
// The extra bundle beside the module, and the file LS_TALLOWMER_CA_FILE names when it is set.
TransportOptions DefaultTransportOptions();

class IHttpTransport {
 public:
  virtual ~IHttpTransport() = default;
  // Sends one request and reads its answer. `body` goes with POST only; `events` may be null.
  virtual HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                             IHttpEvents* events) noexcept = 0;
};

// The platform's transport.
std::unique_ptr<IHttpTransport> CreateDefaultTransport(
    const TransportOptions& options = DefaultTransportOptions());

}  // namespace tallowmer
