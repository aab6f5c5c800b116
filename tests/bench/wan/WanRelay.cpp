#include "tests/bench/wan/WanRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <optional>
#include <stdexcept>
#include <utility>

#include "tests/bench/wan/DelayLine.h"

namespace tallowmer::bench {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in Address(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + host);
  return address;
}

Descriptor BoundSocket(int type, const std::string& host, int port) {
  Descriptor socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!socket) Fail("socket");
  const int yes = 1;
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const sockaddr_in address = Address(host, port);
  if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    Fail("bind " + host + ":" + std::to_string(port));
  return socket;
}

void MakeNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Both ends of the relay pass bytes on as soon as they are due: the delay is the relay's alone.
void NoDelay(int fd) {
  const int yes = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

// The DNS wire format, as much of it as one question and one answer need.
std::string QueryName(const std::string& packet, size_t& at) {
  std::string name;
  while (at < packet.size()) {
    const auto length = static_cast<uint8_t>(packet[at++]);
    if (length == 0) return name;
    if (length > 63 || at + length > packet.size()) break;
    if (!name.empty()) name += '.';
    name.append(packet, at, length);
    at += length;
  }
  at = std::string::npos;
  return name;
}

bool SameName(std::string a, std::string b) {
  auto lower = [](std::string& text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  };
  lower(a);
  lower(b);
  return a == b;
}

void AppendNumber(std::string& packet, uint32_t value, int width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
    packet += static_cast<char>(value >> shift & 0xFF);
}

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeAaaa = 28;
// A real service's records live minutes; a cache in the client may hold them that long.
constexpr uint32_t kTimeToLive = 300;

}  // namespace

class WanRelay::Loop {
 public:
  explicit Loop(WanSettings settings) : settings_(std::move(settings)), servicePort_(settings_.servicePort) {
    if (settings_.dnsPort != 0) dns_.push_back(BoundSocket(SOCK_DGRAM, "127.0.0.1", settings_.dnsPort));
    {
      std::optional<NamespaceVisit> visit;
      if (!settings_.serviceNamespace.empty()) {
        visit.emplace(settings_.serviceNamespace);
        // The service looks its own name up there.
        if (settings_.dnsPort != 0) dns_.push_back(BoundSocket(SOCK_DGRAM, "127.0.0.1", settings_.dnsPort));
      }
      listener_ = BoundSocket(SOCK_STREAM, settings_.listenAddress, settings_.listenPort);
    }
    if (::listen(listener_.Get(), 64) != 0) Fail("listen");
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&bound), &size);
    listenPort_ = ntohs(bound.sin_port);
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) Fail("pipe");
    stopRead_ = Descriptor(pipe[0]);
    stopWrite_ = Descriptor(pipe[1]);
  }

  void Run();
  void Stop() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(stopWrite_.Get(), &byte, 1);
  }
  void SetServicePort(int port) { servicePort_ = port; }
  int ListenPort() const { return listenPort_; }
  const std::string& ServiceNamespace() const { return settings_.serviceNamespace; }
  Journal Snapshot() const {
    const std::lock_guard lock(mutex_);
    return journal_;
  }

 private:
  // One direction of a connection: what is held back, what is due and not yet written.
  struct Lane {
    struct Held {
      Clock::time_point due;
      std::string bytes;
      // The sender closed its side; passed on once the bytes before it are written.
      bool end = false;
    };
    std::deque<Held> held;
    std::string due;
    bool endDue = false;
    bool ended = false;
    Clock::time_point lastDue;
  };

  struct Link {
    size_t index = 0;
    Descriptor client;
    Descriptor server;
    Lane towardServer;
    Lane towardClient;
    bool clientEof = false;
    bool serverEof = false;
    bool firstFromClient = true;
    TlsObserver tls;

    bool Finished() const { return towardServer.ended && towardClient.ended; }
  };

  void Accept();
  void AnswerQuery(int dns);
  void Read(Link& link, bool fromClient);
  void Hold(Lane& lane, Clock::time_point due, std::string bytes, bool end);
  void Release(Lane& lane, int to, Clock::time_point now);
  void Write(Lane& lane, int to);
  void Close(Link& link);
  Clock::time_point NextDue() const;

  WanSettings settings_;
  std::atomic<int> servicePort_;
  int listenPort_ = 0;
  Descriptor listener_;
  std::vector<Descriptor> dns_;
  Descriptor stopRead_;
  Descriptor stopWrite_;
  std::list<Link> links_;
  mutable std::mutex mutex_;
  Journal journal_;
};

void WanRelay::Loop::Run() {
  while (true) {
    std::vector<pollfd> fds{{stopRead_.Get(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}};
    for (const Descriptor& dns : dns_) fds.push_back({dns.Get(), POLLIN, 0});
    const size_t firstLink = fds.size();
    for (Link& link : links_) {
      const short toClient = link.towardClient.due.empty() ? 0 : POLLOUT;
      const short toServer = link.towardServer.due.empty() ? 0 : POLLOUT;
      fds.push_back({link.client.Get(), static_cast<short>((link.clientEof ? 0 : POLLIN) | toClient), 0});
      fds.push_back({link.server.Get(), static_cast<short>((link.serverEof ? 0 : POLLIN) | toServer), 0});
    }
    int timeout = -1;
    if (const Clock::time_point next = NextDue(); next != Clock::time_point::max()) {
      const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now()).count();
      timeout = wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) Fail("poll");
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) Accept();
    for (size_t index = 0; index < dns_.size(); ++index) {
      if (fds[2 + index].revents & POLLIN) AnswerQuery(dns_[index].Get());
    }

    size_t at = firstLink;
    for (Link& link : links_) {
      if (at >= fds.size()) break;
      const short clientEvents = fds[at++].revents;
      const short serverEvents = fds[at++].revents;
      if (clientEvents & (POLLIN | POLLHUP | POLLERR)) Read(link, true);
      if (serverEvents & (POLLIN | POLLHUP | POLLERR)) Read(link, false);
    }
    const Clock::time_point now = Clock::now();
    for (Link& link : links_) {
      Release(link.towardServer, link.server.Get(), now);
      Release(link.towardClient, link.client.Get(), now);
    }
    for (auto link = links_.begin(); link != links_.end();) {
      if (link->Finished()) {
        Close(*link);
        link = links_.erase(link);
      } else {
        ++link;
      }
    }
  }
}

Clock::time_point WanRelay::Loop::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Link& link : links_) {
    for (const Lane* lane : {&link.towardServer, &link.towardClient}) {
      if (!lane->held.empty()) next = std::min(next, lane->held.front().due);
    }
  }
  return next;
}

void WanRelay::Loop::Accept() {
  Descriptor client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!client) return;
  const Clock::time_point accepted = Clock::now();
  Descriptor server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in service = Address(settings_.serviceAddress, servicePort_);
  if (!server || ::connect(server.Get(), reinterpret_cast<const sockaddr*>(&service), sizeof service) != 0)
    return;
  for (int fd : {client.Get(), server.Get()}) {
    MakeNonBlocking(fd);
    NoDelay(fd);
  }
  const std::lock_guard lock(mutex_);
  RelayedConnection record;
  record.id = static_cast<int>(journal_.connections.size()) + 1;
  record.accepted = accepted;
  journal_.connections.push_back(record);
  Link& link = links_.emplace_back();
  link.index = journal_.connections.size() - 1;
  link.client = std::move(client);
  link.server = std::move(server);
}

void WanRelay::Loop::Read(Link& link, bool fromClient) {
  const int from = fromClient ? link.client.Get() : link.server.Get();
  bool& eof = fromClient ? link.clientEof : link.serverEof;
  if (eof) return;
  char buffer[64 * 1024];
  const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  const Clock::time_point now = Clock::now();
  const auto half = settings_.roundTrip / 2;
  Lane& lane = fromClient ? link.towardServer : link.towardClient;
  // The first bytes of a connection waited for the TCP handshake: one round trip before they left.
  Clock::time_point due = now + half;
  if (fromClient && link.firstFromClient && settings_.roundTrip.count() > 0) {
    due += settings_.roundTrip;
    link.firstFromClient = false;
  }
  if (got <= 0) {
    eof = true;
    Hold(lane, due, {}, true);
    if (fromClient) {
      const std::lock_guard lock(mutex_);
      journal_.connections[link.index].closed = now;
    }
    return;
  }
  const std::string_view bytes(buffer, static_cast<size_t>(got));
  const std::lock_guard lock(mutex_);
  if (fromClient) {
    link.tls.FromClient(bytes);
  } else {
    link.tls.FromServer(bytes);
  }
  RelayedConnection& record = journal_.connections[link.index];
  record.tls = link.tls.Facts();
  record.chunks.push_back({now, fromClient, bytes.size()});
  Hold(lane, due, std::string(bytes), false);
}

// Bytes keep their order: none leaves before those that came earlier.
void WanRelay::Loop::Hold(Lane& lane, Clock::time_point due, std::string bytes, bool end) {
  due = std::max(due, lane.lastDue);
  lane.lastDue = due;
  lane.held.push_back({due, std::move(bytes), end});
}

void WanRelay::Loop::Release(Lane& lane, int to, Clock::time_point now) {
  while (!lane.held.empty() && lane.held.front().due <= now) {
    lane.due += lane.held.front().bytes;
    lane.endDue |= lane.held.front().end;
    lane.held.pop_front();
  }
  Write(lane, to);
}

void WanRelay::Loop::Write(Lane& lane, int to) {
  while (!lane.due.empty()) {
    const ssize_t written = ::send(to, lane.due.data(), lane.due.size(), MSG_NOSIGNAL);
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (written <= 0) {
      // The receiver is gone: what it would have read is lost, as on a real network.
      lane.due.clear();
      lane.held.clear();
      lane.endDue = true;
      break;
    }
    lane.due.erase(0, static_cast<size_t>(written));
  }
  if (lane.endDue && !lane.ended) {
    ::shutdown(to, SHUT_WR);
    lane.ended = true;
  }
}

void WanRelay::Loop::Close(Link& link) {
  const std::lock_guard lock(mutex_);
  RelayedConnection& record = journal_.connections[link.index];
  if (record.closed == Clock::time_point{}) record.closed = Clock::now();
}

void WanRelay::Loop::AnswerQuery(int dns) {
  char buffer[512];
  sockaddr_in from{};
  socklen_t fromSize = sizeof from;
  const ssize_t got =
      ::recvfrom(dns, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
  if (got < 12) return;
  const std::string query(buffer, static_cast<size_t>(got));
  size_t at = 12;
  const std::string name = QueryName(query, at);
  if (at == std::string::npos || at + 4 > query.size()) return;
  const auto type =
      static_cast<uint16_t>(static_cast<uint8_t>(query[at]) << 8 | static_cast<uint8_t>(query[at + 1]));
  const size_t questionEnd = at + 4;
  {
    const std::lock_guard lock(mutex_);
    journal_.queries.push_back({Clock::now(), name,
                                type == kTypeA      ? "A"
                                : type == kTypeAaaa ? "AAAA"
                                                    : std::to_string(type)});
  }
  const bool known = SameName(name, settings_.serviceName);
  const bool withAddress = known && type == kTypeA;
  // The header: the query's identifier, a response with recursion available, the question echoed.
  std::string answer = query.substr(0, 2);
  answer += static_cast<char>(0x81 | (query[2] & 0x01));
  answer += static_cast<char>(known ? 0x80 : 0x83);
  AppendNumber(answer, 1, 2);
  AppendNumber(answer, withAddress ? 1 : 0, 2);
  AppendNumber(answer, 0, 4);
  answer += query.substr(12, questionEnd - 12);
  if (withAddress) {
    AppendNumber(answer, 0xC00C, 2);  // the name, pointing back at the question
    AppendNumber(answer, kTypeA, 2);
    AppendNumber(answer, 1, 2);  // class IN
    AppendNumber(answer, kTimeToLive, 4);
    AppendNumber(answer, 4, 2);
    const sockaddr_in address = Address(settings_.listenAddress, 0);
    answer.append(reinterpret_cast<const char*>(&address.sin_addr), 4);
  }
  ::sendto(dns, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), fromSize);
}

WanRelay::WanRelay(WanSettings settings) : loop_(std::make_unique<Loop>(std::move(settings))) {
  // The connections to the service are made from the loop, in the service's namespace.
  thread_ = std::thread([this] {
    std::optional<NamespaceVisit> visit;
    if (!loop_->ServiceNamespace().empty()) visit.emplace(loop_->ServiceNamespace());
    loop_->Run();
  });
}

WanRelay::~WanRelay() {
  loop_->Stop();
  thread_.join();
}

void WanRelay::SetServicePort(int port) {
  loop_->SetServicePort(port);
}

int WanRelay::ListenPort() const {
  return loop_->ListenPort();
}

Journal WanRelay::Snapshot() const {
  return loop_->Snapshot();
}

}  // namespace tallowmer::bench
