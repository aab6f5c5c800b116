#include "platform/windows/WindowsSystem.h"

#include "platform/windows/WindowsHandles.h"

namespace tallowmer::platform::windows {

std::wstring SystemErrorText(DWORD code, HMODULE library) {
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (library != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  wchar_t* buffer = nullptr;
  const DWORD length =
      ::FormatMessageW(flags, library, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const UniqueLocal owner(buffer);
  std::wstring text = length != 0 ? std::wstring(buffer, length) : std::wstring();
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return text;
}

HINSTANCE ModuleInstance() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
  return module;
}

}  // namespace tallowmer::platform::windows
