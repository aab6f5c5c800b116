#pragma once

// The proxy of the Windows transport: what the system's settings name for the service (the user's
// Internet settings, a configuration script or a WPAD search, the machine's WinHTTP setting), the
// proxy's name as WinHttpOpen takes it, and a CONNECT of our own that asks a proxy why it refused a
// tunnel. SystemProxyRoute is declared in ProxyChoice.h and defined here; the transport keeps its
// decision (RouteKeeper), so none of this runs per request.

#include <windows.h>

#include <optional>
#include <string>

#include "service/ProxyChoice.h"

namespace tallowmer {

// The proxy as WinHttpOpen takes it: "host:port", without a scheme or credentials (WinHTTP takes
// those apart, and some WinHTTPs read the first colon as the port's).
std::wstring WinHttpProxyName(const ProxyRoute& route);

// The status with which the proxy ("host:port") refuses a tunnel to `target` ("host:port"), asked
// with a CONNECT of our own within `timeoutMs`; nothing when it opens the tunnel or cannot be asked.
std::optional<DWORD> AskProxyForTunnel(const std::string& proxy, const std::string& target, DWORD timeoutMs);

}  // namespace tallowmer
