#pragma once

// The simulator's own small certificate authority and the server certificate it signs, so clients
// can speak real, verified TLS to it by trusting one CA file.

#include <openssl/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tallowmer::sim {

struct CertificateFree {
  void operator()(X509* certificate) const;
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const;
};
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

struct TlsIdentity {
  CertificatePtr certificate;
  KeyPtr key;
  std::filesystem::path caFile;
};

// File names inside the state folder.
inline constexpr const char* kCaFileName = "ca.pem";
inline constexpr const char* kCertificateFileName = "server.pem";
inline constexpr const char* kKeyFileName = "server-key.pem";

// The server certificate names 127.0.0.1 and localhost, and each of `extraHosts` (IP addresses or
// DNS names) for a server listening elsewhere. The one kept in `folder` is reused when it is signed
// by the CA file beside it, valid for at least another day and names all those hosts. Otherwise
// makes a new CA and server certificate and stores them, the key readable by the owner only. The
// CA's own key is not kept: the CA can vouch for this one server certificate and nothing else.
TlsIdentity LoadOrCreateTlsIdentity(const std::filesystem::path& folder,
                                    const std::vector<std::string>& extraHosts = {});

// Whether `certificate` names `host` in its subjectAltName, as an IP address or a DNS name.
bool CertificateNames(X509* certificate, const std::string& host);

}  // namespace tallowmer::sim
