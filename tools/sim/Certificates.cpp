#include "tools/sim/Certificates.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace tallowmer::sim {

void CertificateFree::operator()(X509* certificate) const {
  X509_free(certificate);
}
void KeyFree::operator()(EVP_PKEY* key) const {
  EVP_PKEY_free(key);
}

namespace {

namespace fs = std::filesystem;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct BignumFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};

constexpr long kDay = 24 * 60 * 60;
constexpr long kCaDays = 3650;
// The longest lifetime common TLS clients accept for a server certificate.
constexpr long kServerDays = 825;

[[noreturn]] void Throw(const std::string& what) {
  std::string detail;
  while (const unsigned long code = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    detail += detail.empty() ? ": " : "; ";
    detail += text;
  }
  throw std::runtime_error("certificate: " + what + detail);
}

bool IsIpAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

KeyPtr NewKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Throw("cannot make a P-256 key");
  return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
    Throw(std::string("cannot add ") + OBJ_nid2sn(nid) + " " + value);
  }
}

// Signed by `issuer` with `issuerKey`, or self-signed when `issuer` is null. Extensions are added
// in order, so the subject key identifier comes before the authority key identifier that may copy it.
CertificatePtr NewCertificate(EVP_PKEY* key, const std::string& commonName, long days, X509* issuer,
                              EVP_PKEY* issuerKey,
                              const std::vector<std::pair<int, std::string>>& extensions) {
  CertificatePtr certificate(X509_new());
  if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1) Throw("cannot start");

  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) Throw("no random serial");
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, BignumFree> number(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get()))) {
    Throw("cannot set the serial");
  }
  // An hour back, so a client whose clock is a little behind accepts it too.
  if (!X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60 * 60) ||
      !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), days * kDay)) {
    Throw("cannot set the validity");
  }
  if (X509_set_pubkey(certificate.get(), key) != 1) Throw("cannot set the key");

  X509_NAME* subject = X509_get_subject_name(certificate.get());
  const auto* organisation = reinterpret_cast<const unsigned char*>("tallowmer_sim");
  const auto* name = reinterpret_cast<const unsigned char*>(commonName.c_str());
  if (X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, organisation, -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, name, -1, -1, 0) != 1) {
    Throw("cannot set the subject");
  }
  X509* signer = issuer ? issuer : certificate.get();
  if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) != 1)
    Throw("cannot set the issuer");
  for (const auto& [nid, value] : extensions) AddExtension(certificate.get(), signer, nid, value);
  if (X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0) Throw("cannot sign");
  return certificate;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Written beside the target and renamed over it, so a crash never leaves half a PEM file behind.
void WriteFile(const fs::path& path, const std::string& content, bool ownerOnly) {
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("certificate: cannot write " + temporary.string());
    // Narrowed before the first byte of the key is written.
    if (ownerOnly) fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write);
    out << content;
    if (!out.flush()) throw std::runtime_error("certificate: cannot write " + temporary.string());
  }
  fs::rename(temporary, path);
}

std::unique_ptr<BIO, BioFree> MemoryBio(const std::string& content) {
  return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

CertificatePtr LoadCertificate(const fs::path& path) {
  const std::string pem = ReadFile(path);
  auto bio = MemoryBio(pem);
  return CertificatePtr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyPtr LoadKey(const fs::path& path) {
  const std::string pem = ReadFile(path);
  auto bio = MemoryBio(pem);
  return KeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string CertificatePem(X509* certificate) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) Throw("cannot write PEM");
  return BioText(bio.get());
}

std::string KeyPem(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    Throw("cannot write PEM");
  }
  return BioText(bio.get());
}

// Verified the way a client will verify it, only a day later, so it does not expire mid-session.
bool Usable(X509* ca, X509* certificate, EVP_PKEY* key, const std::vector<std::string>& hosts) {
  if (X509_check_private_key(certificate, key) != 1) return false;
  for (const std::string& host : hosts) {
    if (!CertificateNames(certificate, host)) return false;
  }
  std::unique_ptr<X509_STORE, StoreFree> trusted(X509_STORE_new());
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!trusted || !context || X509_STORE_add_cert(trusted.get(), ca) != 1 ||
      X509_STORE_CTX_init(context.get(), trusted.get(), certificate, nullptr) != 1) {
    return false;
  }
  X509_STORE_CTX_set_time(context.get(), 0, std::time(nullptr) + kDay);
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  return X509_verify_cert(context.get()) == 1;
}

}  // namespace

bool CertificateNames(X509* certificate, const std::string& host) {
  if (IsIpAddress(host)) return X509_check_ip_asc(certificate, host.c_str(), 0) == 1;
  return X509_check_host(certificate, host.data(), host.size(), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
                         nullptr) == 1;
}

TlsIdentity LoadOrCreateTlsIdentity(const fs::path& folder, const std::vector<std::string>& extraHosts) {
  std::vector<std::string> hosts{"127.0.0.1", "localhost"};
  for (const std::string& host : extraHosts) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
  }
  fs::create_directories(folder);
  TlsIdentity identity;
  identity.caFile = folder / kCaFileName;
  const fs::path certificateFile = folder / kCertificateFileName;
  const fs::path keyFile = folder / kKeyFileName;

  CertificatePtr ca = LoadCertificate(identity.caFile);
  identity.certificate = LoadCertificate(certificateFile);
  identity.key = LoadKey(keyFile);
  const bool reusable = ca && identity.certificate && identity.key &&
                        Usable(ca.get(), identity.certificate.get(), identity.key.get(), hosts);
  // Failed loads and checks leave their reasons queued; they are not errors of ours.
  ERR_clear_error();
  if (reusable) return identity;

  KeyPtr caKey = NewKey();
  ca = NewCertificate(caKey.get(), "tallowmer_sim local CA", kCaDays, nullptr, nullptr,
                      {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                       {NID_subject_key_identifier, "hash"}});

  std::string names;
  for (const std::string& host : hosts) {
    names += names.empty() ? "" : ",";
    names += (IsIpAddress(host) ? "IP:" : "DNS:") + host;
  }
  identity.key = NewKey();
  identity.certificate = NewCertificate(identity.key.get(), "localhost", kServerDays, ca.get(), caKey.get(),
                                        {{NID_basic_constraints, "critical,CA:FALSE"},
                                         {NID_key_usage, "critical,digitalSignature"},
                                         {NID_ext_key_usage, "serverAuth"},
                                         {NID_subject_alt_name, names},
                                         {NID_subject_key_identifier, "hash"},
                                         {NID_authority_key_identifier, "keyid:always"}});

  WriteFile(keyFile, KeyPem(identity.key.get()), true);
  WriteFile(certificateFile, CertificatePem(identity.certificate.get()), false);
  WriteFile(identity.caFile, CertificatePem(ca.get()), false);
  return identity;
}

}  // namespace tallowmer::sim
