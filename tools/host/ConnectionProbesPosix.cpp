// The connection check's probes on Linux: getaddrinfo, a non-blocking connect, and OpenSSL for a
// handshake that accepts any certificate so that an untrusted one can still be described; its trust
// is then judged apart, against the system store and against it with SSL/ca-bundle.pem.

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "platform/posix/FileDescriptor.h"
#include "tools/host/ConnectionProbes.h"

namespace tallowmer::host {
namespace {

using Socket = platform::FileDescriptor;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
void FreeBio(BIO* bio) {
  BIO_free(bio);
}
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, FreeBio>>;

std::string ConnectError(int error, std::chrono::milliseconds timeout) {
  if (error == ECONNREFUSED) return "подключение отклонено: порт закрыт или сервис не запущен";
  if (error == ETIMEDOUT) return "нет ответа за " + std::to_string(timeout.count() / 1000) + " с";
  if (error == ENETUNREACH || error == EHOSTUNREACH) return "адрес недоступен из этой сети";
  return std::strerror(error);
}

// One address, waiting at most `timeout`; the socket is blocking again afterwards.
Socket ConnectOne(const std::string& address, int port, std::chrono::milliseconds timeout, int& error) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    error = EINVAL;
    return Socket();
  }
  std::unique_ptr<addrinfo, Deleter<addrinfo, freeaddrinfo>> info(found);
  Socket socket(::socket(info->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) {
    error = errno;
    return Socket();
  }
  const int flags = ::fcntl(socket.get(), F_GETFL);
  ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK);
  if (::connect(socket.get(), info->ai_addr, info->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      error = errno;
      return Socket();
    }
    pollfd watched{socket.get(), POLLOUT, 0};
    if (::poll(&watched, 1, static_cast<int>(timeout.count())) <= 0) {
      error = ETIMEDOUT;
      return Socket();
    }
    socklen_t length = sizeof error;
    ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) return Socket();
  }
  ::fcntl(socket.get(), F_SETFL, flags);
  timeval bound{static_cast<time_t>(timeout.count() / 1000),
                static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  error = 0;
  return socket;
}

Socket ConnectAny(const std::vector<std::string>& addresses, int port, std::chrono::milliseconds timeout,
                  std::string& connectedTo, int& error) {
  error = EINVAL;
  for (const std::string& address : addresses) {
    Socket socket = ConnectOne(address, port, timeout, error);
    if (socket.get() >= 0) {
      connectedTo = (address.find(':') == std::string::npos ? address : "[" + address + "]") + ":" +
                    std::to_string(port);
      return socket;
    }
  }
  return Socket();
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(length));
  return out;
}

// Asks the proxy for a tunnel to host:port; an empty string when it stands, else why not.
std::string OpenTunnel(int socket, const std::string& host, int port, const ProxyRoute& route) {
  const std::string target =
      (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  const size_t authority = route.proxy.find("://") == std::string::npos ? 0 : route.proxy.find("://") + 3;
  const size_t at = route.proxy.rfind('@');
  if (at != std::string::npos && at > authority)
    request += "Proxy-Authorization: Basic " + Base64(route.proxy.substr(authority, at - authority)) + "\r\n";
  request += "\r\n";
  if (::send(socket, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    return "прокси не принял запрос";
  std::string answer;
  char buffer[1024];
  while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 16 * 1024) {
    const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0) return "прокси закрыл соединение";
    answer.append(buffer, static_cast<size_t>(got));
  }
  const std::string statusLine = answer.substr(0, answer.find("\r\n"));
  if (statusLine.find(" 200") == std::string::npos) return "прокси отказал в туннеле: " + statusLine;
  return "";
}

std::string NameText(X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || name == nullptr) return "";
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm moment{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &moment) != 1) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &moment);
  return text;
}

// Whether the chain verifies against `store`; the reason when it does not.
bool Verifies(X509_STORE* store, X509* certificate, STACK_OF(X509) * chain, std::string& reason) {
  StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store, certificate, chain) != 1) {
    reason = "проверка не выполнена";
    return false;
  }
  if (X509_verify_cert(context.get()) == 1) return true;
  reason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
  return false;
}

StorePtr SystemStore() {
  StorePtr store(X509_STORE_new());
  if (store) {
    X509_STORE_set_default_paths(store.get());
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  }
  return store;
}

// The socket to talk TLS over: to the service itself, or through the proxy's tunnel to it. `error`
// says why there is none.
Socket ConnectForTls(const std::string& host, int port, const ProxyRoute& route,
                     std::chrono::milliseconds timeout, std::string& error) {
  std::string connectedTo;
  int connectError = 0;
  if (route.Direct()) {
    Socket socket = ConnectAny(ResolveName(host).addresses, port, timeout, connectedTo, connectError);
    if (socket.get() < 0) error = ConnectError(connectError, timeout);
    return socket;
  }
  const std::string shown =
      route.shown.substr(route.shown.find("://") == std::string::npos ? 0 : route.shown.find("://") + 3);
  const size_t colon = shown.rfind(':');
  const int proxyPort = colon == std::string::npos ? 1080 : std::atoi(shown.c_str() + colon + 1);
  Socket socket = ConnectAny(ResolveName(shown.substr(0, colon)).addresses, proxyPort, timeout, connectedTo,
                             connectError);
  if (socket.get() < 0) {
    error = ConnectError(connectError, timeout);
    return socket;
  }
  error = OpenTunnel(socket.get(), host, port, route);
  return socket;
}

// The handshake accepts any certificate, so that an untrusted one can still be described; empty
// when it came about, else why not.
std::string Handshake(SSL* ssl, int socket, const std::string& host, bool numericHost) {
  if (!numericHost) SSL_set_tlsext_host_name(ssl, host.c_str());
  SSL_set_fd(ssl, socket);
  ERR_clear_error();
  if (SSL_connect(ssl) == 1) return "";
  const unsigned long code = ERR_get_error();
  char text[256] = "рукопожатие прервано";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return std::string("рукопожатие TLS не удалось: ") + text;
}

void DescribeCertificate(X509* certificate, const std::string& host, bool numericHost, TlsFacts& facts) {
  facts.subject = NameText(X509_get_subject_name(certificate));
  facts.issuer = NameText(X509_get_issuer_name(certificate));
  facts.notAfter = TimeText(X509_get0_notAfter(certificate));
  facts.expired = X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0;
  facts.nameMatches = numericHost ? X509_check_ip_asc(certificate, host.c_str(), 0) == 1
                                  : X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1;
}

// The files among `extraFiles` that are there: a missing bundle is no error, only nothing to add.
std::vector<std::string> ExistingFiles(const std::vector<std::string>& extraFiles) {
  std::vector<std::string> existing;
  std::error_code ignored;
  for (const std::string& file : extraFiles) {
    if (!file.empty() && std::filesystem::exists(file, ignored)) existing.push_back(file);
  }
  return existing;
}

// Trust twice: by the system's store alone, and by it with the files the transport also trusts.
void JudgeTrust(X509* certificate, STACK_OF(X509) * chain, const std::vector<std::string>& extraFiles,
                TlsFacts& facts) {
  const StorePtr system = SystemStore();
  facts.trustedBySystem = system && Verifies(system.get(), certificate, chain, facts.systemVerdict);
  const std::vector<std::string> files = ExistingFiles(extraFiles);
  if (files.empty()) {
    facts.bundleVerdict = "файла нет";
    return;
  }
  const StorePtr extended = SystemStore();
  for (const std::string& file : files) {
    if (extended) X509_STORE_load_file(extended.get(), file.c_str());
  }
  std::string reason;
  facts.trustedWithBundle = extended && Verifies(extended.get(), certificate, chain, reason);
  if (!facts.trustedWithBundle)
    facts.bundleVerdict = "не доверяет" + (reason.empty() ? "" : " (" + reason + ")");
}

}  // namespace

Resolved ResolveName(const std::string& host) {
  Resolved result;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (code != 0) {
    result.error = code == EAI_NONAME || code == EAI_NODATA
                       ? std::string("такого имени нет (") + gai_strerror(code) + ")"
                       : gai_strerror(code);
    return result;
  }
  std::unique_ptr<addrinfo, Deleter<addrinfo, freeaddrinfo>> info(found);
  for (const addrinfo* entry = info.get(); entry != nullptr; entry = entry->ai_next) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    if (std::find(result.addresses.begin(), result.addresses.end(), text) == result.addresses.end())
      result.addresses.emplace_back(text);
  }
  return result;
}

Connected ConnectTcp(const std::vector<std::string>& addresses, int port, std::chrono::milliseconds timeout) {
  Connected result;
  int error = 0;
  const Socket socket = ConnectAny(addresses, port, timeout, result.address, error);
  if (socket.get() < 0) result.error = ConnectError(error, timeout);
  return result;
}

TlsFacts InspectTls(const std::string& host, int port, const ProxyRoute& route,
                    const std::vector<std::string>& extraFiles, std::chrono::milliseconds timeout) {
  TlsFacts facts;
  const Socket socket = ConnectForTls(host, port, route, timeout, facts.error);
  if (!facts.error.empty()) return facts;
  const SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
  const SslPtr ssl(context ? SSL_new(context.get()) : nullptr);
  if (!ssl) {
    facts.error = "OpenSSL не готов";
    return facts;
  }
  SSL_set_min_proto_version(ssl.get(), TLS1_2_VERSION);
  SSL_set_verify(ssl.get(), SSL_VERIFY_NONE, nullptr);
  const bool numericHost = ResolveName(host).addresses == std::vector<std::string>{host};
  facts.error = Handshake(ssl.get(), socket.get(), host, numericHost);
  if (!facts.error.empty()) return facts;
  facts.protocol = SSL_get_version(ssl.get());
  const X509Ptr certificate(SSL_get1_peer_certificate(ssl.get()));
  if (!certificate) {
    facts.error = "сервер не предъявил сертификат";
    return facts;
  }
  DescribeCertificate(certificate.get(), host, numericHost, facts);
  JudgeTrust(certificate.get(), SSL_get_peer_cert_chain(ssl.get()), extraFiles, facts);
  ERR_clear_error();
  SSL_shutdown(ssl.get());
  return facts;
}

}  // namespace tallowmer::host
