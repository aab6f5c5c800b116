#pragma once

// What a plain WinHTTP GET makes of an answer, as any program would ask it, without a check of the
// driver's: the evidence of what the WinHTTP under the tests does itself.

#include <windows.h>

#include <string>

namespace tallowmer::testing {

struct PlainAnswer {
  // Whether WinHTTP gave the whole answer without an error.
  bool whole = false;
  // WinHTTP's error when not; 0 otherwise.
  DWORD error = 0;
  DWORD status = 0;
  size_t bodyBytes = 0;

  // "status 200, 8 bytes of body, no error" or "error 12152".
  std::string Describe() const;
};

// GET `url`, each WinHTTP wait bounded at 10 s; with `headLimit`, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE
// is set to it.
PlainAnswer PlainWinHttpGet(const std::wstring& url, DWORD headLimit = 0);

}  // namespace tallowmer::testing
