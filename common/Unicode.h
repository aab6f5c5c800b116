#pragma once

// Strings are UTF-8 inside the system and UTF-16 towards the host.

#include <string>
#include <string_view>

namespace tallowmer {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Folds only ASCII a-z to A-Z; every other character compares exactly.
bool SameNameAscii(std::string_view left, std::string_view right);
bool SameNameAscii(std::u16string_view left, std::u16string_view right);

#ifdef _WIN32
// The wide strings of the Windows API are UTF-16.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
#endif

}  // namespace tallowmer
