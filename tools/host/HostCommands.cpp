#include "tools/host/HostCommands.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "tools/host/ConnectionCheck.h"
#include "tools/host/HostPlatform.h"
#include "tools/host/Readable.h"
#include "tools/host/RegistrationReport.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

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
    arguments = MethodArguments(JsonToVariant(call.value("in", Json{{"$empty", nullptr}}), context));
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
std::vector<OleVariant> OneCallArguments(const HostOptions& options, const DispatchPtr& manager,
                                         ByRefSlots& slots) {
  if (options.positional.size() < 3) return MethodArguments();
  try {
    return MethodArguments(JsonToVariant(Json::parse(options.positional[2]), DecodeContext{manager, &slots}));
  } catch (const Json::parse_error& error) {
    throw UsageError(std::string("INDATA: malformed JSON: ") + error.what());
  } catch (const JsonEncodingError& error) {
    throw UsageError(std::string("INDATA: ") + error.what());
  }
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

Json CurrentSettings(HostSession& session) {
  std::vector<OleVariant> get = MethodArguments();
  const CallOutcome got = session.Call("GetSettings", get);
  if (got.hr != hrOk || !VarToBool(got.result)) throw std::runtime_error("GetSettings failed");
  return SettingsObject(get[1]);
}

int RunSettingsDialog(HostSession& session, const std::string& outputFile) {
  std::vector<OleVariant> show = MethodArguments();
  const CallOutcome shown = session.Call("ShowSettingsDlg", show);
  if (shown.hr != hrOk || !VarToBool(shown.result)) {
    // Standard output stays empty, so that a cancelled dialog leaves no settings file behind.
    const std::string reason = MissingTerminal();
    std::cerr << "[host] ShowSettingsDlg: " << GetArrayItemStr(show[1], 0, "") << " "
              << GetArrayItemStr(show[1], 1, "") << (reason.empty() ? "" : ": " + reason) << std::endl;
    return kExitFailed;
  }
  const std::string json = CurrentSettings(session).dump() + "\n";
  if (!outputFile.empty()) {
    WritePrivateFile(outputFile, json);
    std::cerr << "[host] settings written to " << outputFile << " (mode 0600)" << std::endl;
    return 0;
  }
  ProtectRedirectedOutput();
  std::cout << json << std::flush;
  return 0;
}

// The check takes Host and Token as the driver holds them after the usual sequence; on Windows it
// first says which registration of the driver a till of this user loads.
int RunCheck(HostSession& session) {
  const std::string registrations = DescribeRegistrations(ReadClassRegistrations());
  if (!registrations.empty()) std::cout << registrations << std::endl;
  const Json settings = CurrentSettings(session);
  return RunConnectionCheck(settings.value("Host", ""), settings.value("Token", ""), std::cout);
}

PreparedCommand PrepareScript(const std::string& name) {
  if (name == "-") return [](HostSession& session) { return RunScript(session, std::cin); };
  auto script = std::make_shared<std::ifstream>(name);
  if (!*script) throw UsageError("cannot read the script " + name);
  return [script](HostSession& session) { return RunScript(session, *script); };
}

PreparedCommand PrepareCall(const HostOptions& options, const DispatchPtr& manager) {
  struct Call {
    std::string method;
    ByRefSlots slots;
    std::vector<OleVariant> arguments;
  };
  auto call = std::make_shared<Call>();
  call->method = options.positional[1];
  call->arguments = OneCallArguments(options, manager, call->slots);
  return [call](HostSession& session) { return RunOneCall(session, call->method, call->arguments); };
}

}  // namespace

PreparedCommand PrepareCommand(const HostOptions& options, const DispatchPtr& manager) {
  switch (options.command) {
    case HostCommand::Call:
      return PrepareCall(options, manager);
    case HostCommand::Settings:
      return [outputFile = options.outputFile](HostSession& session) {
        return RunSettingsDialog(session, outputFile);
      };
    case HostCommand::Check:
      return RunCheck;
    case HostCommand::Script:
      break;
  }
  return PrepareScript(options.positional[0]);
}

}  // namespace tallowmer::host
