#pragma once

// What several Windows parts ask of the system alike: the words for an error code, and the module
// that this code is linked into.

#include <windows.h>

#include <string>

namespace tallowmer::platform::windows {

// The system's words for an error code, without the line break they end with; empty when it has
// none. Codes of a library's own range, such as WinHTTP's, are looked up in its `library` first.
std::wstring SystemErrorText(DWORD code, HMODULE library = nullptr);

// The module holding this code: the driver DLL in a host, the executable in the host program.
HINSTANCE ModuleInstance();

}  // namespace tallowmer::platform::windows
