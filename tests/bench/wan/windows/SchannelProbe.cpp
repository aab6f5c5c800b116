// schannel_probe: plain Winsock and SChannel, nothing of the driver, to tell what the platform's
// SChannel does apart from what the driver asks of it. Under the WAN benchmark's relay, which reads
// the TLS hellos, it shows whether a second handshake offers the first one's session.
//
// Usage: schannel_probe HOST PORT PATH [--requests N] [--credentials shared|each] [--resolve once|each]
//   --credentials shared  one credentials handle for every connection (the default); each: one per
//                         connection
//   --resolve once        the name resolved once for every connection (the default); each: per
//                         connection
// Each request is a GET on a fresh connection with TLS 1.2; the server's certificate is not judged
// here. Exit status 0 when every request had an answer.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Credentials {
  CredHandle handle{};
  bool valid = false;
  Credentials() {
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    valid = ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                        nullptr, &settings, nullptr, nullptr, &handle, nullptr) == SEC_E_OK;
  }
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  ~Credentials() {
    if (valid) ::FreeCredentialsHandle(&handle);
  }
};

struct Context {
  CtxtHandle handle{};
  bool valid = false;
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (valid) ::DeleteSecurityContext(&handle);
  }
};

struct Socket {
  SOCKET handle = INVALID_SOCKET;
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (handle != INVALID_SOCKET) ::closesocket(handle);
  }
};

struct AddressFree {
  void operator()(addrinfo* addresses) const { ::freeaddrinfo(addresses); }
};
using Addresses = std::unique_ptr<addrinfo, AddressFree>;

Addresses Resolve(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return nullptr;
  return Addresses(found);
}

bool SendAll(SOCKET socket, const char* data, size_t size) {
  while (size > 0) {
    const int sent = ::send(socket, data, static_cast<int>(size), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// The handshake, the request in one record, and the answer until the server closes; the steps'
// times in `steps`.
bool Exchange(SOCKET socket, CredHandle& credentials, const std::wstring& host, const std::string& request,
              std::string& steps, Clock::time_point start) {
  Context context;
  std::string input;
  bool first = true;
  SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
  while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
    if (!first && (input.empty() || status == SEC_E_INCOMPLETE_MESSAGE)) {
      char buffer[16384];
      const int got = ::recv(socket, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      input.append(buffer, static_cast<size_t>(got));
    }
    SecBuffer in[2] = {{static_cast<ULONG>(input.size()), SECBUFFER_TOKEN, input.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    status = ::InitializeSecurityContextW(
        &credentials, first ? nullptr : &context.handle, const_cast<wchar_t*>(host.c_str()),
        ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
            ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION,
        0, 0, first ? nullptr : &inDescription, 0, first ? &context.handle : nullptr, &outDescription,
        &attributes, nullptr);
    if (first && status >= 0) context.valid = true;
    first = false;
    if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr) {
      SendAll(socket, static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
      ::FreeContextBuffer(out[0].pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    input = in[1].BufferType == SECBUFFER_EXTRA ? input.substr(input.size() - in[1].cbBuffer) : std::string();
  }
  if (status != SEC_E_OK) {
    steps += "handshake failed " + std::to_string(status);
    return false;
  }
  char part[64];
  std::snprintf(part, sizeof part, "handshake %.1f", Since(start));
  steps += part;

  SecPkgContext_StreamSizes sizes{};
  ::QueryContextAttributesW(&context.handle, SECPKG_ATTR_STREAM_SIZES, &sizes);
  std::string record(sizes.cbHeader + request.size() + sizes.cbTrailer, '\0');
  std::copy(request.begin(), request.end(), record.begin() + sizes.cbHeader);
  SecBuffer buffers[4] = {
      {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
      {static_cast<ULONG>(request.size()), SECBUFFER_DATA, record.data() + sizes.cbHeader},
      {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + request.size()},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
  if (::EncryptMessage(&context.handle, 0, &description, 0) != SEC_E_OK) return false;
  if (!SendAll(socket, record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer))
    return false;
  // The first bytes of the answer are enough to time it; the server closes after it.
  char buffer[16384];
  const int got = ::recv(socket, buffer, sizeof buffer, 0);
  std::snprintf(part, sizeof part, ", answered %.1f", Since(start));
  steps += part;
  return got > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: schannel_probe HOST PORT PATH [--requests N] [--credentials shared|each] "
                 "[--resolve once|each]\n");
    return 2;
  }
  const std::string host = argv[1];
  const std::string port = argv[2];
  const std::string request = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: " + host +
                              "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  int requests = 3;
  bool sharedCredentials = true;
  bool resolveOnce = true;
  for (int i = 4; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--requests") requests = std::atoi(value.c_str());
    if (name == "--credentials") sharedCredentials = value == "shared";
    if (name == "--resolve") resolveOnce = value == "once";
  }
  WSADATA winsock;
  if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 1;
  const std::wstring wideHost(host.begin(), host.end());
  std::unique_ptr<Credentials> shared = sharedCredentials ? std::make_unique<Credentials>() : nullptr;
  Addresses once = resolveOnce ? Resolve(host, port) : nullptr;
  bool all = true;
  for (int number = 1; number <= requests; ++number) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<Credentials> own = sharedCredentials ? nullptr : std::make_unique<Credentials>();
    Credentials& credentials = sharedCredentials ? *shared : *own;
    Addresses resolved = resolveOnce ? nullptr : Resolve(host, port);
    const addrinfo* address = resolveOnce ? once.get() : resolved.get();
    Socket socket;
    std::string steps;
    bool answered = false;
    if (credentials.valid && address != nullptr) {
      socket.handle = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
      if (::connect(socket.handle, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) {
        char part[32];
        std::snprintf(part, sizeof part, "connected %.1f, ", Since(start));
        steps = part;
        answered = Exchange(socket.handle, credentials.handle, wideHost, request, steps, start);
      }
    }
    std::printf("request %d: %.1f ms, %s (%s)\n", number, Since(start), answered ? "answered" : "failed",
                steps.c_str());
    std::fflush(stdout);
    all &= answered;
  }
  ::WSACleanup();
  return all ? 0 : 1;
}
