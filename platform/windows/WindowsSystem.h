#pragma once

// What several Windows parts ask of the system alike: the words for an error code, the module
// that this code is linked into, and text between UTF-8 and the system's UTF-16.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/Env.h"

namespace tallowmer::platform::windows {

// The system's words for an error code, without the line break they end with; empty when it has
// none. Codes of a library's own range, such as WinHTTP's, are looked up in its `library` first.
std::wstring SystemErrorText(DWORD code, HMODULE library = nullptr);

// The module holding this code: the driver DLL in a host, the executable in the host program.
HINSTANCE ModuleInstance();

std::wstring Widen(std::string_view text);
// UTF-16 text in UTF-8, or in another code page (the ANSI one of the logs, CP_ACP).
std::string Narrow(std::wstring_view text, UINT codePage = CP_UTF8);

// The system's words for an error code and the code: "Отказано в доступе (5)".
std::string ErrorDescription(DWORD code);
// A failed call as an OsResult: `what`, a colon and the ErrorDescription.
OsResult ErrorResult(DWORD code, const std::string& what);

}  // namespace tallowmer::platform::windows
