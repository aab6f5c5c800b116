#include "tests/support/TestPki.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

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

CertificatePtr MakeCertificate(EVP_PKEY* key, const std::string& commonName, long serial, X509* issuer) {
  CertificatePtr certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
  X509_set_pubkey(certificate.get(), key);
  Check(X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.data()),
                                   static_cast<int>(commonName.size()), -1, 0) == 1,
        "common name");
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

}  // namespace

TestPki::TestPki(const std::string& subjectAltNames) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ls_tallowmer_pki_XXXXXX").string();
  Check(mkdtemp(pattern.data()) != nullptr, "folder");
  folder_ = pattern;
  caFile_ = folder_ + "/ca.pem";
  caKey_.reset(EVP_EC_gen("P-256"));
  Check(caKey_ != nullptr, "key");
  ca_ = MakeCertificate(caKey_.get(), "ls_tallowmer test CA", 1, nullptr);
  AddExtension(ca_.get(), ca_.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(ca_.get(), ca_.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(ca_.get(), ca_.get(), NID_subject_key_identifier, "hash");
  Check(X509_sign(ca_.get(), caKey_.get(), EVP_sha256()) > 0, "sign CA");
  WritePem(caFile_, ca_.get(), nullptr);
  server_ = IssueServer("server", "ls_tallowmer test server", subjectAltNames);
}

TestPki::~TestPki() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

TestPki::ServerFiles TestPki::IssueServer(const std::string& name, const std::string& commonName,
                                          const std::string& subjectAltNames) {
  KeyPtr key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key");
  CertificatePtr server = MakeCertificate(key.get(), commonName, nextSerial_++, ca_.get());
  AddExtension(server.get(), ca_.get(), NID_basic_constraints, "CA:FALSE");
  AddExtension(server.get(), ca_.get(), NID_ext_key_usage, "serverAuth");
  if (!subjectAltNames.empty())
    AddExtension(server.get(), ca_.get(), NID_subject_alt_name, subjectAltNames.c_str());
  AddExtension(server.get(), ca_.get(), NID_authority_key_identifier, "keyid");
  Check(X509_sign(server.get(), caKey_.get(), EVP_sha256()) > 0, "sign server");
  ServerFiles files{folder_ + "/" + name + ".pem", folder_ + "/" + name + ".key"};
  WritePem(files.certificate, server.get(), nullptr);
  WritePem(files.key, nullptr, key.get());
  ERR_clear_error();
  return files;
}

}  // namespace tallowmer::testing
