#pragma once

// What the WinHTTP transport and the host program's connection check share: the owner of a
// WinHTTP handle (session, connection or request) and WinHTTP's words for its errors.

#include <windows.h>

#include <winhttp.h>

#include <string>

#include "platform/windows/WindowsHandles.h"
#include "platform/windows/WindowsSystem.h"

namespace tallowmer {

using InternetHandle = platform::windows::UniqueReleasedBy<HINTERNET, ::WinHttpCloseHandle>;

// WinHTTP's own range of codes is described by winhttp.dll; any other code by the system.
inline std::wstring WinHttpErrorText(DWORD code) {
  return platform::windows::SystemErrorText(code, ::GetModuleHandleW(L"winhttp.dll"));
}

}  // namespace tallowmer
