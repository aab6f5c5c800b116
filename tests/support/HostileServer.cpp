#include "tests/support/HostileServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

#include "service/HttpTransport.h"

namespace tallowmer::testing {

using std::chrono::milliseconds;

// One connection, plain or TLS, as the scenarios use it. Every wait ends early when the server stops,
// and every write fails once the client has gone.
class HostileServer::Peer {
 public:
  Peer(int socket, SSL* ssl, HostileServer& server) : socket_(socket), ssl_(ssl), server_(server) {}

  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      if (Stopping()) return false;
      const int size = static_cast<int>(std::min<size_t>(bytes.size(), 64 * 1024));
      const long sent = ssl_ != nullptr
                            ? SSL_write(ssl_, bytes.data(), size)
                            : ::send(socket_, bytes.data(), static_cast<size_t>(size), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

  // Byte by byte, `interval` apart.
  bool Drip(std::string_view bytes, milliseconds interval) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (!Send(bytes.substr(i, 1)) || !Pause(interval)) return false;
    }
    return true;
  }

  // Again and again, `interval` apart, until the client goes or the server stops.
  void Forever(std::string_view bytes, milliseconds interval) {
    while (Send(bytes) && Pause(interval)) {
    }
  }

  // False when the server stops meanwhile.
  bool Pause(milliseconds interval) {
    std::unique_lock lock(server_.mutex_);
    return !server_.stopped_.wait_for(lock, interval, [this] { return server_.stopping_; });
  }

  long Receive(char* buffer, size_t size) {
    return ssl_ != nullptr ? SSL_read(ssl_, buffer, static_cast<int>(size))
                           : ::recv(socket_, buffer, size, 0);
  }

  // The end of a scenario: over TLS with close_notify, as a server that has said all it meant to.
  void Close() {
    if (ssl_ != nullptr) SSL_shutdown(ssl_);
  }

 private:
  bool Stopping() const {
    const std::lock_guard lock(server_.mutex_);
    return server_.stopping_;
  }

  int socket_;
  SSL* ssl_;
  HostileServer& server_;
};

namespace {

enum class Ending {
  // As a server that has said all it meant to.
  Close,
  // Without close_notify: over TLS the client cannot tell this from a connection cut by anyone.
  Drop,
};

using Peer = HostileServer::Peer;

struct Scenario {
  const char* name;
  Ending (*play)(Peer&);
};

constexpr milliseconds kDrip{100};

std::string Answer(int status, const std::string& reason, const std::string& contentType,
                   const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Ok(const std::string& json) {
  return Answer(200, "OK", "application/json; charset=utf-8", json);
}

const std::string kOkJson = R"({"result":"ok"})";
const std::string kChunkedHead =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kUntilCloseHead =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";
// A line of the debug log as the driver writes it, with a terminal sequence after it.
const std::string kForgedLine =
    "2024.05.29 12:00:00.000 Inst.: {00000000-0000-0000-0000-000000000000}\tEXCEPTION: \tforged";
// The same line inside a JSON string, where a tab must be written escaped.
const std::string kForgedLineInJson =
    "2024.05.29 12:00:00.000 Inst.: {00000000-0000-0000-0000-000000000000}\\tEXCEPTION: \\tforged";
// A common name holds at most 64 characters.
const std::string kForgedCommonName = "x\r\n2024.05.29 12:00:00.000\tEXCEPTION: \tforged\x1b[2J";

// A body of exactly the limit: an object with one long member.
std::string BodyAtTheLimit() {
  const std::string start = R"({"pad":")";
  const std::string end = R"("})";
  return start + std::string(kAnswerBodyLimit - start.size() - end.size(), 'p') + end;
}

const Scenario kScenarios[] = {
    // Interim answers.
    {"continue-then-ok",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 100 Continue\r\n\r\n" + Ok(kOkJson));
       return Ending::Close;
     }},
    {"processing-then-ok",
     [](Peer& peer) {
       for (int i = 0; i < 3; ++i) {
         if (!peer.Send("HTTP/1.1 102 Processing\r\n\r\n") || !peer.Pause(kDrip)) return Ending::Close;
       }
       peer.Send(Ok(kOkJson));
       return Ending::Close;
     }},
    {"early-hints-then-refusal",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 103 Early Hints\r\nLink: </receipt.css>; rel=preload\r\n\r\n" +
                 Answer(500, "Internal Server Error", "application/json; charset=utf-8",
                        R"({"error":{"message":"order rejected"}})"));
       return Ending::Close;
     }},
    {"switching-protocols",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n" +
                 Ok(kOkJson));
       return Ending::Close;
     }},
    {"endless-processing",
     [](Peer& peer) {
       peer.Forever("HTTP/1.1 102 Processing\r\n\r\n", kDrip);
       return Ending::Close;
     }},

    // Drips: each would go on for ever, a byte or a part at a time.
    {"drip-head",
     [](Peer& peer) {
       if (peer.Send("HTTP/1.1 200 OK\r\nX-Drip: ")) peer.Forever("d", kDrip);
       return Ending::Close;
     }},
    {"drip-body",
     [](Peer& peer) {
       if (peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")) peer.Forever("b", kDrip);
       return Ending::Close;
     }},
    {"slow-chunks",
     [](Peer& peer) {
       if (peer.Send(kChunkedHead)) peer.Forever("1\r\nc\r\n", kDrip);
       return Ending::Close;
     }},

    // Sizes: each as fast as the client reads.
    {"endless-head",
     [](Peer& peer) {
       if (peer.Send("HTTP/1.1 200 OK\r\n")) peer.Forever("X-Filler: " + std::string(1000, 'f') + "\r\n", {});
       return Ending::Close;
     }},
    {"huge-declared-body",
     [](Peer& peer) {
       if (peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\n\r\n"))
         peer.Forever(std::string(16 * 1024, 'x'), {});
       return Ending::Close;
     }},
    {"endless-body",
     [](Peer& peer) {
       if (peer.Send(kUntilCloseHead)) peer.Forever(std::string(16 * 1024, 'x'), {});
       return Ending::Close;
     }},
    {"endless-chunks",
     [](Peer& peer) {
       if (peer.Send(kChunkedHead)) peer.Forever("4000\r\n" + std::string(0x4000, 'x') + "\r\n", {});
       return Ending::Close;
     }},
    {"big-head",
     [](Peer& peer) {
       std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
       for (int i = 0; i < 100; ++i) head += "X-Filler: " + std::string(1000, 'f') + "\r\n";
       peer.Send(head + "Content-Length: " + std::to_string(kOkJson.size()) + "\r\n\r\n" + kOkJson);
       return Ending::Close;
     }},
    {"body-at-the-limit",
     [](Peer& peer) {
       peer.Send(Ok(BodyAtTheLimit()));
       return Ending::Close;
     }},

    // Framing.
    {"chunk-size-zz",
     [](Peer& peer) {
       peer.Send(kChunkedHead + "8\r\n{\"result\r\nzz\r\n\":\"ok\"}\r\n0\r\n\r\n");
       return Ending::Close;
     }},
    {"chunk-size-wraps",
     [](Peer& peer) {
       peer.Send(kChunkedHead + "10000000000000005\r\n" + kOkJson + "\r\n0\r\n\r\n");
       return Ending::Close;
     }},
    {"chunks-cut",
     [](Peer& peer) {
       peer.Send(kChunkedHead + "8\r\n{\"result\r\n");
       return Ending::Close;
     }},
    {"length-in-hex",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0xF\r\n\r\n" +
                 kOkJson);
       return Ending::Close;
     }},
    {"two-lengths",
     [](Peer& peer) {
       peer.Send(
           "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nContent-Length: "
           "15\r\n\r\n" +
           kOkJson);
       return Ending::Close;
     }},
    {"length-cut",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n" +
                 kOkJson);
       return Ending::Close;
     }},
    {"until-close",
     [](Peer& peer) {
       peer.Send(kUntilCloseHead + kOkJson);
       return Ending::Close;
     }},
    {"until-drop",
     [](Peer& peer) {
       peer.Send(kUntilCloseHead + R"({"bonusBalance":5)");
       return Ending::Drop;
     }},
    {"no-content-with-length",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 204 No Content\r\nContent-Length: 38\r\n\r\n");
       return Ending::Close;
     }},
    {"not-modified-with-length",
     [](Peer& peer) {
       peer.Send("HTTP/1.1 304 Not Modified\r\nContent-Length: 38\r\n\r\n");
       return Ending::Close;
     }},

    // Texts that would forge a log line or steer a terminal.
    {"forged-error",
     [](Peer& peer) {
       peer.Send(
           Answer(400, "Bad Request", "application/json; charset=utf-8",
                  R"({"error":{"message":"denied\r\n)" + kForgedLineInJson + R"(\u001b[2J\u001b[31m"}})"));
       return Ending::Close;
     }},
    {"forged-page",
     [](Peer& peer) {
       peer.Send(Answer(500, "Internal Server Error", "text/plain; charset=utf-8",
                        "denied\r\n" + kForgedLine + "\x1b[2J\x1b[31m"));
       return Ending::Close;
     }},
    {"forged-name",
     [](Peer& peer) {
       peer.Send(Ok(R"({"lastName":"Ivanov\r\n)" + kForgedLineInJson +
                    R"(\u001b[2J","firstName":"Ivan\tI.","phone":"7900\u0000123","bonusBalance":5})"));
       return Ending::Close;
     }},
    {"overlong-name",
     [](Peer& peer) {
       peer.Send(
           Ok("{\"bonusBalance\":5,\"lastName\":\"Ivanov\xC0\xA2,\xC0\xA2"
              "bonusBalance\xC0\xA2:99999,"
              "\xC0\xA2x\xC0\xA2:\xC0\xA2\"}"));
       return Ending::Close;
     }},
};

const Scenario* FindScenario(const std::string& request) {
  // "GET /<name>/ping?token=... HTTP/1.1": the name is the first segment of the target.
  const size_t start = request.find(" /");
  if (start == std::string::npos) return nullptr;
  const size_t end = request.find_first_of("/? ", start + 2);
  const std::string name = request.substr(start + 2, end - start - 2);
  for (const Scenario& scenario : kScenarios) {
    if (name == scenario.name) return &scenario;
  }
  return nullptr;
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("hostile server: ") + what);
}

platform::FileDescriptor Listen(int& port) {
  platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Check(fd.get() >= 0, "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  Check(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd.get(), 32) == 0 &&
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0,
        "listen");
  port = ntohs(address.sin_port);
  return fd;
}

SslContextPtr ServerContext(const TestPki::ServerFiles& files) {
  SslContextPtr context(SSL_CTX_new(TLS_server_method()));
  Check(context != nullptr, "SSL_CTX");
  Check(SSL_CTX_use_certificate_file(context.get(), files.certificate.c_str(), SSL_FILETYPE_PEM) == 1 &&
            SSL_CTX_use_PrivateKey_file(context.get(), files.key.c_str(), SSL_FILETYPE_PEM) == 1,
        "certificate");
  return context;
}

size_t ContentLength(const std::string& head) {
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("\r\ncontent-length:");
  return at == std::string::npos ? 0 : std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

}  // namespace

std::vector<std::string> HostileServer::ScenarioNames() {
  std::vector<std::string> names;
  for (const Scenario& scenario : kScenarios) names.emplace_back(scenario.name);
  return names;
}

const std::string& HostileServer::ForgedCommonName() {
  return kForgedCommonName;
}

HostileServer::HostileServer() : pki_("DNS:localhost") {
  // A write to a client that has gone must end the scenario, not the test program.
  std::signal(SIGPIPE, SIG_IGN);
  localhostContext_ = ServerContext({pki_.CertificateFile(), pki_.KeyFile()});
  forgedContext_ = ServerContext(pki_.IssueServer("forged", ForgedCommonName(), ""));
  SSL_CTX_set_tlsext_servername_callback(localhostContext_.get(), &HostileServer::OnServerName);
  SSL_CTX_set_tlsext_servername_arg(localhostContext_.get(), this);
  plainListener_ = Listen(plainPort_);
  tlsListener_ = Listen(tlsPort_);
  int stopPipe[2];
  Check(::pipe2(stopPipe, O_CLOEXEC) == 0, "pipe");
  stopReader_ = platform::FileDescriptor(stopPipe[0]);
  stopWriter_ = platform::FileDescriptor(stopPipe[1]);
  acceptor_ = std::thread(&HostileServer::AcceptLoop, this);
}

HostileServer::~HostileServer() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    // Wakes the reads and writes that wait on a client.
    for (const int socket : open_) ::shutdown(socket, SHUT_RDWR);
  }
  stopped_.notify_all();
  stopWriter_.Close();
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
}

std::string HostileServer::PlainUrl() const {
  return "http://127.0.0.1:" + std::to_string(plainPort_);
}

std::string HostileServer::TlsUrl() const {
  return "https://localhost:" + std::to_string(tlsPort_);
}

std::vector<std::string> HostileServer::Requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

int HostileServer::OnServerName(SSL* ssl, int*, void* self) {
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  if (name == nullptr || std::string(name) != "localhost")
    SSL_set_SSL_CTX(ssl, static_cast<HostileServer*>(self)->forgedContext_.get());
  return SSL_TLSEXT_ERR_OK;
}

void HostileServer::AcceptLoop() {
  while (true) {
    pollfd watched[3] = {
        {plainListener_.get(), POLLIN, 0}, {tlsListener_.get(), POLLIN, 0}, {stopReader_.get(), POLLIN, 0}};
    if (::poll(watched, 3, -1) < 0) continue;
    if (watched[2].revents != 0) return;
    for (int side = 0; side < 2; ++side) {
      if (watched[side].revents == 0) continue;
      const int client = ::accept4(watched[side].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const std::lock_guard lock(mutex_);
      open_.insert(client);
      workers_.emplace_back(&HostileServer::Serve, this, client, side == 1);
    }
  }
}

void HostileServer::Serve(int socket, bool secure) {
  // A client that holds the connection but reads nothing must not hold the server for ever.
  const timeval limit{5, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SslPtr ssl(secure ? SSL_new(localhostContext_.get()) : nullptr);
  if (ssl) SSL_set_fd(ssl.get(), socket);
  Peer peer(socket, ssl.get(), *this);
  std::string request;
  if ((!ssl || SSL_accept(ssl.get()) == 1) && ReadRequest(peer, request)) {
    const Scenario* scenario = FindScenario(request);
    if (scenario == nullptr) {
      peer.Send(Answer(404, "Not Found", "application/json", R"({"error":{"message":"no such scenario"}})"));
      peer.Close();
    } else if (scenario->play(peer) == Ending::Close) {
      peer.Close();
    }
  }
  ssl.reset();
  ERR_clear_error();
  const std::lock_guard lock(mutex_);
  open_.erase(socket);
  ::close(socket);
}

bool HostileServer::ReadRequest(Peer& peer, std::string& request) {
  char buffer[16 * 1024];
  size_t headEnd = std::string::npos;
  while (headEnd == std::string::npos ||
         request.size() < headEnd + ContentLength(request.substr(0, headEnd))) {
    const long got = peer.Receive(buffer, sizeof buffer);
    if (got <= 0) return false;
    request.append(buffer, static_cast<size_t>(got));
    if (headEnd == std::string::npos) {
      headEnd = request.find("\r\n\r\n");
      if (headEnd != std::string::npos) headEnd += 4;
    }
  }
  const std::lock_guard lock(mutex_);
  requests_.push_back(request.substr(0, headEnd));
  return true;
}

}  // namespace tallowmer::testing
