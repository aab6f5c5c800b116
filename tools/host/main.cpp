// ls_tallowmer_host: drives the loyalty driver the way a point-of-sale host does, for integrators
// who want to try the driver without the host application.
//
//   ls_tallowmer_host [OPTIONS] SCRIPT|-             run JSON call lines, one JSON answer line each
//   ls_tallowmer_host [OPTIONS] call METHOD [INDATA]  run one call and print it readably
//   ls_tallowmer_host [OPTIONS] settings             open the settings dialog on the terminal; on OK
//                                                    print the settings as a JSON object that
//                                                    --settings reads, on Cancel nothing (exit 1)
//   ls_tallowmer_host [OPTIONS] check                check the connection to the service step by
//                                                    step (exit 0 when every step passed, else 1)
//
// Options: --raw (no Init/Open/SetSettings/Enable around the calls), --device-id ID,
// --settings FILE.json, --set ID=VALUE (repeatable), --devices-folder DIR, --models-folder DIR,
// --language LANG.

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "driver/DriverFactory.h"
#include "tools/host/ConnectionCheck.h"
#include "tools/host/HostManager.h"
#include "tools/host/HostSession.h"
#include "tools/host/Readable.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitFailed = 1;

struct Options {
  bool raw = false;
  SetupOptions setup;
  std::string settingsFile;
  HostProperties properties;
  std::vector<std::string> positional;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(argument + " needs a value");
      return argv[++i];
    };
    if (argument == "--raw") {
      options.raw = true;
    } else if (argument == "--device-id") {
      options.setup.deviceId = value();
    } else if (argument == "--settings") {
      options.settingsFile = value();
    } else if (argument == "--set") {
      const std::string assignment = value();
      const size_t equals = assignment.find('=');
      if (equals == std::string::npos || equals == 0)
        throw UsageError("--set expects ID=VALUE, not " + assignment);
      options.setup.textSettings[assignment.substr(0, equals)] = assignment.substr(equals + 1);
    } else if (argument == "--devices-folder") {
      options.properties.devicesFolder = value();
    } else if (argument == "--models-folder") {
      options.properties.modelsFolder = value();
    } else if (argument == "--language") {
      options.properties.language = value();
    } else if (argument.size() > 1 && argument.rfind("--", 0) == 0) {
      throw UsageError("unknown option " + argument);
    } else {
      options.positional.push_back(argument);
    }
  }
  if (options.positional.empty())
    throw UsageError("name a script file, - for standard input, call METHOD or settings");
  if (options.properties.devicesFolder.empty()) {
    options.properties.devicesFolder = GetCommonAppDataFolder() + "Quorvane/ls_tallowmer/devices";
  }
  return options;
}

void LoadSettingsFile(Options& options, const DispatchPtr& manager) {
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
    try {
      options.setup.settings[id] = JsonToVariant(value, DecodeContext{manager, nullptr});
    } catch (const JsonEncodingError& error) {
      throw UsageError(options.settingsFile + ": setting " + id + ": " + error.what());
    }
  }
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

int RunOneCall(HostSession& session, const Options& options) {
  if (options.positional.size() < 2 || options.positional.size() > 3) {
    throw UsageError("call METHOD [INDATA-JSON]");
  }
  const std::string& method = options.positional[1];
  ByRefSlots slots;
  std::vector<OleVariant> arguments{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  if (options.positional.size() == 3) {
    try {
      arguments[0] =
          JsonToVariant(Json::parse(options.positional[2]), DecodeContext{session.Manager(), &slots});
    } catch (const Json::parse_error& error) {
      throw UsageError(std::string("INDATA: malformed JSON: ") + error.what());
    } catch (const JsonEncodingError& error) {
      throw UsageError(std::string("INDATA: ") + error.what());
    }
  }
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

int RunSettingsDialog(HostSession& session) {
  std::vector<OleVariant> show{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  const CallOutcome shown = session.Call("ShowSettingsDlg", show);
  if (shown.hr != hrOk || !VarToBool(shown.result)) {
    // Standard output stays empty, so that a cancelled dialog leaves no settings file behind.
    std::cerr << "[host] ShowSettingsDlg: " << GetArrayItemStr(show[1], 0, "") << " "
              << GetArrayItemStr(show[1], 1, "") << std::endl;
    return kExitFailed;
  }
  std::vector<OleVariant> get{OleVariant(), OleVariant(), OleVariant::Int32(0)};
  const CallOutcome got = session.Call("GetSettings", get);
  if (got.hr != hrOk || !VarToBool(got.result)) throw std::runtime_error("GetSettings failed");
  std::cout << SettingsObject(get[1]).dump() << std::endl;
  return 0;
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
  const DispatchPtr manager = HostManager::Create(options.properties, std::cerr);
  LoadSettingsFile(options, manager);

  std::ifstream scriptFile;
  const bool callMode = options.positional[0] == "call";
  const bool settingsMode = options.positional[0] == "settings";
  const bool checkMode = options.positional[0] == "check";
  if (!callMode && !settingsMode && !checkMode && options.positional[0] != "-") {
    scriptFile.open(options.positional[0]);
    if (!scriptFile) throw UsageError("cannot read the script " + options.positional[0]);
  }
  if (settingsMode && options.positional.size() != 1) throw UsageError("settings takes no arguments");

  HostSession session(CreateDriverObject(), manager, std::cerr);
  if (!options.raw && !session.Start(options.setup)) {
    session.Stop();
    return kExitFailed;
  }
  const int status = callMode       ? RunOneCall(session, options)
                     : settingsMode ? RunSettingsDialog(session)
                     : checkMode    ? RunCheck(session)
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
