#pragma once

// A broken or hostile service for the transports' tests: it answers each request with exactly the
// bytes of a scenario, over plain HTTP and over TLS. Interim answers, drips, endless heads and bodies,
// malformed lengths and chunk sizes, bodies that end without TLS's close_notify, texts that would
// forge log lines. The first segment of the request's path names the scenario: a client whose base
// URL is "<PlainUrl()>/drip-body" meets it at every operation ("/drip-body/ping?token=...").
//
// Over TLS it shows a certificate for "localhost" to a client that asks for that name, and to any
// other (an address, another name) a certificate of the same authority whose only name is a common
// name of control characters: trusted, but for no host, so a client's words about the mismatch are
// the certificate's to choose.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/FileDescriptor.h"
#include "tests/support/OpenSslOwners.h"
#include "tests/support/TestPki.h"

namespace tallowmer::testing {

class HostileServer {
 public:
  // The scenarios by name, in the order the tests meet them.
  static std::vector<std::string> ScenarioNames();
  // The common name of the certificate for no host.
  static const std::string& ForgedCommonName();

  HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;
  ~HostileServer();

  // "http://127.0.0.1:<port>"
  std::string PlainUrl() const;
  // "https://localhost:<port>"
  std::string TlsUrl() const;
  // The authority of both certificates.
  const std::string& CaFile() const { return pki_.CaFile(); }
  // The heads of the requests received, in order.
  std::vector<std::string> Requests() const;

  class Peer;

 private:
  void AcceptLoop();
  void Serve(int socket, bool secure);
  bool ReadRequest(Peer& peer, std::string& request);
  static int OnServerName(SSL* ssl, int* alert, void* self);

  TestPki pki_;
  SslContextPtr localhostContext_;
  SslContextPtr forgedContext_;
  int plainPort_ = 0;
  int tlsPort_ = 0;
  platform::FileDescriptor plainListener_;
  platform::FileDescriptor tlsListener_;
  platform::FileDescriptor stopReader_;
  platform::FileDescriptor stopWriter_;

  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::set<int> open_;
  std::vector<std::string> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace tallowmer::testing
