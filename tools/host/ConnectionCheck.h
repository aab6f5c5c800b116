#pragma once

// `ls_tallowmer_host check`: the steps a support engineer takes when a till cannot reach the
// service, each printed on its own line in Russian with its time and verdict, then a one-line
// verdict. The token never appears in the output.

#include <ostream>
#include <string>

namespace tallowmer::host {

// Runs every step for the Host and Token settings; 0 when all passed, 1 otherwise.
int RunConnectionCheck(const std::string& hostSetting, const std::string& token, std::ostream& out);

}  // namespace tallowmer::host
