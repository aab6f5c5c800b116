#pragma once

// What the device test meets when the service hangs or answers slowly, and how to tell that a
// dialog still answers meanwhile. Header-only, shared by the windows' own test and the cross-process robot.

#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/windows/Winsock.h"

namespace tallowmer::ui_probe {

// A socket listening on a free loopback port. Its backlog completes the handshakes whether or not
// anyone accepts them.
class LoopbackListener {
 public:
  LoopbackListener() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket_.get(), 16) != 0 ||
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ::ntohs(address.sin_port);
  }
  // The address followed by `path`.
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  bool Listening() const { return port_ != 0; }
  SOCKET Socket() const { return socket_.get(); }
  // A closed listening socket ends a thread waiting in accept.
  void Close() { socket_.reset(); }

 private:
  // Started before the socket is made, ended after it is closed.
  platform::windows::WinsockSession winsock_;
  platform::windows::UniqueSocket socket_;
  int port_ = 0;
};

// A server that takes connections and never answers: nobody accepts them.
using SilentServer = LoopbackListener;

// A server that answers every request with 200 and a small JSON body, each after `delay`: a slow
// but working service. One connection at a time, each closed after its answer.
class SlowServer {
 public:
  explicit SlowServer(std::chrono::milliseconds delay) : delay_(delay) {
    if (listener_.Listening()) serving_ = std::thread([this] { Serve(); });
  }
  SlowServer(const SlowServer&) = delete;
  SlowServer& operator=(const SlowServer&) = delete;
  ~SlowServer() {
    listener_.Close();
    if (serving_.joinable()) serving_.join();
  }
  std::string Url(const std::string& path) const { return listener_.Url(path); }
  bool Listening() const { return listener_.Listening(); }
  int Answered() const { return answered_.load(); }

 private:
  void Serve() {
    for (;;) {
      const SOCKET client = ::accept(listener_.Socket(), nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const int received = ::recv(client, buffer, sizeof(buffer), 0);
        if (received <= 0) break;
        request.append(buffer, static_cast<size_t>(received));
      }
      std::this_thread::sleep_for(delay_);
      const std::string body = "{\"result\":\"ok\"}";
      const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      ::send(client, answer.data(), static_cast<int>(answer.size()), 0);
      ::shutdown(client, SD_SEND);
      ::closesocket(client);
      ++answered_;
    }
  }

  LoopbackListener listener_;
  std::chrono::milliseconds delay_;
  std::atomic<int> answered_{0};
  std::thread serving_;
};

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Asks the window's thread with WM_NULL every 50 ms until `done` holds or `limit` seconds pass;
// answers the longest time the thread took to answer (5 s for a thread that never did).
inline double LongestAnswer(HWND window, double limit, const std::function<bool()>& done) {
  const Clock::time_point start = Clock::now();
  double longest = 0;
  while (!done() && SecondsSince(start) < limit) {
    const Clock::time_point asked = Clock::now();
    DWORD_PTR ignored = 0;
    if (!::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored)) return 5;
    longest = std::max(longest, SecondsSince(asked));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return longest;
}

}  // namespace tallowmer::ui_probe
