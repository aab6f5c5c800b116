// The Windows HTTP client: WinHTTP with TLS 1.2 and later, the system's certificate checks, no
// redirections, no kept-alive connections. WinHTTP does not show the raw stream, so the log sees
// the request line and headers as sent, the body, the status line and headers as received and the
// body, which is what travelled on the plain side of TLS. The connection's opening and closing are
// WinHTTP's own notifications, so a connection that never opens leaves no trace in the log.

#include <windows.h>

#include <winhttp.h>

#include <string>
#include <utility>
#include <vector>

#include "common/Unicode.h"
#include "service/HttpTransport.h"

namespace tallowmer {
namespace {

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() {
    if (handle_ != nullptr) ::WinHttpCloseHandle(handle_);
  }
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

std::string ErrorText(DWORD code) {
  if (code == ERROR_WINHTTP_TIMEOUT) return "Истекло время ожидания ответа сервера";
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                            FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        ::GetModuleHandleW(L"winhttp.dll"), code, 0,
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length != 0 ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return (text.empty() ? std::string("Ошибка WinHTTP") : WideToUtf8(text)) + " (" + std::to_string(code) +
         ")";
}

std::wstring QueryHeaders(HINTERNET request, DWORD level) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
  if (size == 0) return {};
  std::wstring headers(size / sizeof(wchar_t), L'\0');
  if (!::WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, headers.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  headers.resize(size / sizeof(wchar_t));
  return headers;
}

// The connection events of one request, from WinHTTP's status notifications on the request handle.
// Synchronous requests deliver them on the calling thread, inside the call that causes them.
class ConnectionWatch {
 public:
  explicit ConnectionWatch(IHttpEvents* events) : events_(events) {}
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;
  // The request handle is closed by now, and its connection with it.
  ~ConnectionWatch() { Closed(); }

  static constexpr DWORD kNotifications = WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
                                          WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
                                          WINHTTP_CALLBACK_FLAG_CLOSE_CONNECTION;

  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    auto* watch = reinterpret_cast<ConnectionWatch*>(context);
    if (watch == nullptr) return;
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        watch->Opened();
        break;
      case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        watch->sending_ = true;
        break;
      case WINHTTP_CALLBACK_STATUS_CONNECTION_CLOSED:
        watch->Closed();
        break;
      default:
        break;
    }
  }

  // Whether the request went out on the connection, wholly or in part.
  bool Sending() const { return sending_; }
  // Lets the request handle go quiet before its owner closes it.
  static void Detach(HINTERNET request) { ::WinHttpSetStatusCallback(request, nullptr, kNotifications, 0); }

 private:
  void Opened() {
    if (open_) return;
    open_ = true;
    if (events_ != nullptr) events_->OnConnected();
  }
  void Closed() {
    if (!open_) return;
    open_ = false;
    if (events_ != nullptr) events_->OnDisconnected();
  }

  IHttpEvents* events_;
  bool open_ = false;
  bool sending_ = false;
};

class WinHttpTransport final : public IHttpTransport {
 public:
  explicit WinHttpTransport(TransportOptions options) : options_(std::move(options)) {}

  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    HttpAnswer answer;
    try {
      Send(verb, url, body, events, answer);
    } catch (const std::exception& error) {
      answer.status = -1;
      answer.error = error.what();
    }
    return answer;
  }

 private:
  struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  [[noreturn]] static void Fail() { throw Failure(ErrorText(::GetLastError())); }

  void Send(HttpVerb verb, const std::string& url, std::string_view body, IHttpEvents* events,
            HttpAnswer& answer) {
    std::wstring wideUrl = Utf8ToWide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) Fail();
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                              std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    const InternetHandle session(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) Fail();
    const int connect = static_cast<int>(options_.connectTimeout.count());
    const int whole = static_cast<int>(options_.requestTimeout.count());
    ::WinHttpSetTimeouts(session.get(), connect, connect, whole, whole);
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
      protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
      ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }

    const InternetHandle connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) Fail();
    const wchar_t* acceptTypes[] = {L"*/*", nullptr};
    // Declared before the request handle, so that it outlives every notification of that handle.
    ConnectionWatch watch(events);
    const InternetHandle request(
        ::WinHttpOpenRequest(connection.get(), verb == HttpVerb::Post ? L"POST" : L"GET", path.c_str(),
                             nullptr, WINHTTP_NO_REFERER, acceptTypes, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) Fail();
    struct Quieten {
      HINTERNET request;
      ~Quieten() { ConnectionWatch::Detach(request); }
    } quieten{request.get()};
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    if (::WinHttpSetStatusCallback(request.get(), &ConnectionWatch::OnStatus, ConnectionWatch::kNotifications,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      Fail();
    }

    const std::wstring contentType = L"Content-Type: application/json; charset=utf-8\r\n";
    const bool withBody = verb == HttpVerb::Post;
    const BOOL sent = ::WinHttpSendRequest(
        request.get(), withBody ? contentType.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
        withBody ? static_cast<DWORD>(-1L) : 0,
        withBody ? const_cast<char*>(body.data()) : WINHTTP_NO_REQUEST_DATA,
        withBody ? static_cast<DWORD>(body.size()) : 0, withBody ? static_cast<DWORD>(body.size()) : 0,
        reinterpret_cast<DWORD_PTR>(&watch));
    const DWORD sendError = sent ? ERROR_SUCCESS : ::GetLastError();
    // The headers as WinHTTP composed and sent them; nothing when the request never went out.
    if (events != nullptr && watch.Sending()) {
      events->OnSent(WideToUtf8(
          QueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS)));
      if (withBody && !body.empty()) events->OnSent(body);
    }
    if (!sent) throw Failure(ErrorText(sendError));
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) Fail();
    if (events != nullptr)
      events->OnReceived(WideToUtf8(QueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF)));

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      Fail();
    }
    std::wstring type = QueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_TYPE);
    while (!type.empty() && type.back() == L'\0') type.pop_back();
    answer.contentType = WideToUtf8(type);
    ReadBody(request.get(), events, answer.body);
    answer.status = static_cast<int32_t>(status);
  }

  static void ReadBody(HINTERNET request, IHttpEvents* events, std::string& body) {
    std::vector<char> chunk(16 * 1024);
    while (true) {
      DWORD read = 0;
      if (!::WinHttpReadData(request, chunk.data(), static_cast<DWORD>(chunk.size()), &read)) Fail();
      if (read == 0) return;
      if (events != nullptr) events->OnReceived(std::string_view(chunk.data(), read));
      body.append(chunk.data(), read);
    }
  }

  TransportOptions options_;
};

}  // namespace

std::unique_ptr<IHttpTransport> CreateDefaultTransport(const TransportOptions& options) {
  return std::make_unique<WinHttpTransport>(options);
}

}  // namespace tallowmer
