#pragma once

// Decoding of answer bodies by the character set their Content-Type names. Text inside the system
// is UTF-8.

#include <string>
#include <string_view>

namespace tallowmer {

// The charset parameter of a Content-Type value, lower-case and unquoted; empty when it names none.
std::string CharsetOfContentType(std::string_view contentType);

// `bytes` in the named charset as UTF-8. Known: utf-8, windows-1251, koi8-r, iso-8859-1 (with
// their usual aliases). No charset means UTF-8; an unknown one is read as UTF-8 when the bytes are
// valid UTF-8 and as ISO-8859-1 otherwise. Malformed UTF-8 becomes U+FFFD.
std::string DecodeToUtf8(std::string_view bytes, std::string_view charset);

}  // namespace tallowmer
