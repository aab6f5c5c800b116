#include "tests/fuzz/FuzzTarget.h"

#include "core/uCOMSupport.h"

namespace tallowmer::fuzzing {
namespace {

// Public methods that read, convert and fail in the usual ways, and private ones that rewrite
// their arguments, so that every write-back path is reached.
class FuzzObject : public TBaseObject {
 public:
  void Initialize() override {
    TBaseObject::Initialize();
    AddPublicMethod("Succeed", [](OleVariant& inData, OleVariant& outData, int32_t, std::string&) {
      outData = inData;
      return 0;
    });
    AddPublicMethod("Fail", [](OleVariant&, OleVariant&, int32_t timeOut, std::string&) { return timeOut; });
    AddPublicMethod("SetSettings", [this](OleVariant& inData, OleVariant&, int32_t, std::string&) {
      ApplySettingsTable(inData);
      return 0;
    });
    AddPublicMethod("GetSettings", [this](OleVariant&, OleVariant& outData, int32_t, std::string&) {
      outData = OleVariant::Vector({BuildSettingsTable()});
      return 0;
    });
    AddPrivateMethod("Swap", [](SafeArray& params) {
      if (params.HighBound(1) >= 1) std::swap(params.At(0), params.At(1));
      return params.HighBound(1) >= 0 ? params.At(0) : OleVariant();
    });
    AddPrivateMethod("Store", [this](SafeArray& params) {
      if (params.HighBound(1) >= 0) SetSettingValue("Value", params.At(0));
      return GetSettingValue("Value");
    });
    AddSetting("Value", dtString, OleVariant::Text(""), false, "Значение", "Значение");
  }
};

}  // namespace

DispatchPtr CreateFuzzTarget() {
  auto* object = new FuzzObject;
  object->Initialize();
  return DispatchPtr::Attach(object);
}

}  // namespace tallowmer::fuzzing
