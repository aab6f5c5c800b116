// The transport cases as a Windows program, run under Wine where GoogleTest is not at hand.
// Usage: transport_conformance PLAIN_URL HTTPS_URL UNTRUSTED_URL TOKEN LOG_FOLDER GARBAGE_URL
// REFUSING_PROXY HOSTILE_URL HOSTILE_TLS_URL (a server that answers no HTTP, a proxy's "host:port" that
// refuses every tunnel, and the hostile server over plain HTTP and over TLS). The transport is the
// product's own with its default options, so it trusts what the system trusts. Prints one line per case
// and exits with the number of failed cases.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/windows/WindowsSystem.h"
#include "service/HttpTransport.h"
#include "tests/support/RefusingPort.h"
#include "tests/transport/TransportConformance.h"
#include "tests/wine/PlainWinHttp.h"

namespace {

// The current user's Internet settings as the registry holds them: a header (version, counter,
// flags: 1 direct, 3 direct or the proxy), then the proxy list, the bypass list and the
// configuration script's URL, each after its length. An empty proxy means direct.
void UseUserProxy(const std::string& proxy) {
  std::string blob;
  const auto put = [&blob](uint32_t value) {
    blob.append(reinterpret_cast<const char*>(&value), sizeof value);
  };
  put(0x46);
  put(0);
  put(proxy.empty() ? 1 : 3);
  for (const std::string& text : {proxy, std::string(), std::string()}) {
    put(static_cast<uint32_t>(text.size()));
    blob += text;
  }
  blob.append(28, '\0');
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER,
                        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
                        nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  ::RegSetValueExA(key, "DefaultConnectionSettings", 0, REG_BINARY,
                   reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()));
  ::RegCloseKey(key);
}

// The hostile server's scenarios that WinHTTP itself may take wrongly, before the transport sees the
// answer: a case is skipped only where a plain WinHTTP GET shows the fault here (Wine's WinHTTP
// does); elsewhere, and where WinHTTP mends it, the case runs.
struct KnownFault {
  const char* scenario;
  // The scenario a plain GET asks, where the case's own would not end (an endless head).
  const char* shownBy;
  // Over TLS alone: the fault is about how TLS ends.
  bool secureOnly;
  bool (*shows)(const tallowmer::testing::PlainAnswer& answer);
  const char* fault;
};

bool TakenWhole(const tallowmer::testing::PlainAnswer& answer) {
  return answer.whole && answer.status == 200;
}

const KnownFault kKnownFaults[] = {
    {"continue-then-ok", "continue-then-ok", false,
     [](const tallowmer::testing::PlainAnswer& answer) { return !answer.whole && answer.error == 12152; },
     "WinHTTP skips only the status line of a 100 Continue and reads its empty line as the next status line"},
    {"endless-head", "big-head", false,
     [](const tallowmer::testing::PlainAnswer& answer) { return answer.whole; },
     "WinHTTP ignores WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE and reads a head of any size, so an endless "
     "one "
     "never reaches the transport"},
    {"chunk-size-zz", "chunk-size-zz", false, TakenWhole,
     "WinHTTP skips what is no hexadecimal digit in a chunk size and takes 'zz' for the last chunk"},
    {"chunk-size-wraps", "chunk-size-wraps", false, TakenWhole,
     "WinHTTP counts a chunk size in 32 bits, so a size of 17 digits wraps to a small one"},
    {"chunks-cut", "chunks-cut", false, TakenWhole,
     "WinHTTP takes chunks cut short of the last one for a whole body"},
    {"until-drop", "until-drop", true, TakenWhole,
     "WinHTTP takes a TLS connection closed without close_notify for the end of a body without a length"},
};

std::optional<std::string> WinHttpFault(const std::string& scenario, const std::string& url) {
  for (const KnownFault& known : kKnownFaults) {
    if (scenario != known.scenario || (known.secureOnly && url.rfind("https://", 0) != 0)) continue;
    std::string asked = url;
    asked.replace(asked.find(known.scenario), scenario.size(), known.shownBy);
    const tallowmer::testing::PlainAnswer answer = tallowmer::testing::PlainWinHttpGet(
        tallowmer::platform::windows::Widen(asked), tallowmer::kAnswerHeadLimit);
    if (!known.shows(answer)) return std::nullopt;
    return std::string(known.fault) + " (a plain WinHTTP GET of " + known.shownBy + ": " + answer.Describe() +
           ")";
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 10) {
    std::fprintf(
        stderr,
        "usage: transport_conformance PLAIN_URL HTTPS_URL UNTRUSTED_URL TOKEN LOG_FOLDER GARBAGE_URL "
        "REFUSING_PROXY HOSTILE_URL HOSTILE_TLS_URL\n");
    return 100;
  }
  tallowmer::conformance::Target target;
  target.plainBaseUrl = argv[1];
  target.httpsBaseUrl = argv[2];
  target.untrustedBaseUrl = argv[3];
  target.token = argv[4];
  const tallowmer::testing::RefusingPort refused;
  target.refusedPort = refused.Port();
  target.logFolder = argv[5];
  target.garbageUrl = argv[6];
  target.refusingProxy = argv[7];
  target.hostilePlainUrl = argv[8];
  target.hostileTlsUrl = argv[9];
  target.platformFault = WinHttpFault;
  target.useSystemProxy = UseUserProxy;
  const auto makeTransport = [](std::chrono::milliseconds requestTimeout) {
    tallowmer::TransportOptions options = tallowmer::DefaultTransportOptions();
    options.requestTimeout = requestTimeout;
    return tallowmer::CreateDefaultTransport(options);
  };
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  for (const auto& result : tallowmer::conformance::RunAll(target, makeTransport)) {
    if (!result.skipped.empty()) {
      std::printf("skipped - %s: %s\n", result.name.c_str(), result.skipped.c_str());
      ++skipped;
      continue;
    }
    std::printf("%s - %s\n", result.failures.empty() ? "ok" : "FAILED", result.name.c_str());
    for (const std::string& failure : result.failures) std::printf("    %s\n", failure.c_str());
    ++(result.failures.empty() ? passed : failed);
  }
  std::printf("%d skipped for faults of WinHTTP itself\n", skipped);
  // The closing line tells a run that ended from one that died: a process torn down on the way can
  // still leave the status 0.
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
