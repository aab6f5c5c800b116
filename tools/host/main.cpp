// ls_tallowmer_host: drives the loyalty driver the way a point-of-sale host does, for integrators
// who want to try the driver without the host application. "ls_tallowmer_host --help" tells how.

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "driver/DriverFactory.h"
#ifndef _WIN32
#include "platform/posix/FileDescriptor.h"
#endif
#include "tools/host/ConnectionCheck.h"
#include "tools/host/HostHelp.h"
#include "tools/host/HostManager.h"
#include "tools/host/HostSession.h"
#include "tools/host/Readable.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitFailed = 1;

struct Options {
  bool help = false;
  bool raw = false;
  SetupOptions setup;
  std::string settingsFile;
  std::string caFile;
  std::string outputFile;
  HostProperties properties;
  std::vector<std::string> positional;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const char* const kValidOptions =
    "--set ID=VALUE, --settings FILE, --ca FILE, --device-id ID, --devices-folder DIR, --models-folder DIR, "
    "--language LANG, --raw, --output FILE, -h/--help";

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

void AddSetAssignment(Options& options, const std::string& assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0)
    throw UsageError("--set expects ID=VALUE, not " + assignment);
  options.setup.textSettings[assignment.substr(0, equals)] = assignment.substr(equals + 1);
}

// Takes the option `name` with its value; false when `name` is no option that takes one.
bool TakeValueOption(Options& options, const std::string& name, const std::string& value) {
  if (name == "--set") {
    AddSetAssignment(options, value);
  } else if (name == "--settings") {
    options.settingsFile = value;
  } else if (name == "--ca") {
    options.caFile = value;
  } else if (name == "--device-id") {
    options.setup.deviceId = value;
  } else if (name == "--devices-folder") {
    options.properties.devicesFolder = value;
  } else if (name == "--models-folder") {
    options.properties.modelsFolder = value;
  } else if (name == "--language") {
    options.properties.language = value;
  } else if (name == "--output") {
    options.outputFile = value;
  } else {
    return false;
  }
  return true;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
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
    if (name == "--raw" || name == "--help" || name == "-h") {
      if (name != argument) throw UsageError(name + " takes no value");
      (name == "--raw" ? options.raw : options.help) = true;
      continue;
    }
    std::string value;
    if (name != argument) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[i + 1];
    }
    if (!TakeValueOption(options, name, value)) {
      throw UsageError("unknown option " + argument + "; the options are " + kValidOptions);
    }
    if (name == argument) {
      if (i + 1 >= argc) throw UsageError(argument + " needs a value");
      ++i;
    }
  }
  if (options.properties.devicesFolder.empty()) {
    options.properties.devicesFolder = GetCommonAppDataFolder() + "Quorvane/ls_tallowmer/devices";
  }
  return options;
}

// What does not need the driver: the subcommand's arguments and the options that go together.
void CheckCommandLine(const Options& options) {
  if (options.positional.empty())
    throw UsageError("name a script file, - for standard input, call METHOD, settings or check (see --help)");
  const std::string& command = options.positional[0];
  const size_t count = options.positional.size();
  if (command == "call" && (count < 2 || count > 3)) throw UsageError("usage: call METHOD [INDATA-JSON]");
  if (command == "settings" && count != 1)
    throw UsageError("settings takes no arguments besides --output FILE");
  if (command == "check" && count != 1) throw UsageError("check takes no arguments");
  if (command != "call" && command != "settings" && count != 1)
    throw UsageError("a script takes no further arguments: " + options.positional[1]);
  if (!options.outputFile.empty() && command != "settings") throw UsageError("--output belongs to settings");
  if (options.raw && (!options.setup.textSettings.empty() || !options.settingsFile.empty())) {
    throw UsageError(
        "--raw makes no SetSettings, so --set and --settings would change nothing; leave out --raw, or "
        "call SetSettings in the script");
  }
}

// The authority travels to the driver's transport through the environment, as for any process.
void TrustCaFile(const std::string& caFile) {
  if (caFile.empty()) return;
  if (std::ifstream(caFile).fail()) throw UsageError("cannot read the CA file " + caFile);
#ifdef _WIN32
  _putenv_s("LS_TALLOWMER_CA_FILE", caFile.c_str());
#else
  setenv("LS_TALLOWMER_CA_FILE", caFile.c_str(), 1);
#endif
}

const SettingInfo* FindSetting(const std::vector<SettingInfo>& settings, const std::string& id) {
  for (const SettingInfo& setting : settings) {
    if (SameNameAscii(setting.id, id)) return &setting;
  }
  return nullptr;
}

const SettingInfo& KnownSetting(const std::vector<SettingInfo>& settings, const std::string& id,
                                const std::string& where) {
  if (const SettingInfo* setting = FindSetting(settings, id)) return *setting;
  std::vector<std::string> ids;
  for (const SettingInfo& setting : settings) ids.push_back(setting.id);
  throw UsageError(where + "unknown setting " + id + "; the settings are " + Joined(ids));
}

// A --set value must read as its setting's type: a typo must not become 0 or False on the till.
void CheckTextValue(const SettingInfo& setting, const std::string& id, const std::string& text) {
  const bool valid = setting.type == "Number"    ? TryStrToFloat(text).has_value()
                     : setting.type == "Boolean" ? SameNameAscii(text, "true") || SameNameAscii(text, "false")
                     : setting.type == "Date"    ? TryStrToDateTime(text).has_value()
                                                 : true;
  if (!valid) {
    throw UsageError("--set " + id + "=" + text + ": " + setting.type +
                     (setting.type == "Boolean" ? " expects true or false" : " expected"));
  }
}

void LoadSettingsFile(Options& options, const DispatchPtr& manager,
                      const std::vector<SettingInfo>& declared) {
  if (options.settingsFile.empty()) return;
  std::ifstream file(options.settingsFile);
  if (!file) throw UsageError("cannot read the settings file " + options.settingsFile);
  Json settings;
  try {
    settings = Json::parse(file);
  } catch (const Json::parse_error& error) {
    throw UsageError(options.settingsFile + ": " + error.what());
  }
  if (!settings.is_object())
    throw UsageError(options.settingsFile + ": expected an object of setting ID -> value");
  for (const auto& [id, value] : settings.items()) {
    KnownSetting(declared, id, options.settingsFile + ": ");
    try {
      options.setup.settings[id] = JsonToVariant(value, DecodeContext{manager, nullptr});
    } catch (const JsonEncodingError& error) {
      throw UsageError(options.settingsFile + ": setting " + id + ": " + error.what());
    }
  }
}

void CheckSettings(Options& options, const DispatchPtr& manager, const std::vector<SettingInfo>& declared) {
  for (const auto& [id, text] : options.setup.textSettings)
    CheckTextValue(KnownSetting(declared, id, "--set " + id + "=" + text + ": "), id, text);
  LoadSettingsFile(options, manager, declared);
}

// Reads one call line into its method and arguments; raises JsonEncodingError when malformed.
std::string ParseCallLine(const std::string& line, const DecodeContext& context,
                          std::vector<OleVariant>& arguments) {
  Json call;
  try {
    call = Json::parse(line);
  } catch (const Json::parse_error& error) {
    throw JsonEncodingError(std::string("malformed JSON: ") + error.what());
  }
  if (!call.is_object() || !call.contains("call") || !call["call"].is_string()) {
    throw JsonEncodingError("a call line needs {\"call\":\"Method\", ...}");
  }
  if (call.contains("args") && call.contains("in"))
    throw JsonEncodingError("give either \"args\" or \"in\", not both");
  if (call.contains("args")) {
    if (!call["args"].is_array()) throw JsonEncodingError("\"args\" must be an array");
    for (const Json& argument : call["args"]) arguments.push_back(JsonToVariant(argument, context));
  } else {
    arguments = {JsonToVariant(call.value("in", Json{{"$empty", nullptr}}), context), OleVariant(),
                 OleVariant::Int32(0)};
  }
  return call["call"].get<std::string>();
}

int RunScript(HostSession& session, std::istream& script) {
  std::string line;
  int lineNumber = 0;
  while (std::getline(script, line)) {
    ++lineNumber;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    ByRefSlots slots;
    std::vector<OleVariant> arguments;
    std::string method;
    try {
      method = ParseCallLine(line, DecodeContext{session.Manager(), &slots}, arguments);
    } catch (const JsonEncodingError& error) {
      std::cerr << "line " << lineNumber << ": " << error.what() << std::endl;
      return kExitBadInput;
    }
    const CallOutcome outcome = session.Call(method, arguments);
    std::cout << OutcomeToJson(method, outcome, arguments).dump() << std::endl;
  }
  return 0;
}

// The arguments of "call METHOD [INDATA]", read before anything runs.
std::vector<OleVariant> OneCallArguments(const Options& options, const DispatchPtr& manager,
                                         ByRefSlots& slots) {
  std::vector<OleVariant> arguments{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  if (options.positional.size() < 3) return arguments;
  try {
    arguments[0] = JsonToVariant(Json::parse(options.positional[2]), DecodeContext{manager, &slots});
  } catch (const Json::parse_error& error) {
    throw UsageError(std::string("INDATA: malformed JSON: ") + error.what());
  } catch (const JsonEncodingError& error) {
    throw UsageError(std::string("INDATA: ") + error.what());
  }
  return arguments;
}

int RunOneCall(HostSession& session, const std::string& method, std::vector<OleVariant>& arguments) {
  const CallOutcome outcome = session.Call(method, arguments);
  PrintReadable(std::cout, method, outcome, arguments);
  return outcome.hr == hrOk && outcome.result.Type() == varBoolean && outcome.result.BooleanValue()
             ? 0
             : kExitFailed;
}

// The value row of the settings table that "GetSettings" answers, by setting ID.
Json SettingsObject(const OleVariant& outData) {
  const SafeArray* answer = outData.IsArray() ? outData.ArrayValue() : nullptr;
  const OleVariant* table = answer != nullptr && answer->HighBound(1) >= 0 ? &answer->At(0) : nullptr;
  if (table == nullptr || !table->IsArray() || table->ArrayValue()->DimensionCount() != 2) {
    throw std::runtime_error("GetSettings did not answer a settings table");
  }
  const SafeArray& rows = *table->ArrayValue();
  Json settings = Json::object();
  for (int32_t column = rows.LowBound(2); column <= rows.HighBound(2); ++column) {
    settings[VarToStr(rows.At(0, column))] = VariantToJson(rows.At(1, column));
  }
  return settings;
}

#ifdef _WIN32
// On Windows the dialog is a window, and the settings file lives under the user's own profile
// rights.
std::string MissingTerminal() {
  return "";
}

void WritePrivateFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!(file << text)) throw std::runtime_error("cannot write " + path);
}

void ProtectRedirectedOutput() {}
#else
// Why the dialog could not be shown, when the reason is that there is no terminal; empty otherwise.
std::string MissingTerminal() {
  const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal >= 0) {
    ::close(terminal);
    return "";
  }
  return std::string("no terminal is available for the dialog (/dev/tty: ") + std::strerror(errno) + ")";
}

// The settings hold the token: the file is the owner's alone, also when it existed before.
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

// Standard output redirected into a file that others may read gets the owner's mode only, as the
// settings printed there hold the token.
void ProtectRedirectedOutput() {
  struct stat status {};
  if (::fstat(STDOUT_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return;
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) == 0) return;
  if (::fchmod(STDOUT_FILENO, 0600) == 0) {
    std::cerr << "[host] the settings hold the token: the output file is now readable by its owner only"
              << std::endl;
  }
}
#endif

int RunSettingsDialog(HostSession& session, const std::string& outputFile) {
  std::vector<OleVariant> show{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  const CallOutcome shown = session.Call("ShowSettingsDlg", show);
  if (shown.hr != hrOk || !VarToBool(shown.result)) {
    // Standard output stays empty, so that a cancelled dialog leaves no settings file behind.
    const std::string reason = MissingTerminal();
    std::cerr << "[host] ShowSettingsDlg: " << GetArrayItemStr(show[1], 0, "") << " "
              << GetArrayItemStr(show[1], 1, "") << (reason.empty() ? "" : ": " + reason) << std::endl;
    return kExitFailed;
  }
  std::vector<OleVariant> get{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  const CallOutcome got = session.Call("GetSettings", get);
  if (got.hr != hrOk || !VarToBool(got.result)) throw std::runtime_error("GetSettings failed");
  const std::string json = SettingsObject(get[1]).dump() + "\n";
  if (!outputFile.empty()) {
    WritePrivateFile(outputFile, json);
    std::cerr << "[host] settings written to " << outputFile << " (mode 0600)" << std::endl;
    return 0;
  }
  ProtectRedirectedOutput();
  std::cout << json << std::flush;
  return 0;
}

HelpFolders FoldersFor(const Options& options) {
  std::string devicesFolder = options.properties.devicesFolder;
  while (devicesFolder.size() > 1 && devicesFolder.back() == '/') devicesFolder.pop_back();
  return HelpFolders{devicesFolder, options.setup.deviceId, GetCommonAppDataFolder()};
}

// The check takes Host and Token as the driver holds them after the usual sequence.
int RunCheck(HostSession& session) {
  std::vector<OleVariant> get{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  const CallOutcome got = session.Call("GetSettings", get);
  if (got.hr != hrOk || !VarToBool(got.result)) throw std::runtime_error("GetSettings failed");
  const Json settings = SettingsObject(get[1]);
  return RunConnectionCheck(settings.value("Host", ""), settings.value("Token", ""), std::cout);
}

int Run(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  if (!options.help) CheckCommandLine(options);
  TrustCaFile(options.caFile);

  const DispatchPtr manager = HostManager::Create(options.properties, std::cerr);
  HostSession session(CreateDriverObject(), manager, std::cerr);
  const std::vector<SettingInfo> declared = session.DeclaredSettings();
  if (options.help) {
    PrintHelp(std::cout, declared, FoldersFor(options));
    return 0;
  }
  CheckSettings(options, manager, declared);

  const std::string& command = options.positional[0];
  std::ifstream scriptFile;
  if (command != "call" && command != "settings" && command != "check" && command != "-") {
    scriptFile.open(command);
    if (!scriptFile) throw UsageError("cannot read the script " + command);
  }
  ByRefSlots slots;
  std::vector<OleVariant> callArguments;
  if (command == "call") callArguments = OneCallArguments(options, manager, slots);

  if (!options.raw && !session.Start(options.setup)) {
    session.Stop();
    return kExitFailed;
  }
  const int status = command == "call"       ? RunOneCall(session, options.positional[1], callArguments)
                     : command == "settings" ? RunSettingsDialog(session, options.outputFile)
                     : command == "check"    ? RunCheck(session)
                                          : RunScript(session, scriptFile.is_open() ? scriptFile : std::cin);
  if (!options.raw) session.Stop();
  return status;
}

}  // namespace
}  // namespace tallowmer::host

int main(int argc, char** argv) {
#ifdef _WIN32
  // Every text this program prints is UTF-8.
  ::SetConsoleOutputCP(CP_UTF8);
#endif
  try {
    return tallowmer::host::Run(argc, argv);
  } catch (const tallowmer::host::UsageError& error) {
    std::cerr << "ls_tallowmer_host: " << error.what() << std::endl;
    return tallowmer::host::kExitBadInput;
  } catch (const std::exception& error) {
    std::cerr << "ls_tallowmer_host: " << error.what() << std::endl;
    return tallowmer::host::kExitFailed;
  }
}
