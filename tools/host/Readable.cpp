#include "tools/host/Readable.h"

#include <chrono>
#include <map>
#include <string>

#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"

namespace tallowmer::host {
namespace {

// What each OutData element means, for the methods whose output is an array.
const std::map<std::string, std::vector<const char*>>& OutputMeanings() {
  static const std::map<std::string, std::vector<const char*>> meanings{
      {"GetCustomerData",
       {"name", "telephone", "e-mail", "bonus balance", "card number", "client ID", "integer attribute",
        "date attribute"}},
      {"CreateOrder",
       {"order ID", "bonus balance", "variant value", "bonus balance", "text", "currency value"}},
      {"CloseOrder", {"bonus balance", "receipt text", "transaction date-time", "text"}},
      {"CancelOrder", {"receipt text"}},
      {"GetDeviceInfo",
       {"type", "model ID", "model name", "major version", "minor version", "build", "processor name",
        "processor type", "has settings dialog", "description", "developer", "e-mail", "web", "phones",
        "address"}},
  };
  return meanings;
}

// Texts from the driver, and through it from the service, reach a terminal: each control character
// shows escaped instead of acting. A receipt's lines go on indented below the first, so that no line
// of a text can pass for a line of this program's own.
std::string ElementText(const OleVariant& element) {
  const OleVariant& value = element.Resolved();
  if (value.Type() == varOleStr || value.Type() == varString) {
    const std::string text = VarToStr(value);
    std::string shown;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos;
         start = end + 2, end = text.find("\r\n", start))
      shown += EscapeControls(std::string_view(text).substr(start, end - start)) + "\n      ";
    return shown + EscapeControls(std::string_view(text).substr(start));
  }
  const Json json = VariantToJson(value);
  if (json.is_object() && json.size() == 1 && json.begin()->is_string())
    return EscapeControls(json.begin()->get<std::string>());
  return json.dump();
}

// "12.3 ms": the call's own time, as the demo shows it beside each answer; whatever the locale.
std::string Milliseconds(std::chrono::steady_clock::duration elapsed) {
  const auto tenths = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " ms";
}

}  // namespace

void PrintReadable(std::ostream& out, const std::string& method, const CallOutcome& outcome,
                   const std::vector<OleVariant>& arguments) {
  const std::string took = " (" + Milliseconds(outcome.elapsed) + ")";
  if (outcome.hr == hrDispException) {
    out << method << " failed" << took << ": " << outcome.exception.scode << " "
        << EscapeControls(Utf16ToUtf8(outcome.exception.description)) << "\n";
    return;
  }
  if (outcome.hr != hrOk) {
    out << method << " was refused: HRESULT " << outcome.hr << "\n";
    return;
  }
  const OleVariant outData = arguments.size() > 1 ? arguments[1].Resolved() : OleVariant();
  const SafeArray* array = outData.IsArray() ? outData.ArrayValue() : nullptr;
  if (!VarToBool(outcome.result)) {
    if (array != nullptr && array->HighBound(1) >= 1) {
      out << method << " failed" << took << ": " << EscapeControls(VarToStr(array->At(0))) << " "
          << EscapeControls(VarToStr(array->At(1))) << "\n";
    } else {
      out << method << " failed" << took << "\n";
    }
    return;
  }
  out << method << ": success" << took << "\n";
  if (array == nullptr || array->DimensionCount() != 1) {
    if (!outData.IsEmpty()) out << "  OutData: " << VariantToJson(outData).dump() << "\n";
    return;
  }
  const auto meanings = OutputMeanings().find(method);
  for (int32_t i = array->LowBound(1); i <= array->HighBound(1); ++i) {
    out << "  [" << i << "]";
    if (meanings != OutputMeanings().end() && static_cast<size_t>(i) < meanings->second.size()) {
      out << " " << meanings->second[static_cast<size_t>(i)];
    }
    out << ": " << ElementText(array->At(i)) << "\n";
  }
}

}  // namespace tallowmer::host
