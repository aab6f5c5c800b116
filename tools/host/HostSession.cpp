#include "tools/host/HostSession.h"

#include <cstdio>
#include <stdexcept>

#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "core/uCOMSupport.h"

namespace tallowmer::host {
namespace {

// The texts below come from the driver and through it from the service: on a terminal, a control
// character of theirs would act rather than show.
std::string Describe(const CallOutcome& outcome) {
  if (outcome.hr == hrDispException) return EscapeControls(Utf16ToUtf8(outcome.exception.description));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "HRESULT 0x%08X", static_cast<unsigned>(outcome.hr));
  return buffer;
}

// [code, description] of a failed public call, as text.
std::string FailureText(const OleVariant& outData) {
  const SafeArray* array = outData.IsArray() ? outData.ArrayValue() : nullptr;
  if (array == nullptr || array->HighBound(1) < 1) return EscapeControls(VarToLogStr(outData));
  return EscapeControls(VarToStr(array->At(0)) + " " + VarToStr(array->At(1)));
}

}  // namespace

CallOutcome HostSession::Call(const std::string& method, std::vector<OleVariant>& arguments) {
  CallOutcome outcome;
  const std::u16string name = Utf8ToUtf16(method);
  const char16_t* names[] = {name.c_str()};
  DispID id = kDispIdUnknown;
  outcome.hr = driver_->GetIDsOfNames(names, 1, &id);
  if (outcome.hr != hrOk) return outcome;
  std::vector<OleVariant> lastFirst;
  for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) {
    lastFirst.push_back(it->IsByRef() ? *it : OleVariant::RefVariant(&*it));
  }
  DispParams params{lastFirst.data(), static_cast<uint32_t>(lastFirst.size())};
  const auto started = std::chrono::steady_clock::now();
  outcome.hr =
      driver_->Invoke(id, dispatchMethod | dispatchPropertyGet, params, &outcome.result, &outcome.exception);
  outcome.elapsed = std::chrono::steady_clock::now() - started;
  return outcome;
}

bool HostSession::CallPublic(const std::string& method, OleVariant inData, OleVariant* outData) {
  std::vector<OleVariant> arguments = MethodArguments(std::move(inData));
  const CallOutcome outcome = Call(method, arguments);
  if (outData != nullptr) *outData = arguments[1];
  if (outcome.hr != hrOk) {
    log_ << "[host] " << method << ": " << Describe(outcome) << std::endl;
    return false;
  }
  const bool succeeded = VarToBool(outcome.result);
  log_ << "[host] " << method << ": " << (succeeded ? "True" : "False " + FailureText(arguments[1]))
       << std::endl;
  return succeeded;
}

bool HostSession::Start(const SetupOptions& options) {
  std::vector<OleVariant> init{OleVariant::Dispatch(manager_), OleVariant()};
  CallOutcome outcome = Call("Init", init);
  log_ << "[host] Init: "
       << (outcome.hr == hrOk ? VarToLogStr(outcome.result) + " " + EscapeControls(VarToStr(init[1]))
                              : Describe(outcome))
       << std::endl;
  if (outcome.hr != hrOk || !VarToBool(outcome.result)) return false;

  std::vector<OleVariant> open{OleVariant::Text(options.deviceId), OleVariant()};
  outcome = Call("Open", open);
  log_ << "[host] Open " << options.deviceId << ": "
       << (outcome.hr == hrOk ? VarToLogStr(outcome.result) + " " + EscapeControls(VarToStr(open[1]))
                              : Describe(outcome))
       << std::endl;
  if (outcome.hr != hrOk || !VarToBool(outcome.result)) return false;

  if (!ApplySettings(options)) return false;
  return CallPublic("Enable", OleVariant());
}

namespace {

// The settings table inside GetSettings' answer; null when the answer holds none.
SafeArray* SettingsTable(OleVariant& answer) {
  SafeArray* outer = answer.IsArray() ? answer.ArrayValue() : nullptr;
  if (outer == nullptr || outer->DimensionCount() != 1 || outer->HighBound(1) < 0) return nullptr;
  SafeArray* table = outer->At(0).IsArray() ? outer->At(0).ArrayValue() : nullptr;
  return table != nullptr && table->DimensionCount() == 2 ? table : nullptr;
}

TDataType SettingType(const std::string& typeName) {
  return typeName == "Number"    ? dtNumber
         : typeName == "Date"    ? dtDateTime
         : typeName == "Boolean" ? dtBoolean
                                 : dtString;
}

}  // namespace

bool HostSession::ApplySettings(const SetupOptions& options) {
  if (options.settings.empty() && options.textSettings.empty()) return true;
  OleVariant current;
  if (!CallPublic("GetSettings", OleVariant(), &current)) return false;
  SafeArray* table = SettingsTable(current);
  if (table == nullptr) {
    log_ << "[host] GetSettings did not answer a settings table" << std::endl;
    return false;
  }
  // The IDs were checked against the driver's declarations before Init.
  for (int32_t column = table->LowBound(2); column <= table->HighBound(2); ++column) {
    const std::string id = VarToStr(table->At(0, column));
    for (const auto& [key, value] : options.settings) {
      if (SameNameAscii(key, id)) table->At(1, column) = value;
    }
    for (const auto& [key, text] : options.textSettings) {
      if (SameNameAscii(key, id))
        table->At(1, column) = TextToSettingValue(SettingType(VarToStr(table->At(2, column))), text);
    }
  }
  return CallPublic("SetSettings", current);
}

std::vector<SettingInfo> HostSession::DeclaredSettings() {
  std::vector<OleVariant> arguments = MethodArguments();
  const CallOutcome outcome = Call("GetSettings", arguments);
  OleVariant answer = arguments[1];
  const SafeArray* table = outcome.hr == hrOk ? SettingsTable(answer) : nullptr;
  if (table == nullptr) throw std::runtime_error("GetSettings did not answer a settings table");
  const auto* object = dynamic_cast<const TBaseObject*>(driver_.get());
  std::vector<SettingInfo> settings;
  for (int32_t column = table->LowBound(2); column <= table->HighBound(2); ++column) {
    SettingInfo setting;
    setting.id = VarToStr(table->At(0, column));
    setting.type = VarToStr(table->At(2, column));
    setting.defaultText = VariantToJson(table->At(3, column)).dump();
    setting.name = VarToStr(table->At(5, column));
    setting.description = VarToStr(table->At(6, column));
    setting.secret = object != nullptr && object->IsSecretSetting(setting.id);
    settings.push_back(std::move(setting));
  }
  return settings;
}

void HostSession::Stop() {
  CallPublic("Disable", OleVariant());
  std::vector<OleVariant> none;
  const CallOutcome outcome = Call("Close", none);
  log_ << "[host] Close: " << (outcome.hr == hrOk ? VarToLogStr(outcome.result) : Describe(outcome))
       << std::endl;
}

Json OutcomeToJson(const std::string& method, const CallOutcome& outcome,
                   const std::vector<OleVariant>& arguments) {
  Json line{{"call", method}, {"hresult", outcome.hr}};
  if (outcome.hr == hrOk) line["result"] = VariantToJson(outcome.result);
  Json args = Json::array();
  for (const OleVariant& argument : arguments) args.push_back(VariantToJson(argument));
  line["args"] = args;
  if (outcome.hr == hrDispException) {
    line["exception"] = Json{{"scode", outcome.exception.scode},
                             {"description", Utf16ToUtf8(outcome.exception.description)},
                             {"source", Utf16ToUtf8(outcome.exception.source)}};
  }
  return line;
}

}  // namespace tallowmer::host
