#pragma once

// The host program's command line: one table of options serves parsing, the error messages and
// --help, and one table of commands says what arguments each takes.

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/host/HostManager.h"
#include "tools/host/HostSession.h"

namespace tallowmer::host {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class HostCommand { Script, Call, Settings, Check };

struct HostOptions {
  bool help = false;
  bool raw = false;
  SetupOptions setup;
  std::string settingsFile;
  std::string caFile;
  std::string outputFile;
  HostProperties properties;
  std::vector<std::string> positional;
  // Read from the first positional argument by CheckCommandLine.
  HostCommand command = HostCommand::Script;
};

struct OptionSpec {
  const char* name;
  // "-h" beside "--help"; null for none.
  const char* alias;
  // What the value stands for ("FILE"); null for an option that takes no value.
  const char* valueName;
  // The value's name in --help where it says more than in an error message ("FILE.json"); null
  // for the same.
  const char* helpValueName;
  // Lines of help text, joined by '\n'; --help indents each under the first.
  const char* help;
  // What the option sets; `value` is empty for an option that takes none.
  void (*apply)(HostOptions& options, const std::string& value);
};

// Every option, in the order --help lists them.
const std::vector<OptionSpec>& HostOptionTable();

// The arguments after the program name; a value follows its option or comes after "=". "--"
// ends the options.
HostOptions ParseOptions(const std::vector<std::string>& args);

// What does not need the driver: the command's arguments and the options that go together. Sets
// `options.command`.
void CheckCommandLine(HostOptions& options);

}  // namespace tallowmer::host
