// The Linux transport: libcurl with OpenSSL. One easy handle, configured once in the constructor,
// carries every request; the connection is opened fresh for each request and closed at its end.

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

#include "common/Unicode.h"
#include "service/HttpAnswerReader.h"
#include "service/HttpTransport.h"
#include "service/ProxyChoice.h"

namespace tallowmer {
namespace {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHeaderList = std::unique_ptr<curl_slist, CurlListDeleter>;

struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

// Where a TLS context keeps its transport, for OpenSSL's callbacks, which know only the connection.
int TransportIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// curl_global_init is not thread-safe; running it once before the first handle keeps it that way.
CURLcode InitialiseCurl() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  return result;
}

// The one place where a curl failure becomes our failure text: the detailed message curl wrote for
// this transfer when there is one, else the generic text of the code.
std::string DescribeCurlFailure(CURLcode code, const char* errorBuffer) {
  if (errorBuffer != nullptr && errorBuffer[0] != '\0') return errorBuffer;
  return curl_easy_strerror(code);
}

// The one place where a curl failure becomes a kind of the transport contract.
TransportFailure CurlFailureKind(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return TransportFailure::BadUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return TransportFailure::NameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return TransportFailure::ConnectionRefused;
    case CURLE_OPERATION_TIMEDOUT:
      return TransportFailure::TimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return TransportFailure::CertificateRejected;
    case CURLE_SSL_CONNECT_ERROR:
      return TransportFailure::SecureChannel;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return TransportFailure::ConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return TransportFailure::ProtocolError;
    default:
      return TransportFailure::Other;
  }
}

CurlHeaderList MakeHeaderList(std::initializer_list<const char*> lines) {
  CurlHeaderList list;
  for (const char* line : lines) {
    curl_slist* extended = curl_slist_append(list.get(), line);
    if (extended == nullptr) return nullptr;
    static_cast<void>(list.release());
    list.reset(extended);
  }
  return list;
}

struct X509StoreDeleter {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreDeleter>;

// The certificates every connection is verified against: the system store (or its replacement)
// and the extra files when they exist. Built once, since curl would read the system bundle again
// for each connection, which takes far longer than a whole request on a local network.
X509StorePtr BuildTrustStore(CURL* handle, const TransportOptions& options) {
  X509StorePtr store(X509_STORE_new());
  if (!store) return store;
  if (options.systemCaBundle.empty()) {
    char* bundle = nullptr;
    char* folder = nullptr;
    curl_easy_getinfo(handle, CURLINFO_CAINFO, &bundle);
    curl_easy_getinfo(handle, CURLINFO_CAPATH, &folder);
    if (bundle != nullptr) X509_STORE_load_file(store.get(), bundle);
    if (folder != nullptr) X509_STORE_load_path(store.get(), folder);
  } else {
    X509_STORE_load_file(store.get(), options.systemCaBundle.c_str());
  }
  for (const std::string* extra : {&options.extraCaBundle, &options.processCaFile}) {
    if (extra->empty()) continue;
    BioPtr file(BIO_new_file(extra->c_str(), "r"));
    while (file) {
      X509Ptr certificate(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
      if (!certificate) break;
      X509_STORE_add_cert(store.get(), certificate.get());
    }
  }
  // As curl does with its own store: a trusted intermediate is anchor enough.
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  // A missing bundle, the end of a PEM file or a certificate present twice leave errors on OpenSSL's
  // queue that are no failure here.
  ERR_clear_error();
  return store;
}

class CurlTransport final : public IHttpTransport {
 public:
  explicit CurlTransport(const TransportOptions& options);
  // libcurl holds `this` for its callbacks: the transport stays where it was made.
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;
  CurlTransport(CurlTransport&&) = delete;
  CurlTransport& operator=(CurlTransport&&) = delete;

  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override;

 private:
  template <typename Value>
  void Configure(CURLoption option, Value value) {
    const CURLcode code = curl_easy_setopt(handle_.get(), option, value);
    if (code != CURLE_OK && setupError_.empty()) setupError_ = DescribeCurlFailure(code, nullptr);
  }

  HttpAnswer Run(HttpVerb verb, const std::string& url, std::string_view body);
  HttpAnswer Failed(CURLcode code) const;
  void NoteTraffic();
  void FlushSentHeaders();
  void FlushReceivedHeaders();

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static int OnDebug(CURL* handle, curl_infotype type, char* data, size_t size, void* self);
  static curl_socket_t OnOpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address);
  static int OnCloseSocket(void* self, curl_socket_t socket);
  static CURLcode OnSslContext(CURL* handle, void* sslContext, void* self);
  static void OnTlsEvent(const SSL* ssl, int where, int value);

  CurlEasyHandle handle_;
  CurlHeaderList getHeaders_;
  CurlHeaderList postHeaders_;
  X509StorePtr trustStore_;
  // Set when the handle could not be configured; every request then fails with it.
  std::string setupError_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};

  // The request in progress.
  IHttpEvents* events_ = nullptr;
  ProxyRoute route_;
  // Through a proxy, the head of the CONNECT request and of the proxy's answer pass the debug
  // callback before the TLS handshake; they are the proxy's business (and may carry its
  // credentials), not the service's exchange, and stay out of the log.
  bool tunnelling_ = false;
  // Whether the request's head went out to the service: a failure after it is the answer's.
  bool requestSent_ = false;
  // Whether the server ended TLS with close_notify, the one end that vouches for a body without a
  // length: libcurl takes a connection cut by anyone on the way for the same.
  bool closeNotified_ = false;
  std::string* body_ = nullptr;
  // libcurl reads heads and bodies leniently; the answer's rules are kept here, as the other
  // platform's transport keeps them, and a broken rule ends the transfer with its own fault.
  AnswerHeadRules head_;
  std::optional<AnswerFault> bodyFault_;
  std::vector<curl_socket_t> openSockets_;
  bool connected_ = false;
  // curl passes on the received header lines one by one, and a request's head of more than 64 KB in
  // pieces; the log shows each head as one block, as the other platform's transport does, so that
  // the token in the request line is masked whatever its length.
  std::string sentHeaders_;
  std::string receivedHeaders_;
};

CurlTransport::CurlTransport(const TransportOptions& options) {
  if (InitialiseCurl() != CURLE_OK) {
    setupError_ = "libcurl could not be initialised";
    return;
  }
  handle_.reset(curl_easy_init());
  if (!handle_) {
    setupError_ = "libcurl could not create a handle";
    return;
  }
  // A request without a body names no content type; POST always carries the JSON type, even empty.
  // "Expect:" keeps curl from waiting for a 100 Continue the service never sends.
  getHeaders_ = MakeHeaderList({"Accept: */*"});
  postHeaders_ = MakeHeaderList({"Accept: */*", "Content-Type: application/json; charset=utf-8", "Expect:"});
  if (!getHeaders_ || !postHeaders_) setupError_ = "Out of memory";
  trustStore_ = BuildTrustStore(handle_.get(), options);
  if (!trustStore_) setupError_ = "Out of memory";

  Configure(CURLOPT_ERRORBUFFER, errorBuffer_);
  Configure(CURLOPT_NOSIGNAL, 1L);
  Configure(CURLOPT_PROTOCOLS_STR, "http,https");
  Configure(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  Configure(CURLOPT_FOLLOWLOCATION, 0L);
  // Each request names its proxy or none (ProxyChoice): curl's own reading of the environment would
  // leave the log unable to say which was used. Through a proxy, the request travels in a tunnel, so
  // the proxy never sees the request line with the token.
  Configure(CURLOPT_HTTPPROXYTUNNEL, 1L);
  // An empty exception list: the choice above has applied no_proxy already.
  Configure(CURLOPT_NOPROXY, "");
  Configure(CURLOPT_FRESH_CONNECT, 1L);
  Configure(CURLOPT_FORBID_REUSE, 1L);
  Configure(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
  Configure(CURLOPT_TIMEOUT_MS, static_cast<long>(options.requestTimeout.count()));

  Configure(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  Configure(CURLOPT_SSL_VERIFYPEER, 1L);
  Configure(CURLOPT_SSL_VERIFYHOST, 2L);
  // curl loads no store of its own; each new TLS context gets ours.
  Configure(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
  Configure(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  Configure(CURLOPT_SSL_CTX_FUNCTION, &CurlTransport::OnSslContext);
  Configure(CURLOPT_SSL_CTX_DATA, this);

  Configure(CURLOPT_WRITEFUNCTION, &CurlTransport::OnBody);
  Configure(CURLOPT_WRITEDATA, this);
  Configure(CURLOPT_HEADERFUNCTION, &CurlTransport::OnHeader);
  Configure(CURLOPT_HEADERDATA, this);
  // The proxy's answer to CONNECT is the proxy's business, not a head of the service's answer.
  Configure(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  Configure(CURLOPT_VERBOSE, 1L);
  Configure(CURLOPT_DEBUGFUNCTION, &CurlTransport::OnDebug);
  Configure(CURLOPT_DEBUGDATA, this);
  Configure(CURLOPT_OPENSOCKETFUNCTION, &CurlTransport::OnOpenSocket);
  Configure(CURLOPT_OPENSOCKETDATA, this);
  Configure(CURLOPT_CLOSESOCKETFUNCTION, &CurlTransport::OnCloseSocket);
  Configure(CURLOPT_CLOSESOCKETDATA, this);
}

HttpAnswer CurlTransport::Execute(HttpVerb verb, const std::string& url, std::string_view body,
                                  IHttpEvents* events) noexcept {
  if (!setupError_.empty()) return HttpAnswer::Failed(TransportFailure::Other, setupError_);
  events_ = events;
  HttpAnswer answer;
  try {
    answer = Run(verb, url, body);
  } catch (const std::exception& error) {
    answer = HttpAnswer::Failed(TransportFailure::Other, error.what());
  }
  events_ = nullptr;
  body_ = nullptr;
  return answer;
}

HttpAnswer CurlTransport::Run(HttpVerb verb, const std::string& url, std::string_view body) {
  CURL* handle = handle_.get();
  HttpAnswer answer;
  errorBuffer_[0] = '\0';
  openSockets_.clear();
  connected_ = false;
  sentHeaders_.clear();
  receivedHeaders_.clear();
  body_ = &answer.body;
  head_ = AnswerHeadRules();
  bodyFault_.reset();
  route_ = SystemProxyRoute(url);
  tunnelling_ = !route_.Direct();
  requestSent_ = false;
  closeNotified_ = false;

  // curl reads POSTFIELDS from its callback when given a null pointer, so an empty body needs a
  // real (empty) buffer.
  static constexpr char kEmptyBody[] = "";
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROXY, route_.proxy.c_str());
  if (code == CURLE_OK && verb == HttpVerb::Post) {
    code = curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.empty() ? kEmptyBody : body.data());
    if (code == CURLE_OK) {
      code = curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, postHeaders_.get());
  } else if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, getHeaders_.get());
  }
  if (code == CURLE_OK) code = curl_easy_perform(handle);

  if (code != CURLE_OK) return Failed(code);
  const char* scheme = nullptr;
  curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme);
  const bool secure = scheme != nullptr && SameNameAscii(std::string_view(scheme), std::string_view("https"));
  if (head_.FinalHeadComplete() && head_.Framing() == BodyFraming::UntilClose && secure && !closeNotified_) {
    return HttpAnswer::Failed(TransportFailure::ConnectionLost,
                              "соединение закрыто без завершения TLS: тело ответа могло быть обрезано");
  }
  long status = -1;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int32_t>(status);
  const char* contentType = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType != nullptr) {
    answer.contentType = contentType;
  }
  return answer;
}

// curl names an unusable answer as it names an unusable URL (an HTTP/0.9 reply is "unsupported
// protocol"), and a proxy's refusal of the tunnel as a failed receive; what happened before the
// failure tells them apart.
HttpAnswer CurlTransport::Failed(CURLcode code) const {
  if (const std::optional<AnswerFault>& fault = head_.Fault())
    return HttpAnswer::Failed(fault->kind, fault->detail);
  if (bodyFault_) return HttpAnswer::Failed(bodyFault_->kind, bodyFault_->detail);
  const std::string words = DescribeCurlFailure(code, errorBuffer_);
  long tunnelStatus = 0;
  curl_easy_getinfo(handle_.get(), CURLINFO_HTTP_CONNECTCODE, &tunnelStatus);
  if (!route_.Direct() && tunnelStatus >= 300) {
    return HttpAnswer::Failed(TransportFailure::ProxyRefused, ProxyRefusalDetail(route_.shown, words));
  }
  if (code == CURLE_UNSUPPORTED_PROTOCOL && requestSent_)
    return HttpAnswer::Failed(TransportFailure::ProtocolError, words);
  return HttpAnswer::Failed(CurlFailureKind(code), words);
}

// curl has no "connected" event; the first bytes over a socket it opened mark the moment the
// connection stands (the TLS hello comes right after the TCP handshake).
void CurlTransport::NoteTraffic() {
  if (connected_ || openSockets_.empty()) return;
  connected_ = true;
  if (events_ != nullptr) events_->OnConnected(route_.shown);
}

void CurlTransport::FlushSentHeaders() {
  if (sentHeaders_.empty()) return;
  if (events_ != nullptr) events_->OnSent(sentHeaders_);
  sentHeaders_.clear();
}

void CurlTransport::FlushReceivedHeaders() {
  if (receivedHeaders_.empty()) return;
  if (events_ != nullptr) events_->OnReceived(receivedHeaders_);
  receivedHeaders_.clear();
}

// A return short of the bytes given ends the transfer with a write error, which Failed() reports as
// the fault noted here.
size_t CurlTransport::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* transport = static_cast<CurlTransport*>(self);
  const size_t bytes = size * count;
  return transport->head_.Line(std::string_view(data, bytes)) ? bytes : 0;
}

size_t CurlTransport::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* transport = static_cast<CurlTransport*>(self);
  const size_t bytes = size * count;
  try {
    if (transport->body_ == nullptr) return bytes;
    if (bytes > kAnswerBodyLimit - transport->body_->size()) {
      transport->bodyFault_ =
          AnswerFault{TransportFailure::AnswerTooLarge,
                      "тело ответа длиннее " + std::to_string(kAnswerBodyLimit) + " байт"};
      return 0;
    }
    transport->body_->append(data, bytes);
    return bytes;
  } catch (...) {
    return 0;
  }
}

int CurlTransport::OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
  auto* transport = static_cast<CurlTransport*>(self);
  const std::string_view bytes(data, size);
  if (transport->tunnelling_) {
    if (type == CURLINFO_SSL_DATA_OUT) transport->tunnelling_ = false;
    if (type == CURLINFO_HEADER_OUT || type == CURLINFO_HEADER_IN) {
      transport->NoteTraffic();
      return 0;
    }
  }
  switch (type) {
    case CURLINFO_HEADER_OUT:
      transport->requestSent_ = true;
      transport->NoteTraffic();
      try {
        transport->sentHeaders_.append(bytes);
      } catch (...) {
        // Out of memory: the head is not logged rather than logged unmasked in pieces.
        transport->sentHeaders_.clear();
      }
      if (transport->sentHeaders_.size() >= 4 &&
          transport->sentHeaders_.compare(transport->sentHeaders_.size() - 4, 4, "\r\n\r\n") == 0) {
        transport->FlushSentHeaders();
      }
      break;
    case CURLINFO_DATA_OUT:
      transport->NoteTraffic();
      transport->FlushSentHeaders();
      if (transport->events_ != nullptr) transport->events_->OnSent(bytes);
      break;
    case CURLINFO_HEADER_IN:
      transport->NoteTraffic();
      transport->FlushSentHeaders();
      try {
        transport->receivedHeaders_.append(bytes);
      } catch (...) {
        transport->FlushReceivedHeaders();
        if (transport->events_ != nullptr) transport->events_->OnReceived(bytes);
      }
      // The empty line ends the head.
      if (bytes == "\r\n") transport->FlushReceivedHeaders();
      break;
    case CURLINFO_DATA_IN:
      transport->NoteTraffic();
      transport->FlushReceivedHeaders();
      if (transport->events_ != nullptr) transport->events_->OnReceived(bytes);
      break;
    case CURLINFO_SSL_DATA_OUT:
    case CURLINFO_SSL_DATA_IN:
      transport->NoteTraffic();
      break;
    default:
      break;
  }
  return 0;
}

curl_socket_t CurlTransport::OnOpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address) {
  auto* transport = static_cast<CurlTransport*>(self);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (socket == CURL_SOCKET_BAD) return socket;
  try {
    transport->openSockets_.push_back(socket);
  } catch (...) {
    ::close(socket);
    return CURL_SOCKET_BAD;
  }
  return socket;
}

// Several sockets may be tried for one connection (IPv6 and IPv4 of one name); the connection is
// gone when the last of them closes.
int CurlTransport::OnCloseSocket(void* self, curl_socket_t socket) {
  auto* transport = static_cast<CurlTransport*>(self);
  auto& open = transport->openSockets_;
  open.erase(std::remove(open.begin(), open.end(), socket), open.end());
  const int result = ::close(socket);
  if (open.empty() && transport->connected_) {
    transport->FlushSentHeaders();
    transport->FlushReceivedHeaders();
    transport->connected_ = false;
    if (transport->events_ != nullptr) transport->events_->OnDisconnected();
  }
  return result;
}

CURLcode CurlTransport::OnSslContext(CURL*, void* sslContext, void* self) {
  auto* transport = static_cast<CurlTransport*>(self);
  auto* context = static_cast<SSL_CTX*>(sslContext);
  if (X509_STORE_up_ref(transport->trustStore_.get()) != 1) return CURLE_OUT_OF_MEMORY;
  SSL_CTX_set_cert_store(context, transport->trustStore_.get());
  // libcurl lets a connection that ends without close_notify pass for a clean end; the alert is
  // watched for here.
  if (SSL_CTX_set_ex_data(context, TransportIndex(), transport) != 1) return CURLE_OUT_OF_MEMORY;
  SSL_CTX_set_info_callback(context, &CurlTransport::OnTlsEvent);
  return CURLE_OK;
}

void CurlTransport::OnTlsEvent(const SSL* ssl, int where, int value) {
  // The alert the server sent, not the one libcurl sends when it closes.
  if ((where & SSL_CB_READ_ALERT) != SSL_CB_READ_ALERT || (value & 0xFF) != SSL_AD_CLOSE_NOTIFY) return;
  auto* transport = static_cast<CurlTransport*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransportIndex()));
  if (transport != nullptr) transport->closeNotified_ = true;
}

}  // namespace

ProxyRoute SystemProxyRoute(const std::string& url) {
  return ChooseProxyFromEnvironment(url, [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
  });
}

std::unique_ptr<IHttpTransport> CreateDefaultTransport(const TransportOptions& options) {
  return std::make_unique<CurlTransport>(options);
}

}  // namespace tallowmer
