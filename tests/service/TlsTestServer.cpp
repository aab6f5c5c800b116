#include "tests/service/TlsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "tests/support/OpenSslOwners.h"

namespace tallowmer::testing {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test server: ") + what);
}

int BoundLoopbackSocket(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Check(fd >= 0, "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  Check(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

size_t ContentLength(const std::string& headers) {
  std::string lower(headers);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

}  // namespace

std::string HttpAnswerBytes(int status, const std::string& reason, const std::string& contentType,
                            const std::string& body, const std::string& extraHeaders) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (!contentType.empty()) answer += "Content-Type: " + contentType + "\r\n";
  answer += extraHeaders;
  answer += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return answer;
}

ScriptedTlsServer::ScriptedTlsServer(const TestPki& pki, Script script) : script_(std::move(script)) {
  // A client that gives up mid-handshake (an untrusted certificate) must not kill the test with
  // SIGPIPE when the server writes its next record.
  std::signal(SIGPIPE, SIG_IGN);
  context_ = SSL_CTX_new(TLS_server_method());
  Check(context_ != nullptr, "SSL_CTX");
  Check(SSL_CTX_use_certificate_file(context_, pki.CertificateFile().c_str(), SSL_FILETYPE_PEM) == 1, "cert");
  Check(SSL_CTX_use_PrivateKey_file(context_, pki.KeyFile().c_str(), SSL_FILETYPE_PEM) == 1, "key");
  listener_ = BoundLoopbackSocket(port_);
  Check(::listen(listener_, 8) == 0, "listen");
  thread_ = std::thread([this] { Serve(); });
}

ScriptedTlsServer::~ScriptedTlsServer() {
  stopping_ = true;
  thread_.join();
  ::close(listener_);
  SSL_CTX_free(context_);
}

std::string ScriptedTlsServer::Url(const std::string& pathAndQuery) const {
  return "https://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
}

std::vector<ScriptedTlsServer::Connection> ScriptedTlsServer::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void ScriptedTlsServer::Serve() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 20) <= 0) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int socket = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (socket < 0) continue;
    HandleConnection(socket, ntohs(peer.sin_port));
    ::close(socket);
  }
}

void ScriptedTlsServer::HandleConnection(int socket, int peerPort) {
  const timeval limit{5, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SslPtr ssl(SSL_new(context_));
  SSL_set_fd(ssl.get(), socket);
  if (SSL_accept(ssl.get()) != 1) {
    ERR_clear_error();
    return;
  }
  std::string request;
  size_t headerEnd = std::string::npos;
  char buffer[4096];
  while (true) {
    if (headerEnd == std::string::npos) {
      headerEnd = request.find("\r\n\r\n");
      if (headerEnd != std::string::npos) headerEnd += 4;
    }
    if (headerEnd != std::string::npos &&
        request.size() >= headerEnd + ContentLength(request.substr(0, headerEnd)))
      break;
    const int read = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (read <= 0) break;
    request.append(buffer, static_cast<size_t>(read));
  }
  {
    std::lock_guard lock(mutex_);
    connections_.push_back({peerPort, request});
  }
  const std::string answer = script_(request);
  if (!answer.empty()) SSL_write(ssl.get(), answer.data(), static_cast<int>(answer.size()));
  SSL_shutdown(ssl.get());
  ERR_clear_error();
}

SilentPort::SilentPort() {
  socket_ = BoundLoopbackSocket(port_);
  Check(::listen(socket_, 8) == 0, "listen");
}

SilentPort::~SilentPort() {
  ::close(socket_);
}

}  // namespace tallowmer::testing
