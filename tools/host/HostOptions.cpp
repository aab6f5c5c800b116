#include "tools/host/HostOptions.h"

#include "common/uCommonUtils.h"

namespace tallowmer::host {
namespace {

void AddSetAssignment(HostOptions& options, const std::string& assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0)
    throw UsageError("--set expects ID=VALUE, not " + assignment);
  options.setup.textSettings[assignment.substr(0, equals)] = assignment.substr(equals + 1);
}

const std::vector<OptionSpec> kOptions = {
    {"--set", nullptr, "ID=VALUE", nullptr,
     "set one setting before Enable (repeatable); VALUE is read by the\n"
     "setting's type: Number a decimal number, Boolean true or false, Date\n"
     "YYYY-mm-dd hh:nn:ss, String as it stands",
     AddSetAssignment},
    {"--settings", nullptr, "FILE", "FILE.json",
     "set the settings of a JSON object {\"ID\": value, ...} (as \"settings\" prints\n"
     "it); --set given as well wins",
     [](HostOptions& options, const std::string& value) { options.settingsFile = value; }},
    {"--ca", nullptr, "FILE", nullptr,
     "trust the PEM certificate authorities in FILE for HTTPS, in addition to\n"
     "the system's and to SSL/ca-bundle.pem beside the module; the environment\n"
     "variable LS_TALLOWMER_CA_FILE does the same (tallowmer_sim prints the line)",
     [](HostOptions& options, const std::string& value) { options.caFile = value; }},
    {"--device-id", nullptr, "ID", nullptr,
     "the device identifier given to Open (default 1); the device folder, which\n"
     "holds the device's logs, is DEVICES-FOLDER/ID",
     [](HostOptions& options, const std::string& value) { options.setup.deviceId = value; }},
    {"--devices-folder", nullptr, "DIR", nullptr, "the host property DevicesFolder (default: see Logs)",
     [](HostOptions& options, const std::string& value) { options.properties.devicesFolder = value; }},
    {"--models-folder", nullptr, "DIR", nullptr, "the host property ModelsFolder (default empty)",
     [](HostOptions& options, const std::string& value) { options.properties.modelsFolder = value; }},
    {"--language", nullptr, "LANG", nullptr, "the host property Language (default ru)",
     [](HostOptions& options, const std::string& value) { options.properties.language = value; }},
    {"--raw", nullptr, nullptr, nullptr,
     "no Init, Open, SetSettings, Enable, Disable or Close around the calls: the\n"
     "script makes them itself, for tests of the driver's own checks; refused\n"
     "together with --set and --settings, which need SetSettings",
     [](HostOptions& options, const std::string&) { options.raw = true; }},
    {"--output", nullptr, "FILE", nullptr,
     "settings only: write the JSON to FILE, created with mode 0600 (it holds\n"
     "the token), instead of standard output",
     [](HostOptions& options, const std::string& value) { options.outputFile = value; }},
    {"--help", "-h", nullptr, nullptr, "this text",
     [](HostOptions& options, const std::string&) { options.help = true; }},
};

struct CommandSpec {
  HostCommand command;
  // Null for a script, which is any first argument that names no other command.
  const char* name;
  // With the command itself.
  size_t minArguments;
  size_t maxArguments;
  std::string (*wrongCount)(const std::vector<std::string>& positional);
  bool takesOutput;
};

const CommandSpec kCommands[] = {
    {HostCommand::Call, "call", 2, 3,
     [](const auto&) { return std::string("usage: call METHOD [INDATA-JSON]"); }, false},
    {HostCommand::Settings, "settings", 1, 1,
     [](const auto&) { return std::string("settings takes no arguments besides --output FILE"); }, true},
    {HostCommand::Check, "check", 1, 1, [](const auto&) { return std::string("check takes no arguments"); },
     false},
    {HostCommand::Script, nullptr, 1, 1,
     [](const auto& positional) { return "a script takes no further arguments: " + positional[1]; }, false},
};

const CommandSpec& CommandNamed(const std::string& name) {
  for (const CommandSpec& command : kCommands) {
    if (command.name == nullptr || name == command.name) return command;
  }
  return kCommands[std::size(kCommands) - 1];
}

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& option : kOptions) {
    if (name == option.name || (option.alias != nullptr && name == option.alias)) return &option;
  }
  return nullptr;
}

// "--set ID=VALUE, --settings FILE, ..., -h/--help", as an unknown option's message lists them.
std::string OptionList() {
  std::string list;
  for (const OptionSpec& option : kOptions) {
    if (!list.empty()) list += ", ";
    if (option.alias != nullptr) list += std::string(option.alias) + "/";
    list += option.name;
    if (option.valueName != nullptr) list += std::string(" ") + option.valueName;
  }
  return list;
}

}  // namespace

const std::vector<OptionSpec>& HostOptionTable() {
  return kOptions;
}

HostOptions ParseOptions(const std::vector<std::string>& args) {
  HostOptions options;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& argument = args[i];
    if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
      options.positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.rfind("--", 0) == 0 ? argument.substr(0, equals) : argument;
    const bool inlineValue = name != argument;
    const OptionSpec* option = FindOption(name);
    if (option == nullptr)
      throw UsageError("unknown option " + argument + "; the options are " + OptionList());
    if (option->valueName == nullptr) {
      if (inlineValue) throw UsageError(name + " takes no value");
      option->apply(options, "");
      continue;
    }
    const bool valueFollows = !inlineValue && i + 1 < args.size();
    option->apply(options, inlineValue ? argument.substr(equals + 1) : valueFollows ? args[i + 1] : "");
    if (!inlineValue) {
      if (!valueFollows) throw UsageError(argument + " needs a value");
      ++i;
    }
  }
  if (options.properties.devicesFolder.empty()) {
    options.properties.devicesFolder = GetCommonAppDataFolder() + "Quorvane/ls_tallowmer/devices";
  }
  return options;
}

void CheckCommandLine(HostOptions& options) {
  if (options.positional.empty())
    throw UsageError("name a script file, - for standard input, call METHOD, settings or check (see --help)");
  const CommandSpec& command = CommandNamed(options.positional[0]);
  const size_t count = options.positional.size();
  if (count < command.minArguments || count > command.maxArguments)
    throw UsageError(command.wrongCount(options.positional));
  if (!options.outputFile.empty() && !command.takesOutput) throw UsageError("--output belongs to settings");
  if (options.raw && (!options.setup.textSettings.empty() || !options.settingsFile.empty())) {
    throw UsageError(
        "--raw makes no SetSettings, so --set and --settings would change nothing; leave out --raw, or "
        "call SetSettings in the script");
  }
  options.command = command.command;
}

}  // namespace tallowmer::host
