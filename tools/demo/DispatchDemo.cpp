// Shows what a host sees when it calls a driver object late-bound: it resolves names to dispatch
// identifiers, invokes them with by-reference variables and reads the results back.

#include <iostream>

#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"
#include "core/uCOMSupport.h"

namespace tallowmer {
namespace {

class DemoObject : public TBaseObject {
 public:
  void Initialize() override {
    TBaseObject::Initialize();
    AddPublicMethod("GetVersion", [](OleVariant&, OleVariant& outData, int32_t, std::string&) {
      outData = OleVariant::Vector({OleVariant::Int32(1), OleVariant::Int32(0)});
      return kResultOk;
    });
    AddPublicMethod("Divide", [](OleVariant& inData, OleVariant& outData, int32_t, std::string& description) {
      const double divisor = VarToDouble(inData.ArrayValue()->At(1));
      if (divisor == 0) {
        description = "Деление на ноль";
        return kResultBadInput;
      }
      outData = OleVariant::Double(VarToDouble(inData.ArrayValue()->At(0)) / divisor);
      return kResultOk;
    });
    AddPublicMethod("RegisterCustomer",
                    [](OleVariant&, OleVariant&, int32_t, std::string&) { return kResultNotSupported; });
    AddPrivateMethod("Greet", [](SafeArray& params) {
      params.At(1) = OleVariant::Text("Здравствуйте, " + VarToStr(params.At(0)));
      return OleVariant::Boolean(true);
    });
  }
};

void Call(IDispatch& object, const std::u16string& name, std::vector<OleVariant*> variables) {
  const char16_t* names[] = {name.c_str()};
  DispID id = kDispIdUnknown;
  const HRESULT lookup = object.GetIDsOfNames(names, 1, &id);
  std::cout << Utf16ToUtf8(name) << ": DispID " << id;
  if (lookup != hrOk) {
    std::cout << ", not found (HRESULT 0x" << std::hex << static_cast<uint32_t>(lookup) << std::dec << ")\n";
    return;
  }
  std::vector<OleVariant> args;
  for (auto it = variables.rbegin(); it != variables.rend(); ++it)
    args.push_back(OleVariant::RefVariant(*it));
  DispParams params{args.data(), static_cast<uint32_t>(args.size())};
  OleVariant result;
  ExcepInfo exception;
  const HRESULT hr = object.Invoke(id, dispatchMethod | dispatchPropertyGet, params, &result, &exception);
  std::cout << ", HRESULT 0x" << std::hex << static_cast<uint32_t>(hr) << std::dec << ", result "
            << VarToLogStr(result) << "\n";
  for (size_t i = 0; i < variables.size(); ++i)
    std::cout << "  argument " << i << ": " << VarToLogStr(*variables[i]) << "\n";
}

}  // namespace
}  // namespace tallowmer

int main() {
  using namespace tallowmer;
  auto* object = new DemoObject;
  object->Initialize();
  const DispatchPtr holder = DispatchPtr::Attach(object);

  OleVariant inData;
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  Call(*object, u"getversion", {&inData, &outData, &timeOut});
  inData = OleVariant::Vector({OleVariant::Double(10), OleVariant::Double(4)});
  Call(*object, u"Divide", {&inData, &outData, &timeOut});
  inData = OleVariant::Vector({OleVariant::Double(10), OleVariant::Double(0)});
  Call(*object, u"Divide", {&inData, &outData, &timeOut});
  Call(*object, u"RegisterCustomer", {&inData, &outData, &timeOut});
  OleVariant name = OleVariant::Text("кассир");
  OleVariant greeting;
  Call(*object, u"Greet", {&name, &greeting});
  Call(*object, u"Missing", {});
  return 0;
}
