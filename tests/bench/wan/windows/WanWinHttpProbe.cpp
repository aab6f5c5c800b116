// wan_winhttp_probe: plain WinHTTP, nothing of the driver, to tell what the platform's WinHTTP does
// apart from what the driver asks of it. Run under the WAN benchmark's relay, which counts the
// connections, look-ups and TLS resumptions, it shows request by request when each step came.
//
// Usage: wan_winhttp_probe URL [--requests N] [--share none|session|connect] [--post BYTES]
//                      [--proxy-search] [--root-first]
//   --share none     a session, a connection handle and a request per request (the driver's way
//                    before it kept its session)
//   --share session  one session for every request, a connection handle per request
//   --share connect  one session and one connection handle for every request (the default)
//   --post BYTES     POST a body of that many bytes with the headers, instead of GET
//   --proxy-search   first ask for the proxy as the driver does where the user's settings say
//                    "detect automatically" (WPAD through DHCP and DNS), and time it
//   --root-first     open the machine's Root store before the first request, and time it
// Every request goes on a fresh connection (keep-alive off), as the driver's do. Exit status 0
// when every request had an answer.

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct CloseInternet {
  void operator()(HINTERNET handle) const { ::WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, CloseInternet>;

struct CloseStore {
  void operator()(HCERTSTORE store) const { ::CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, CloseStore>;

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// When each step of one request came, from WinHTTP's notifications (delivered on the calling
// thread while a synchronous call runs).
struct Steps {
  Clock::time_point start = Clock::now();
  std::string text;

  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    auto* steps = reinterpret_cast<Steps*>(context);
    if (steps == nullptr) return;
    const char* name = nullptr;
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
        name = "resolving";
        break;
      case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
        name = "resolved";
        break;
      case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        name = "connected";
        break;
      case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        name = "sending";
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        name = "sent";
        break;
      case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
        name = "answered";
        break;
      default:
        return;
    }
    char part[64];
    std::snprintf(part, sizeof part, "%s%s %.1f", steps->text.empty() ? "" : ", ", name, Since(steps->start));
    steps->text += part;
  }
};

struct Options {
  std::wstring url;
  int requests = 4;
  std::wstring share = L"connect";
  long postBytes = -1;
  bool proxySearch = false;
  bool rootFirst = false;
};

bool Parse(int argc, wchar_t** argv, Options& options) {
  if (argc < 2) return false;
  options.url = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::wstring name = argv[i];
    const bool hasValue = i + 1 < argc;
    if (name == L"--requests" && hasValue) {
      options.requests = std::wcstol(argv[++i], nullptr, 10);
    } else if (name == L"--share" && hasValue) {
      options.share = argv[++i];
    } else if (name == L"--post" && hasValue) {
      options.postBytes = std::wcstol(argv[++i], nullptr, 10);
    } else if (name == L"--proxy-search") {
      options.proxySearch = true;
    } else if (name == L"--root-first") {
      options.rootFirst = true;
    } else {
      return false;
    }
  }
  return options.requests > 0 &&
         (options.share == L"none" || options.share == L"session" || options.share == L"connect");
}

// What the driver asks when the user's settings say "detect automatically".
void SearchProxy(const std::wstring& url) {
  const Clock::time_point start = Clock::now();
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  const BOOL read = ::WinHttpGetIEProxyConfigForCurrentUser(&user);
  for (LPWSTR text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass}) {
    if (text != nullptr) ::GlobalFree(text);
  }
  const Internet session(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
  WINHTTP_AUTOPROXY_OPTIONS options{};
  options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
  options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  WINHTTP_PROXY_INFO info{};
  const BOOL found = ::WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info);
  const DWORD error = found ? 0 : ::GetLastError();
  for (LPWSTR text : {info.lpszProxy, info.lpszProxyBypass}) {
    if (text != nullptr) ::GlobalFree(text);
  }
  std::printf("proxy search: %.1f ms (user settings %s, detect automatically %s; %s %lu)\n", Since(start),
              read ? "read" : "unread", user.fAutoDetect ? "on" : "off", found ? "found" : "none, error",
              static_cast<unsigned long>(error));
}

void OpenRoot() {
  const Clock::time_point start = Clock::now();
  const Store root(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  int count = 0;
  for (PCCERT_CONTEXT certificate = nullptr;
       (certificate = ::CertEnumCertificatesInStore(root.get(), certificate)) != nullptr;)
    ++count;
  std::printf("Root store: %.1f ms to open, %d certificates\n", Since(start), count);
}

class Prober {
 public:
  explicit Prober(const Options& options) : options_(options) {
    parts_.dwStructSize = sizeof parts_;
    parts_.dwHostNameLength = static_cast<DWORD>(-1);
    parts_.dwUrlPathLength = static_cast<DWORD>(-1);
    parts_.dwExtraInfoLength = static_cast<DWORD>(-1);
    ::WinHttpCrackUrl(options.url.c_str(), 0, 0, &parts_);
    host_.assign(parts_.lpszHostName, parts_.dwHostNameLength);
    path_.assign(parts_.lpszUrlPath, parts_.dwUrlPathLength + parts_.dwExtraInfoLength);
  }

  bool Request(int number) {
    if (!session_ || options_.share == L"none") {
      connection_.reset();
      session_ = OpenSession();
    }
    if (!connection_ || options_.share != L"connect")
      connection_ = Internet(::WinHttpConnect(session_.get(), host_.c_str(), parts_.nPort, 0));
    Steps steps;
    const bool post = options_.postBytes >= 0;
    const Internet request(::WinHttpOpenRequest(
        connection_.get(), post ? L"POST" : L"GET", path_.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, parts_.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    DWORD features = WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    ::WinHttpSetStatusCallback(request.get(), &Steps::OnStatus, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
    std::string body(post ? static_cast<size_t>(options_.postBytes) : 0, 'x');
    const wchar_t* headers = post ? L"Content-Type: application/json; charset=utf-8\r\n" : nullptr;
    bool answered =
        ::WinHttpSendRequest(request.get(), headers, post ? static_cast<DWORD>(-1L) : 0,
                             post ? body.data() : nullptr, static_cast<DWORD>(body.size()),
                             static_cast<DWORD>(body.size()), reinterpret_cast<DWORD_PTR>(&steps)) &&
        ::WinHttpReceiveResponse(request.get(), nullptr);
    const DWORD error = answered ? 0 : ::GetLastError();
    DWORD status = 0;
    DWORD size = sizeof status;
    if (answered) {
      ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
      char chunk[4096];
      DWORD read = 0;
      while (::WinHttpReadData(request.get(), chunk, sizeof chunk, &read) && read > 0) {
      }
    }
    ::WinHttpSetStatusCallback(request.get(), nullptr, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
    std::printf(
        "request %d: %.1f ms, %s (%s)\n", number, Since(steps.start),
        answered ? ("status " + std::to_string(status)).c_str() : ("error " + std::to_string(error)).c_str(),
        steps.text.c_str());
    std::fflush(stdout);
    return answered;
  }

 private:
  static Internet OpenSession() {
    Internet session(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    return session;
  }

  const Options& options_;
  URL_COMPONENTS parts_{};
  std::wstring host_;
  std::wstring path_;
  Internet session_;
  Internet connection_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: wan_winhttp_probe URL [--requests N] [--share none|session|connect] [--post BYTES] "
                 "[--proxy-search] [--root-first]\n");
    return 2;
  }
  if (options.proxySearch) SearchProxy(options.url);
  if (options.rootFirst) OpenRoot();
  Prober prober(options);
  bool all = true;
  for (int number = 1; number <= options.requests; ++number) all &= prober.Request(number);
  return all ? 0 : 1;
}
