#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tools/host/HostPlatform.h"

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

}  // namespace tallowmer::host
