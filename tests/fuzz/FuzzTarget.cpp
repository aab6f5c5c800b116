#include "tests/fuzz/FuzzTarget.h"

#include "loyalty/uBaseLoyaltySystem.h"

namespace tallowmer::fuzzing {
namespace {

// The eighteen host methods of a loyalty device, plus public methods that read, convert and fail
// in the usual ways and private ones that rewrite their arguments, so that every write-back path
// is reached.
class FuzzObject : public TBaseLoyaltySystem {
 public:
  void RegisterMethods() override {
    TBaseLoyaltySystem::RegisterMethods();
    AddPublicMethod("Succeed", [](OleVariant& inData, OleVariant& outData, int32_t, std::string&) {
      outData = inData;
      return 0;
    });
    AddPublicMethod("Fail", [](OleVariant&, OleVariant&, int32_t timeOut, std::string&) { return timeOut; });
    AddPrivateMethod("Swap", [](SafeArray& params) {
      if (params.HighBound(1) >= 1) std::swap(params.At(0), params.At(1));
      return params.HighBound(1) >= 0 ? params.At(0) : OleVariant();
    });
    AddPrivateMethod("Store", [this](SafeArray& params) {
      if (params.HighBound(1) >= 0) SetSettingValue("DefaultTimeOut", params.At(0));
      return GetSettingValue("DefaultTimeOut");
    });
  }
};

}  // namespace

DispatchPtr CreateFuzzTarget() {
  auto* object = new FuzzObject;
  object->Initialize();
  return DispatchPtr::Attach(object);
}

}  // namespace tallowmer::fuzzing
