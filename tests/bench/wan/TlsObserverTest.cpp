// The relay's reading of TLS hellos, against real handshakes made by OpenSSL in memory: the version
// the server chose and whether it resumed are what the benchmark's round trips are judged by.

#include "tests/bench/wan/TlsObserver.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <string>

#include "tests/support/OpenSslOwners.h"

namespace tallowmer::bench {
namespace {

using testing::CertificatePtr;
using testing::FreedBy;
using testing::KeyPtr;
using testing::SslPtr;
using ContextPtr = std::unique_ptr<SSL_CTX, FreedBy<SSL_CTX_free>>;
using SessionPtr = std::unique_ptr<SSL_SESSION, FreedBy<SSL_SESSION_free>>;

struct Identity {
  KeyPtr key;
  CertificatePtr certificate;
};

Identity SelfSigned() {
  Identity identity{KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")), CertificatePtr(X509_new())};
  X509* certificate = identity.certificate.get();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  X509_set_pubkey(certificate, identity.key.get());
  X509_sign(certificate, identity.key.get(), EVP_sha256());
  return identity;
}

enum class Resumption { None, Ticket, SessionId };

struct Case {
  const char* name;
  int maxVersion;
  // How the second handshake offers the first one's session; None makes one handshake only.
  Resumption offer;
  // The server forgets its sessions between the two handshakes, so an offer is refused.
  bool serverForgets;
  // Bytes handed to the observer at a time: records and handshake messages then arrive in pieces.
  size_t chunk;

  uint16_t version;
  bool offered;
  bool resumed;
};

std::ostream& operator<<(std::ostream& out, const Case& c) {
  return out << c.name;
}

class TlsObserverTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    server_ = ServerContext();
    client_ = ContextPtr(SSL_CTX_new(TLS_client_method()));
    ASSERT_TRUE(client_);
    SSL_CTX_set_max_proto_version(client_.get(), GetParam().maxVersion);
    if (GetParam().offer == Resumption::SessionId) SSL_CTX_set_options(client_.get(), SSL_OP_NO_TICKET);
  }

  ContextPtr ServerContext() const {
    ContextPtr context(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(context.get(), identity_.certificate.get());
    SSL_CTX_use_PrivateKey(context.get(), identity_.key.get());
    if (GetParam().offer == Resumption::SessionId) SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_session_id_context(context.get(), reinterpret_cast<const unsigned char*>("wan"), 3);
    return context;
  }

  // One handshake through memory, each flight passed to the observer in the case's chunks as the
  // relay would pass it on; the client's session afterwards, its TLS 1.3 tickets read.
  SessionPtr Handshake(TlsObserver& observer, SSL_SESSION* offer) {
    SslPtr client(SSL_new(client_.get()));
    SslPtr server(SSL_new(server_.get()));
    BIO* clientIn = BIO_new(BIO_s_mem());
    BIO* clientOut = BIO_new(BIO_s_mem());
    BIO* serverIn = BIO_new(BIO_s_mem());
    BIO* serverOut = BIO_new(BIO_s_mem());
    SSL_set_bio(client.get(), clientIn, clientOut);
    SSL_set_bio(server.get(), serverIn, serverOut);
    if (offer != nullptr) SSL_set_session(client.get(), offer);
    SSL_set_connect_state(client.get());
    SSL_set_accept_state(server.get());
    // The server speaks after the handshake, so that a TLS 1.3 client receives its tickets.
    bool serverSpoke = false;
    char byte = 0;
    for (int round = 0; round < 20 && byte != 'x'; ++round) {
      SSL_do_handshake(client.get());
      Pass(clientOut, serverIn, [&](std::string_view bytes) { observer.FromClient(bytes); });
      if (SSL_do_handshake(server.get()) == 1 && !serverSpoke) {
        SSL_write(server.get(), "x", 1);
        serverSpoke = true;
      }
      Pass(serverOut, clientIn, [&](std::string_view bytes) { observer.FromServer(bytes); });
      if (serverSpoke) SSL_read(client.get(), &byte, 1);
    }
    ERR_clear_error();
    EXPECT_EQ(byte, 'x') << "the handshake did not complete";
    EXPECT_EQ(SSL_session_reused(client.get()) == 1, offer != nullptr && GetParam().resumed);
    // Ended as by a close_notify each way: OpenSSL forgets the session of a connection that broke.
    for (SSL* end : {client.get(), server.get()})
      SSL_set_shutdown(end, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    return SessionPtr(SSL_get1_session(client.get()));
  }

  template <typename Observe>
  void Pass(BIO* from, BIO* to, Observe observe) const {
    char buffer[16384];
    int got = 0;
    while ((got = BIO_read(from, buffer, sizeof buffer)) > 0) {
      for (int at = 0; at < got; at += static_cast<int>(GetParam().chunk))
        observe(
            std::string_view(buffer + at, std::min<size_t>(GetParam().chunk, static_cast<size_t>(got - at))));
      BIO_write(to, buffer, got);
    }
  }

  Identity identity_ = SelfSigned();
  ContextPtr server_;
  ContextPtr client_;
};

TEST_P(TlsObserverTest, ReadsTheVersionAndTheResumptionFromTheHellos) {
  const Case& c = GetParam();
  TlsObserver first;
  SessionPtr session = Handshake(first, nullptr);
  EXPECT_TRUE(first.Facts().handshake);
  EXPECT_EQ(first.Facts().offeredVersion, c.version);
  if (c.offer == Resumption::None) {
    EXPECT_EQ(first.Facts().version, c.version);
    EXPECT_EQ(first.Facts().offeredResumption, c.offered);
    EXPECT_EQ(first.Facts().resumed, c.resumed);
    return;
  }
  // A full handshake before any offer.
  EXPECT_FALSE(first.Facts().offeredResumption);
  EXPECT_FALSE(first.Facts().resumed);
  ASSERT_TRUE(session);
  if (c.serverForgets) server_ = ServerContext();
  TlsObserver second;
  Handshake(second, session.get());
  EXPECT_EQ(second.Facts().version, c.version);
  EXPECT_EQ(second.Facts().offeredResumption, c.offered);
  EXPECT_EQ(second.Facts().resumed, c.resumed);
}

constexpr size_t kWhole = 16384;

INSTANTIATE_TEST_SUITE_P(
    Handshakes, TlsObserverTest,
    ::testing::Values(
        Case{"Tls12Full", TLS1_2_VERSION, Resumption::None, false, kWhole, 0x0303, false, false},
        Case{"Tls12FullByteByByte", TLS1_2_VERSION, Resumption::None, false, 1, 0x0303, false, false},
        Case{"Tls12ResumedByTicket", TLS1_2_VERSION, Resumption::Ticket, false, kWhole, 0x0303, true, true},
        Case{"Tls12ResumedByTicketInPieces", TLS1_2_VERSION, Resumption::Ticket, false, 3, 0x0303, true,
             true},
        Case{"Tls12ResumedBySessionId", TLS1_2_VERSION, Resumption::SessionId, false, kWhole, 0x0303, true,
             true},
        Case{"Tls12TicketRefused", TLS1_2_VERSION, Resumption::Ticket, true, kWhole, 0x0303, true, false},
        Case{"Tls12SessionIdRefused", TLS1_2_VERSION, Resumption::SessionId, true, kWhole, 0x0303, true,
             false},
        Case{"Tls13Full", TLS1_3_VERSION, Resumption::None, false, kWhole, 0x0304, false, false},
        Case{"Tls13FullByteByByte", TLS1_3_VERSION, Resumption::None, false, 1, 0x0304, false, false},
        Case{"Tls13Resumed", TLS1_3_VERSION, Resumption::Ticket, false, kWhole, 0x0304, true, true},
        Case{"Tls13ResumedInPieces", TLS1_3_VERSION, Resumption::Ticket, false, 7, 0x0304, true, true},
        Case{"Tls13TicketRefused", TLS1_3_VERSION, Resumption::Ticket, true, kWhole, 0x0304, true, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tallowmer::bench
