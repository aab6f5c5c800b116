// The transport cases as a Windows program, run under Wine where GoogleTest is not at hand.
// Usage: transport_conformance PLAIN_URL HTTPS_URL UNTRUSTED_URL TOKEN LOG_FOLDER GARBAGE_URL
// REFUSING_PROXY HOSTILE_URL HOSTILE_TLS_URL (a server that answers no HTTP, a proxy's "host:port" that
// refuses every tunnel, and the hostile server over plain HTTP and over TLS). The transport is the
// product's own with its default options, so it trusts what the system trusts. Prints one line per case
// and exits with the number of failed cases.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/support/RefusingPort.h"
#include "tests/transport/TransportConformance.h"

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
  target.useSystemProxy = UseUserProxy;
  const auto makeTransport = [](std::chrono::milliseconds requestTimeout) {
    tallowmer::TransportOptions options = tallowmer::DefaultTransportOptions();
    options.requestTimeout = requestTimeout;
    return tallowmer::CreateDefaultTransport(options);
  };
  int passed = 0;
  int failed = 0;
  for (const auto& result : tallowmer::conformance::RunAll(target, makeTransport)) {
    std::printf("%s - %s\n", result.failures.empty() ? "ok" : "FAILED", result.name.c_str());
    for (const std::string& failure : result.failures) std::printf("    %s\n", failure.c_str());
    ++(result.failures.empty() ? passed : failed);
  }
  // The closing line tells a run that ended from one that died: a process torn down on the way can
  // still leave the status 0.
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
