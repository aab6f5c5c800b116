#include "tests/support/ShellCommand.h"

#include <sys/wait.h>

#include <cstdio>

namespace tallowmer::testing {

CommandRun RunShellCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, read);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace tallowmer::testing
