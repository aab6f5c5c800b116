// Puts a PEM certificate into the machine's Root store, as an administrator installs a private
// authority on a till. Usage: add_root_certificate FILE.pem. The Wine tests use it to make the
// simulator's authority trusted by WinHTTP.

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: add_root_certificate FILE.pem\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (pem.empty() || !::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                                             CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    std::fprintf(stderr, "no PEM certificate in the file\n");
    return 1;
  }
  std::vector<BYTE> der(size);
  ::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                         &size, nullptr, nullptr);
  const HCERTSTORE store =
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "the machine's Root store cannot be opened: %lu\n", ::GetLastError());
    return 1;
  }
  const BOOL added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = ::GetLastError();
  ::CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "the certificate was not added: %lu\n", error);
    return 1;
  }
  return 0;
}
