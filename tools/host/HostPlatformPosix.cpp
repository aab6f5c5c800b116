#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "platform/posix/FileDescriptor.h"
#include "tools/host/HostPlatform.h"
#include "tools/host/RegistrationReport.h"

namespace tallowmer::host {

void PrepareConsole() {}

void SetProcessVariable(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

std::string MissingTerminal() {
  const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal >= 0) {
    ::close(terminal);
    return "";
  }
  return std::string("no terminal is available for the dialog (/dev/tty: ") + std::strerror(errno) + ")";
}

void WritePrivateFile(const std::string& path, const std::string& text) {
  const platform::FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (file.get() < 0 || ::fchmod(file.get(), 0600) != 0)
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  for (size_t written = 0; written < text.size();) {
    const ssize_t count = ::write(file.get(), text.data() + written, text.size() - written);
    if (count < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    written += static_cast<size_t>(count);
  }
}

void ProtectRedirectedOutput() {
  struct stat status {};
  if (::fstat(STDOUT_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return;
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) == 0) return;
  if (::fchmod(STDOUT_FILENO, 0600) == 0) {
    std::cerr << "[host] the settings hold the token: the output file is now readable by its owner only"
              << std::endl;
  }
}

// No COM registry here: the host program links the driver itself.
std::vector<ClassRegistration> ReadClassRegistrations() {
  return {};
}

}  // namespace tallowmer::host
