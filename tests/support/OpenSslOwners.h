#pragma once

// Owners of the OpenSSL objects that tests make (keys, certificates, stores, BIOs, connections),
// each freed by OpenSSL's own function.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace tallowmer::testing {

template <auto Free>
struct FreedBy {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

using KeyPtr = std::unique_ptr<EVP_PKEY, FreedBy<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, FreedBy<X509_free>>;
using BioPtr = std::unique_ptr<BIO, FreedBy<BIO_free>>;
using SslPtr = std::unique_ptr<SSL, FreedBy<SSL_free>>;
using SslContextPtr = std::unique_ptr<SSL_CTX, FreedBy<SSL_CTX_free>>;
using StorePtr = std::unique_ptr<X509_STORE, FreedBy<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, FreedBy<X509_STORE_CTX_free>>;

}  // namespace tallowmer::testing
