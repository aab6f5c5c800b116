#pragma once

// Runs a command line through the shell, as an integrator runs a program from a script.

#include <string>

namespace tallowmer::testing {

struct CommandRun {
  // The exit status; -1 when the program did not exit by itself.
  int status = -1;
  std::string out;
};

// Waits for the command to end and returns all it wrote to standard output.
CommandRun RunShellCommand(const std::string& command);

}  // namespace tallowmer::testing
