#include "tests/wine/PlainWinHttp.h"

#include <winhttp.h>

#include <memory>

namespace tallowmer::testing {
namespace {

struct HandleClose {
  void operator()(HINTERNET handle) const { ::WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleClose>;

}  // namespace

std::string PlainAnswer::Describe() const {
  if (!whole && status == 0) return "error " + std::to_string(error);
  std::string text =
      "status " + std::to_string(status) + ", " + std::to_string(bodyBytes) + " bytes of body, ";
  return text + (whole ? "no error" : "then error " + std::to_string(error));
}

PlainAnswer PlainWinHttpGet(const std::wstring& url, DWORD headLimit) {
  PlainAnswer answer;
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
    answer.error = ::GetLastError();
    return answer;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                            std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  const Handle session(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session || !::WinHttpSetTimeouts(session.get(), 10'000, 10'000, 10'000, 10'000)) {
    answer.error = ::GetLastError();
    return answer;
  }
  const Handle connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  const Handle request(
      connection ? ::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                 : nullptr);
  if (!request) {
    answer.error = ::GetLastError();
    return answer;
  }
  if (headLimit != 0)
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headLimit, sizeof headLimit);
  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    answer.error = ::GetLastError();
    return answer;
  }
  DWORD size = sizeof answer.status;
  ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &answer.status, &size, WINHTTP_NO_HEADER_INDEX);
  char buffer[16 * 1024];
  DWORD read = 0;
  while (::WinHttpReadData(request.get(), buffer, sizeof buffer, &read)) {
    if (read == 0) {
      answer.whole = true;
      return answer;
    }
    answer.bodyBytes += read;
  }
  answer.error = ::GetLastError();
  return answer;
}

}  // namespace tallowmer::testing
