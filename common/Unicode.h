#pragma once

// Strings are UTF-8 inside the system and UTF-16 towards the host.

#include <string>
#include <string_view>

namespace tallowmer {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Text from outside (a service, a certificate, a library's message) as it may stand in a log line,
// a description for the host or a terminal: CR and LF become "\r" and "\n", DEL and the other C0
// controls except tab "\x1b" and the like, the C1 controls "\u009b" and the like, so that the text can
// neither start a line of its own nor steer a terminal. A backslash stays as it is: Windows paths
// must remain readable, and a backslash cannot break a line.
std::string EscapeControls(std::string_view text);

// Text from outside that the host receives as data (a customer's name): the C0 controls but tab are
// left out, everything else stays as it came.
std::string WithoutControls(std::string_view text);

// Folds only ASCII a-z to A-Z; every other character compares exactly.
bool SameNameAscii(std::string_view left, std::string_view right);
bool SameNameAscii(std::u16string_view left, std::u16string_view right);

}  // namespace tallowmer
