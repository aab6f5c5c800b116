#pragma once

// A private certificate authority for tests, with server certificates signed by it, as PEM files in
// a folder removed afterwards.

#include <string>

#include "tests/support/OpenSslOwners.h"

namespace tallowmer::testing {

class TestPki {
 public:
  struct ServerFiles {
    std::string certificate;
    std::string key;
  };

  // The authority and its first server certificate, whose subjectAltNames are given in OpenSSL's
  // notation, e.g. "IP:127.0.0.1,DNS:localhost".
  explicit TestPki(const std::string& subjectAltNames = "IP:127.0.0.1,DNS:localhost");
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  const std::string& CaFile() const { return caFile_; }
  const std::string& CertificateFile() const { return server_.certificate; }
  const std::string& KeyFile() const { return server_.key; }

  // Another server certificate of the same authority, stored as `name`.pem and `name`.key: its common
  // name as given, whatever bytes it holds, and subjectAltNames as above, or none when empty.
  ServerFiles IssueServer(const std::string& name, const std::string& commonName,
                          const std::string& subjectAltNames);

 private:
  std::string folder_;
  std::string caFile_;
  KeyPtr caKey_;
  CertificatePtr ca_;
  long nextSerial_ = 2;
  ServerFiles server_;
};

}  // namespace tallowmer::testing
