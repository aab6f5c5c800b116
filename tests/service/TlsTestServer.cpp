#include "tests/service/TlsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tests/support/OpenSslOwners.h"

namespace tallowmer::testing {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  Check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

CertificatePtr MakeCertificate(EVP_PKEY* key, const char* commonName, long serial, X509* issuer) {
  CertificatePtr certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : certificate.get();
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
  return certificate;
}

void WritePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
  BioPtr file(BIO_new_file(path.c_str(), "w"));
  Check(file != nullptr, "open PEM file");
  if (certificate != nullptr) Check(PEM_write_bio_X509(file.get(), certificate) == 1, "write certificate");
  if (key != nullptr) {
    Check(PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "write key");
  }
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

TestPki::TestPki(const std::string& subjectAltNames) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ls_tallowmer_pki_XXXXXX").string();
  Check(mkdtemp(pattern.data()) != nullptr, "folder");
  folder_ = pattern;
  caFile_ = folder_ + "/ca.pem";
  certificateFile_ = folder_ + "/server.pem";
  keyFile_ = folder_ + "/server.key";

  KeyPtr caKey(EVP_EC_gen("P-256"));
  KeyPtr serverKey(EVP_EC_gen("P-256"));
  Check(caKey && serverKey, "key");
  CertificatePtr ca = MakeCertificate(caKey.get(), "ls_tallowmer test CA", 1, nullptr);
  AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  Check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "sign CA");

  CertificatePtr server = MakeCertificate(serverKey.get(), "ls_tallowmer test server", 2, ca.get());
  AddExtension(server.get(), ca.get(), NID_basic_constraints, "CA:FALSE");
  AddExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(server.get(), ca.get(), NID_subject_alt_name, subjectAltNames.c_str());
  AddExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid");
  Check(X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0, "sign server");

  WritePem(caFile_, ca.get(), nullptr);
  WritePem(certificateFile_, server.get(), nullptr);
  WritePem(keyFile_, nullptr, serverKey.get());
}

TestPki::~TestPki() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

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
