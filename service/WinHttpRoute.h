#pragma once

// The route of a request through WinHTTP: the proxy the system names (SystemProxyRoute, declared in
// ProxyChoice.h, is defined here), a session that goes through it, and the proxy's own answer to a
// tunnel, which some WinHTTPs do not pass on.

#include <windows.h>

#include <winhttp.h>

#include <optional>
#include <string>

#include "service/ProxyChoice.h"
#include "service/WinHttpHandle.h"

namespace tallowmer {

// The proxy as WinHttpOpen takes it: "host:port", without a scheme or credentials.
std::wstring WinHttpProxyName(const ProxyRoute& route);

// The status with which the proxy ("host:port") refuses a tunnel to `target` ("host:port"), asked
// with a CONNECT of our own; nothing when it opens the tunnel or cannot be asked.
std::optional<DWORD> AskProxyForTunnel(const std::string& proxy, const std::string& target, DWORD timeoutMs);

// A session on the route, offering TLS 1.2 and 1.3; empty, with the error for GetLastError, when
// WinHTTP cannot open one.
InternetHandle OpenSession(const ProxyRoute& route);

}  // namespace tallowmer
