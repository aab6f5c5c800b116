#pragma once

// Why a server's certificate fails, where WinHTTP says no more than that the secure channel did:
// Wine's WinHTTP reports every rejected certificate so, without a secure-failure notification.

#include <windows.h>

#include <winhttp.h>

#include <chrono>
#include <optional>
#include <string>

#include "service/ProxyChoice.h"

namespace tallowmer {

// Asks the server again over `route` with WinHTTP's certificate checks off. When the handshake then
// succeeds, the certificate it shows is checked as WinHTTP checks it (a chain to a trusted root, for
// a server's use, the name) and what fails is named. Nothing when the handshake fails even so, or
// when the certificate passes. The question is a HEAD for "/", without the driver's query, and stays
// out of the log; it waits no longer than `limit`.
std::optional<std::string> CertificateFault(const std::wstring& host, INTERNET_PORT port,
                                            const ProxyRoute& route, std::chrono::milliseconds limit);

}  // namespace tallowmer
