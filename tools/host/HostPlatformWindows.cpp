#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/windows/WindowsHandles.h"
#include "platform/windows/WindowsSystem.h"
#include "tools/host/HostPlatform.h"
#include "tools/host/RegistrationReport.h"

namespace tallowmer::host {

void PrepareConsole() {
  ::SetConsoleOutputCP(CP_UTF8);
}

void SetProcessVariable(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

// On Windows the dialog is a window.
std::string MissingTerminal() {
  return "";
}

// The file lives under the user's own profile rights.
void WritePrivateFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!(file << text)) throw std::runtime_error("cannot write " + path);
}

void ProtectRedirectedOutput() {}

namespace {

using platform::windows::Narrow;

// The module a classes root names for the driver's class in one registry view; empty when none.
std::string RegisteredModule(HKEY root, REGSAM view) {
  platform::windows::UniqueRegKey key;
  if (::RegOpenKeyExW(root,
                      L"Software\\Classes\\CLSID\\{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}\\InprocServer32", 0,
                      KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
    return "";
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return "";
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
      ERROR_SUCCESS)
    return "";
  value.resize(value.find(L'\0'));
  return Narrow(value);
}

bool WindowsIs64Bit() {
  if (sizeof(void*) == 8) return true;
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

std::vector<ClassRegistration> ReadClassRegistrations() {
  std::vector<ClassRegistration> views;
  const auto add = [&views](const char* programs, REGSAM view) {
    views.push_back(
        {programs, RegisteredModule(HKEY_LOCAL_MACHINE, view), RegisteredModule(HKEY_CURRENT_USER, view)});
  };
  add("32-разрядных", KEY_WOW64_32KEY);
  if (WindowsIs64Bit()) add("64-разрядных", KEY_WOW64_64KEY);
  return views;
}

}  // namespace tallowmer::host
