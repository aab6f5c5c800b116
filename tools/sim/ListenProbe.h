#pragma once

// Why a listening socket cannot be had: the HTTP library only answers that binding failed.

#include <string>

namespace tallowmer::sim {

// The system's reason for HOST:PORT refusing a listening socket now ("Address already in use"),
// found by trying it once more; "reason unknown" when the second try succeeds.
std::string ListenFailureReason(const std::string& host, int port);

}  // namespace tallowmer::sim
