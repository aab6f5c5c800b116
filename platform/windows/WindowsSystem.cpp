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

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

std::string Narrow(std::wstring_view text, UINT codePage) {
  if (text.empty()) return {};
  const int length = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                           0, nullptr, nullptr);
  std::string result(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                        nullptr, nullptr);
  return result;
}

std::string ErrorDescription(DWORD code) {
  std::wstring text = SystemErrorText(code);
  while (!text.empty() && text.back() == L'.') text.pop_back();
  return Narrow(text) + " (" + std::to_string(code) + ")";
}

OsResult ErrorResult(DWORD code, const std::string& what) {
  return OsResult::Failure(static_cast<int>(code), what + ": " + ErrorDescription(code));
}

}  // namespace tallowmer::platform::windows
