#include "tools/sim/Certificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <iterator>

#include "tests/sim/SimTestSupport.h"
#include "tests/support/OpenSslOwners.h"

namespace tallowmer::sim {
namespace {

namespace fs = std::filesystem;
using tallowmer::testing::BioPtr;
using tallowmer::testing::StoreContextPtr;
using tallowmer::testing::StorePtr;
using testing::TempDir;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CertificatePtr ReadCertificate(const fs::path& path) {
  const std::string pem = ReadFile(path);
  const BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return CertificatePtr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

// What a TLS client checks: the chain up to the CA file, for a server, now.
bool VerifiesAgainst(X509* certificate, const fs::path& caFile) {
  const StorePtr store(X509_STORE_new());
  const StoreContextPtr context(X509_STORE_CTX_new());
  return X509_STORE_load_file(store.get(), caFile.c_str()) == 1 &&
         X509_STORE_CTX_init(context.get(), store.get(), certificate, nullptr) == 1 &&
         X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER) == 1 &&
         X509_verify_cert(context.get()) == 1;
}

class CertificatesTest : public ::testing::Test {
 protected:
  fs::path Folder() const { return dir.Path() / "state"; }
  TempDir dir;
};

TEST_F(CertificatesTest, MakesACaAndAServerCertificateForLoopback) {
  const TlsIdentity identity = LoadOrCreateTlsIdentity(Folder());
  EXPECT_EQ(identity.caFile, Folder() / "ca.pem");
  ASSERT_TRUE(identity.certificate && identity.key);
  EXPECT_EQ(X509_check_private_key(identity.certificate.get(), identity.key.get()), 1);
  EXPECT_TRUE(VerifiesAgainst(identity.certificate.get(), identity.caFile));

  EXPECT_TRUE(CertificateNames(identity.certificate.get(), "127.0.0.1"));
  EXPECT_TRUE(CertificateNames(identity.certificate.get(), "localhost"));
  EXPECT_FALSE(CertificateNames(identity.certificate.get(), "127.0.0.2"));
  EXPECT_FALSE(CertificateNames(identity.certificate.get(), "::1"));
  EXPECT_FALSE(CertificateNames(identity.certificate.get(), "example.com"));

  const CertificatePtr ca = ReadCertificate(identity.caFile);
  ASSERT_TRUE(ca);
  EXPECT_GE(X509_check_ca(ca.get()), 1);
  EXPECT_EQ(X509_check_ca(identity.certificate.get()), 0);
  EXPECT_EQ(X509_check_issued(ca.get(), identity.certificate.get()), X509_V_OK);
  EXPECT_EQ(X509_get_extended_key_usage(identity.certificate.get()) & XKU_SSL_SERVER, XKU_SSL_SERVER);
}

TEST_F(CertificatesTest, StoresTheFilesWithThePrivateKeyForTheOwnerOnly) {
  const TlsIdentity identity = LoadOrCreateTlsIdentity(Folder());
  for (const char* name : {kCaFileName, kCertificateFileName, kKeyFileName}) {
    EXPECT_TRUE(fs::is_regular_file(Folder() / name)) << name;
    EXPECT_NE(ReadFile(Folder() / name).find("-----BEGIN "), std::string::npos) << name;
  }
  const fs::perms keyPerms = fs::status(Folder() / kKeyFileName).permissions();
  EXPECT_EQ(keyPerms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  // Nothing a CA key could be recognised by is left behind.
  for (const auto& entry : fs::directory_iterator(Folder())) {
    if (entry.path().filename() == kKeyFileName) continue;
    EXPECT_EQ(ReadFile(entry.path()).find("PRIVATE KEY"), std::string::npos) << entry.path();
  }
}

TEST_F(CertificatesTest, ReusesWhatIsStored) {
  const TlsIdentity first = LoadOrCreateTlsIdentity(Folder());
  const std::string ca = ReadFile(first.caFile);
  const TlsIdentity second = LoadOrCreateTlsIdentity(Folder());
  EXPECT_EQ(X509_cmp(first.certificate.get(), second.certificate.get()), 0);
  EXPECT_EQ(EVP_PKEY_eq(first.key.get(), second.key.get()), 1);
  EXPECT_EQ(ReadFile(second.caFile), ca);
}

TEST_F(CertificatesTest, IdentitiesInDifferentFoldersDoNotTrustEachOther) {
  const TlsIdentity first = LoadOrCreateTlsIdentity(Folder());
  const TlsIdentity other = LoadOrCreateTlsIdentity(dir.Path() / "other");
  EXPECT_NE(X509_cmp(first.certificate.get(), other.certificate.get()), 0);
  EXPECT_FALSE(VerifiesAgainst(first.certificate.get(), other.caFile));
  EXPECT_FALSE(VerifiesAgainst(other.certificate.get(), first.caFile));
}

TEST_F(CertificatesTest, ReissuesForAnotherListenAddressAndKeepsIt) {
  const TlsIdentity loopback = LoadOrCreateTlsIdentity(Folder());
  const TlsIdentity wider = LoadOrCreateTlsIdentity(Folder(), {"192.0.2.10", "sim.example.test"});
  EXPECT_NE(X509_cmp(loopback.certificate.get(), wider.certificate.get()), 0);
  for (const char* host : {"192.0.2.10", "sim.example.test", "127.0.0.1", "localhost"}) {
    EXPECT_TRUE(CertificateNames(wider.certificate.get(), host)) << host;
  }
  EXPECT_TRUE(VerifiesAgainst(wider.certificate.get(), wider.caFile));
  const TlsIdentity again = LoadOrCreateTlsIdentity(Folder(), {"192.0.2.10"});
  EXPECT_EQ(X509_cmp(again.certificate.get(), wider.certificate.get()), 0);
}

struct DamageCase {
  const char* what;
  void (*damage)(const fs::path& folder, const fs::path& spareFolder);
};

class DamagedIdentityTest : public CertificatesTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedIdentityTest, IsMadeAfresh) {
  const TlsIdentity original = LoadOrCreateTlsIdentity(Folder());
  LoadOrCreateTlsIdentity(dir.Path() / "spare");
  GetParam().damage(Folder(), dir.Path() / "spare");

  const TlsIdentity renewed = LoadOrCreateTlsIdentity(Folder());
  EXPECT_NE(X509_cmp(original.certificate.get(), renewed.certificate.get()), 0);
  EXPECT_EQ(X509_check_private_key(renewed.certificate.get(), renewed.key.get()), 1);
  EXPECT_TRUE(VerifiesAgainst(renewed.certificate.get(), renewed.caFile));
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedIdentityTest,
                         ::testing::Values(DamageCase{"CaMissing",
                                                      [](const fs::path& f, const fs::path&) {
                                                        fs::remove(f / kCaFileName);
                                                      }},
                                           DamageCase{"CertificateTruncated",
                                                      [](const fs::path& f, const fs::path&) {
                                                        fs::resize_file(f / kCertificateFileName, 100);
                                                      }},
                                           DamageCase{"KeyGarbled",
                                                      [](const fs::path& f, const fs::path&) {
                                                        std::ofstream(f / kKeyFileName) << "not a key";
                                                      }},
                                           DamageCase{"KeyOfAnotherCertificate",
                                                      [](const fs::path& f, const fs::path& spare) {
                                                        fs::copy_file(spare / kKeyFileName, f / kKeyFileName,
                                                                      fs::copy_options::overwrite_existing);
                                                      }},
                                           DamageCase{"CaOfAnotherFolder",
                                                      [](const fs::path& f, const fs::path& spare) {
                                                        fs::copy_file(spare / kCaFileName, f / kCaFileName,
                                                                      fs::copy_options::overwrite_existing);
                                                      }}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace tallowmer::sim
