#pragma once

// Test peers for the transport: a TLS server on loopback that answers each connection with scripted
// bytes, and a socket that ignores connections.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestPki.h"

struct ssl_ctx_st;

namespace tallowmer::testing {

// A complete HTTP/1.1 answer with Content-Length.
std::string HttpAnswerBytes(int status, const std::string& reason, const std::string& contentType,
                            const std::string& body, const std::string& extraHeaders = "");

// Accepts one connection at a time on 127.0.0.1, reads one request (headers and Content-Length
// body), writes what the script returns for it and closes the connection.
class ScriptedTlsServer {
 public:
  using Script = std::function<std::string(const std::string& request)>;
  struct Connection {
    int peerPort = 0;
    std::string request;
  };

  ScriptedTlsServer(const TestPki& pki, Script script);
  ~ScriptedTlsServer();
  ScriptedTlsServer(const ScriptedTlsServer&) = delete;
  ScriptedTlsServer& operator=(const ScriptedTlsServer&) = delete;

  int Port() const { return port_; }
  // "https://127.0.0.1:<port>" followed by `pathAndQuery`.
  std::string Url(const std::string& pathAndQuery) const;
  std::vector<Connection> Connections() const;

 private:
  void Serve();
  void HandleConnection(int socket, int peerPort);

  Script script_;
  ::ssl_ctx_st* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Connection> connections_;
  std::thread thread_;
};

// A loopback port that completes the TCP handshake (the kernel does) but never answers.
class SilentPort {
 public:
  SilentPort();
  ~SilentPort();
  int Port() const { return port_; }

 private:
  int socket_ = -1;
  int port_ = 0;
};

}  // namespace tallowmer::testing
