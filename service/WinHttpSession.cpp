#include "service/WinHttpSession.h"

#include <utility>

#include "service/WinHttpProxy.h"

namespace tallowmer {

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

// The route is decided already: the session goes through its proxy or none, and "<-loopback>" keeps
// newer WinHTTPs from going direct to loopback names on their own. Over HTTPS WinHTTP tunnels
// through the proxy with CONNECT. WinHTTPs without TLS 1.3 refuse the pair and get TLS 1.2 alone.
InternetHandle OpenRouteSession(const ProxyRoute& route) {
  const std::wstring proxyName = WinHttpProxyName(route);
  InternetHandle session(route.Direct() ? ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
                                        : ::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                                        proxyName.c_str(), L"<-loopback>", 0));
  if (!session) return session;
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  return session;
}

WinHttpSession::WinHttpSession(RouteDecision decision, const std::wstring& host, INTERNET_PORT port)
    : decision_(std::move(decision)), host_(host), port_(port), session_(OpenRouteSession(decision_.route)) {
  if (session_) connection_.reset(::WinHttpConnect(session_.get(), host_.c_str(), port_, 0));
  if (!connection_) error_ = ::GetLastError();
}

RouteSessions::RouteSessions(RouteKeeper::Decide decide) : keeper_(std::move(decide)) {}

std::shared_ptr<WinHttpSession> RouteSessions::For(const std::string& url, const std::wstring& host,
                                                   INTERNET_PORT port, DWORD& error) {
  const std::lock_guard lock(mutex_);
  const RouteDecision& decision = keeper_.For(url);
  if (!session_ || session_->Decision().number != decision.number || !session_->Serves(host, port)) {
    auto session = std::make_shared<WinHttpSession>(decision, host, port);
    if (!session->Opened()) {
      error = session->Error();
      // Nothing of the failed session is kept: the next request opens one again, on the same route.
      session_.reset();
      return nullptr;
    }
    session_ = std::move(session);
  }
  return session_;
}

void RouteSessions::ConnectionFailed(const std::shared_ptr<WinHttpSession>& session) {
  const std::lock_guard lock(mutex_);
  if (session != session_) return;
  keeper_.ConnectionFailed();
  session_.reset();
}

}  // namespace tallowmer
