#pragma once

// What a relay can tell of a TLS connection from the bytes it carries: the hellos travel in the
// clear, so the version the server chose and whether it resumed an earlier session can be read
// without any key. Each direction of a connection is fed to its own observer half; the two halves
// meet in one TlsFacts.

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowmer::bench {

struct TlsFacts {
  // A ClientHello went out on the connection.
  bool handshake = false;
  // The client offered an earlier session: a session ticket, a pre-shared key, or the identifier of
  // a TLS 1.2 session.
  bool offeredResumption = false;
  // The highest version the client offered (0x0303 for TLS 1.2, 0x0304 for TLS 1.3).
  uint16_t offeredVersion = 0;
  // The server's choice; 0 before its ServerHello.
  uint16_t version = 0;
  // The server took the offered session up: no certificate was sent.
  bool resumed = false;
  // Application-data records seen in each direction (under TLS 1.3 these include the encrypted
  // end of the handshake).
  int clientRecords = 0;
  int serverRecords = 0;
};

// "1.2", "1.3", or "-" before the ServerHello.
std::string VersionText(uint16_t version);

// Reads the records of one connection, both directions, as they pass.
class TlsObserver {
 public:
  void FromClient(std::string_view bytes) { Feed(client_, bytes, true); }
  void FromServer(std::string_view bytes) { Feed(server_, bytes, false); }
  const TlsFacts& Facts() const { return facts_; }

 private:
  struct Direction {
    // Bytes of a record not yet complete.
    std::string pending;
    // Handshake messages not yet complete (a message may span records).
    std::string handshake;
    // After ChangeCipherSpec, or after a TLS 1.3 ServerHello, the handshake is encrypted.
    bool encrypted = false;
  };

  void Feed(Direction& direction, std::string_view bytes, bool fromClient);
  void OnRecord(Direction& direction, uint8_t type, std::string_view body, bool fromClient);
  void OnHandshakeMessage(uint8_t type, std::string_view body, bool fromClient);
  void OnClientHello(std::string_view body);
  void OnServerHello(std::string_view body);

  Direction client_;
  Direction server_;
  TlsFacts facts_;
  // The session identifier the client offered, which a resuming TLS 1.2 server echoes.
  std::string offeredSessionId_;
  bool serverSentCertificate_ = false;
};

}  // namespace tallowmer::bench
