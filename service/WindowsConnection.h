#pragma once

// One connection of the Windows transport: TCP through Winsock, and TLS 1.2 over it through
// SChannel, the server's certificate checked against the system's trust and the server's name as
// WinHTTP checks them. Every wait gets what is left of the request's deadline, so that no server can
// hold a request past it. Failures leave as ConnectionFault, with their kind of the transport
// contract.

// Winsock before windows.h, which would otherwise bring in its older declarations.
#include <winsock2.h>

#include <windows.h>

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/windows/Winsock.h"
#include "service/Deadline.h"
#include "service/HttpTransport.h"

namespace tallowmer {

struct ConnectionFault : std::exception {
  ConnectionFault(TransportFailure failure, std::string words) : kind(failure), detail(std::move(words)) {}
  const char* what() const noexcept override { return detail.c_str(); }

  TransportFailure kind;
  std::string detail;
};

// An SSPI handle (credentials or a security context), released by `Release` once.
template <typename Handle, SECURITY_STATUS(SEC_ENTRY* Release)(Handle*)>
class SecurityHandle {
 public:
  SecurityHandle() = default;
  SecurityHandle(const SecurityHandle&) = delete;
  SecurityHandle& operator=(const SecurityHandle&) = delete;
  ~SecurityHandle() {
    if (valid_) Release(&handle_);
  }

  Handle* get() { return valid_ ? &handle_ : nullptr; }
  // For a call that makes the handle; Keep() once it has.
  Handle* put() { return &handle_; }
  void Keep() { valid_ = true; }

 private:
  Handle handle_{};
  bool valid_ = false;
};

class WindowsConnection {
 public:
  // Resolves `host` (a name or an address) and connects within `connectTimeout` and the deadline.
  WindowsConnection(const std::string& host, uint16_t port, std::chrono::milliseconds connectTimeout,
                    const Deadline& deadline);
  WindowsConnection(const WindowsConnection&) = delete;
  WindowsConnection& operator=(const WindowsConnection&) = delete;

  // TLS for `serverName` over the connection; nothing is sent before the server's certificate has
  // passed.
  void StartTls(const std::string& serverName, const Deadline& deadline);
  void Send(std::string_view bytes, const Deadline& deadline);
  // The next bytes of the stream (TLS's plain side once it has started), valid until the next call;
  // empty at the stream's end.
  std::string_view Receive(const Deadline& deadline);
  // Bytes received beyond what the reader needed, to be received again first.
  void PutBack(std::string_view bytes) { putBack_.insert(0, bytes); }
  // After the end of the stream: whether it ended as its protocol says (over TLS with close_notify).
  bool EndedCleanly() const { return cleanEnd_; }
  // Says close_notify over TLS, without waiting: the answer is in by then.
  void CloseTls();

 private:
  void Connect(const std::string& host, uint16_t port, std::chrono::milliseconds connectTimeout,
               const Deadline& deadline);
  void SendRaw(std::string_view bytes, const Deadline& deadline);
  size_t ReceiveRaw(char* buffer, size_t size, const Deadline& deadline);
  void ReceiveMore(std::string& into, const Deadline& deadline);
  void Handshake(std::string input, bool renegotiating, const Deadline& deadline);
  void VerifyServerCertificate();
  void SendSecure(std::string_view bytes, const Deadline& deadline);
  std::string_view ReceiveSecure(const Deadline& deadline);

  const platform::windows::WinsockSession winsock_;
  platform::windows::UniqueSocket socket_;
  std::string putBack_;
  std::string received_;
  bool ended_ = false;
  bool cleanEnd_ = false;

  bool secure_ = false;
  std::wstring serverName_;
  SecurityHandle<CredHandle, ::FreeCredentialsHandle> credentials_;
  SecurityHandle<CtxtHandle, ::DeleteSecurityContext> context_;
  SecPkgContext_StreamSizes sizes_{};
  // Records received and not yet decrypted, and plain bytes decrypted and not yet handed out.
  std::string encrypted_;
  std::string plain_;
};

}  // namespace tallowmer
