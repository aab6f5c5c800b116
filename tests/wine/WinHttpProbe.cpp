// Shows what the WinHTTP it runs on makes of an answer by itself: a plain GET, without a check of the
// driver's. Usage: winhttp_probe URL [HEAD_LIMIT]. Against the hostile server's scenarios it shows
// the faults of Wine's WinHTTP that the transport cases skip, e.g. "winhttp_probe
// http://127.0.0.1:PORT/chunk-size-zz/ping" answering "status 200, 8 bytes of body, no error".

#include <cstdio>
#include <cwchar>

#include "tests/wine/PlainWinHttp.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: winhttp_probe URL [HEAD_LIMIT]\n");
    return 2;
  }
  const DWORD headLimit = argc == 3 ? std::wcstoul(argv[2], nullptr, 10) : 0;
  std::printf("%s\n", tallowmer::testing::PlainWinHttpGet(argv[1], headLimit).Describe().c_str());
  return 0;
}
