#include "tests/bench/wan/TlsObserver.h"

#include <algorithm>

namespace tallowmer::bench {
namespace {

constexpr uint8_t kChangeCipherSpec = 20;
constexpr uint8_t kHandshake = 22;
constexpr uint8_t kApplicationData = 23;

constexpr uint8_t kClientHello = 1;
constexpr uint8_t kServerHello = 2;
constexpr uint8_t kCertificate = 11;

constexpr uint16_t kSessionTicket = 35;
constexpr uint16_t kPreSharedKey = 41;
constexpr uint16_t kSupportedVersions = 43;

constexpr uint16_t kTls13 = 0x0304;

// The random of a TLS 1.3 HelloRetryRequest, which is a ServerHello in form: the real one follows.
constexpr unsigned char kHelloRetryRandom[32] = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

// A cursor over a message; every read past the end leaves it failed and answers zero.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  uint32_t Number(size_t width) {
    if (!Has(width)) return 0;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value = value << 8 | static_cast<uint8_t>(bytes_[at_ + i]);
    at_ += width;
    return value;
  }
  std::string_view Bytes(size_t count) {
    if (!Has(count)) return {};
    const std::string_view part = bytes_.substr(at_, count);
    at_ += count;
    return part;
  }
  // A vector with a length prefix of `width` bytes.
  std::string_view Vector(size_t width) { return Bytes(Number(width)); }
  bool Ok() const { return ok_; }
  bool AtEnd() const { return at_ >= bytes_.size(); }

 private:
  bool Has(size_t count) {
    if (ok_ && bytes_.size() - at_ >= count) return true;
    ok_ = false;
    return false;
  }

  std::string_view bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

struct Extension {
  uint16_t type;
  std::string_view data;
};

// Calls `visit` for each extension of a hello's extension block.
template <typename Visit>
void ForEachExtension(Reader& hello, Visit visit) {
  if (hello.AtEnd()) return;
  Reader extensions(hello.Vector(2));
  while (extensions.Ok() && !extensions.AtEnd()) {
    const auto type = static_cast<uint16_t>(extensions.Number(2));
    const std::string_view data = extensions.Vector(2);
    if (extensions.Ok()) visit(Extension{type, data});
  }
}

}  // namespace

std::string VersionText(uint16_t version) {
  switch (version) {
    case 0x0301:
      return "1.0";
    case 0x0302:
      return "1.1";
    case 0x0303:
      return "1.2";
    case kTls13:
      return "1.3";
    default:
      return "-";
  }
}

void TlsObserver::Feed(Direction& direction, std::string_view bytes, bool fromClient) {
  direction.pending.append(bytes);
  size_t at = 0;
  while (direction.pending.size() - at >= 5) {
    const auto type = static_cast<uint8_t>(direction.pending[at]);
    const size_t length = static_cast<uint8_t>(direction.pending[at + 3]) << 8 |
                          static_cast<uint8_t>(direction.pending[at + 4]);
    if (direction.pending.size() - at - 5 < length) break;
    OnRecord(direction, type, std::string_view(direction.pending).substr(at + 5, length), fromClient);
    at += 5 + length;
  }
  direction.pending.erase(0, at);
}

void TlsObserver::OnRecord(Direction& direction, uint8_t type, std::string_view body, bool fromClient) {
  if (type == kApplicationData) {
    ++(fromClient ? facts_.clientRecords : facts_.serverRecords);
    return;
  }
  if (type == kChangeCipherSpec) {
    // Up to TLS 1.2 the server changes ciphers right after its hello only when it resumes.
    if (!fromClient && facts_.version != kTls13 && facts_.version != 0 && !serverSentCertificate_)
      facts_.resumed = true;
    direction.encrypted = true;
    return;
  }
  if (type != kHandshake || direction.encrypted) return;
  direction.handshake.append(body);
  size_t at = 0;
  while (!direction.encrypted && direction.handshake.size() - at >= 4) {
    Reader head(std::string_view(direction.handshake).substr(at, 4));
    const auto messageType = static_cast<uint8_t>(head.Number(1));
    const size_t length = head.Number(3);
    if (direction.handshake.size() - at - 4 < length) break;
    OnHandshakeMessage(messageType, std::string_view(direction.handshake).substr(at + 4, length), fromClient);
    at += 4 + length;
    if (!fromClient && facts_.version == kTls13 && messageType == kServerHello) direction.encrypted = true;
  }
  direction.handshake.erase(0, at);
}

void TlsObserver::OnHandshakeMessage(uint8_t type, std::string_view body, bool fromClient) {
  if (fromClient && type == kClientHello) OnClientHello(body);
  if (!fromClient && type == kServerHello) OnServerHello(body);
  if (!fromClient && type == kCertificate) serverSentCertificate_ = true;
}

void TlsObserver::OnClientHello(std::string_view body) {
  facts_.handshake = true;
  Reader hello(body);
  facts_.offeredVersion = static_cast<uint16_t>(hello.Number(2));
  hello.Bytes(32);  // random
  const std::string_view sessionId = hello.Vector(1);
  hello.Vector(2);  // cipher suites
  hello.Vector(1);  // compression methods
  bool offersTls13 = false;
  bool offersKey = false;
  ForEachExtension(hello, [&](const Extension& extension) {
    if (extension.type == kSessionTicket && !extension.data.empty()) offersKey = true;
    if (extension.type == kPreSharedKey) offersKey = true;
    if (extension.type == kSupportedVersions) {
      Reader versions(extension.data);
      Reader list(versions.Vector(1));
      while (list.Ok() && !list.AtEnd()) {
        const auto offered = static_cast<uint16_t>(list.Number(2));
        // Values of the form 0x?A?A are GREASE, not versions.
        if ((offered & 0x0F0F) != 0x0A0A) facts_.offeredVersion = std::max(facts_.offeredVersion, offered);
        offersTls13 |= offered == kTls13;
      }
    }
  });
  // A client that offers TLS 1.3 sends a random session identifier for middleboxes' sake, which
  // names no earlier session.
  facts_.offeredResumption = offersKey || (!sessionId.empty() && !offersTls13);
  offeredSessionId_ = sessionId;
}

void TlsObserver::OnServerHello(std::string_view body) {
  Reader hello(body);
  uint16_t version = static_cast<uint16_t>(hello.Number(2));
  if (hello.Bytes(32) == std::string_view(reinterpret_cast<const char*>(kHelloRetryRandom), 32)) return;
  const std::string_view sessionId = hello.Vector(1);
  hello.Number(2);  // cipher suite
  hello.Number(1);  // compression method
  bool pskAccepted = false;
  ForEachExtension(hello, [&](const Extension& extension) {
    if (extension.type == kSupportedVersions && extension.data.size() == 2)
      version = static_cast<uint16_t>(static_cast<uint8_t>(extension.data[0]) << 8 |
                                      static_cast<uint8_t>(extension.data[1]));
    if (extension.type == kPreSharedKey) pskAccepted = true;
  });
  if (!hello.Ok()) return;
  facts_.version = version;
  if (version == kTls13) {
    facts_.resumed = pskAccepted;
  } else if (!sessionId.empty() && sessionId == offeredSessionId_) {
    facts_.resumed = true;
  }
}

}  // namespace tallowmer::bench
