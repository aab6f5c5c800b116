#pragma once

// A small object on the dispatch core with methods whose behaviour each test scripts, and a
// helper that calls it the way a host does: by name, each argument a by-reference variant.

#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/uEquipmentErrors.h"
#include "core/uCOMSupport.h"

namespace tallowmer::testing {

class TestObject : public TBaseObject {
 public:
  void Initialize() override {
    TBaseObject::Initialize();
    AddPublicMethod(
        "Echo", [this](OleVariant& inData, OleVariant& outData, int32_t timeOut, std::string& description) {
          ++calls;
          seenInData = inData;
          seenTimeOut = timeOut;
          if (!outputToSet.IsEmpty()) outData = outputToSet;
          description = descriptionToSet;
          return codeToReturn;
        });
    AddPublicMethod("Throw", [](OleVariant&, OleVariant&, int32_t, std::string&) -> int32_t {
      throw EquException(70, "Устройство сломалось");
    });
    AddPrivateMethod("Replace", [this](SafeArray& params) {
      ++calls;
      seenParamCount = params.HighBound(1) + 1;
      if (params.HighBound(1) >= 1) params.At(1) = replacement;
      return OleVariant::Int32(seenParamCount);
    });
    AddPrivateMethod("Raise", [](SafeArray&) -> OleVariant { throw EConvertError("нельзя преобразовать"); });
    AddPublicMethod("Enable", [](OleVariant&, OleVariant&, int32_t, std::string&) { return 0; });
    AddPublicMethod("Тест", [](OleVariant&, OleVariant&, int32_t, std::string&) { return 0; });
    AddSetting("DefaultTimeOut", dtNumber, OleVariant::Int32(120), false, "Таймаут", "Таймаут по умолчанию");
    AddSetting("DebugLogEnabled", dtBoolean, OleVariant::Boolean(false), false, "Отладочный лог", "Лог");
  }

  void BeginDebugLog() override { WriteDebugLog("header", "", true); }

  using TBaseObject::AddPrivateMethod;
  using TBaseObject::AddPublicMethod;
  using TBaseObject::AddSetting;
  using TBaseObject::MarkSecretSetting;
  void SetLogDir(const std::string& folder) { FDebugLogDir = folder; }
  void SetInstanceID(const std::string& id) { FInstanceID = id; }

  int calls = 0;
  int32_t codeToReturn = 0;
  std::string descriptionToSet;
  OleVariant outputToSet;
  OleVariant seenInData;
  int32_t seenTimeOut = -1;
  int32_t seenParamCount = -1;
  OleVariant replacement = OleVariant::Text("заменено");
};

struct HostCall {
  HRESULT hr = hrOk;
  OleVariant result;
  ExcepInfo exception;
};

inline DispID IdOf(IDispatch& object, const std::u16string& name) {
  const char16_t* names[] = {name.c_str()};
  DispID id = 0;
  object.GetIDsOfNames(names, 1, &id);
  return id;
}

// Passes every host variable as a by-reference variant, last argument first, as hosts do.
inline HostCall CallByRef(IDispatch& object, const std::u16string& name, std::vector<OleVariant*> variables,
                          uint16_t flags = dispatchMethod | dispatchPropertyGet) {
  std::vector<OleVariant> args;
  for (auto it = variables.rbegin(); it != variables.rend(); ++it)
    args.push_back(OleVariant::RefVariant(*it));
  HostCall call;
  DispParams params{args.data(), static_cast<uint32_t>(args.size())};
  call.hr = object.Invoke(IdOf(object, name), flags, params, &call.result, &call.exception);
  return call;
}

// Passes prepared arguments (already last first) unchanged.
inline HostCall CallRaw(IDispatch& object, DispID id, std::vector<OleVariant>& lastFirst,
                        uint16_t flags = dispatchMethod) {
  HostCall call;
  DispParams params{lastFirst.data(), static_cast<uint32_t>(lastFirst.size())};
  call.hr = object.Invoke(id, flags, params, &call.result, &call.exception);
  return call;
}

// Holds a new test object the way the component factory hands it out.
class TestObjectHolder {
 public:
  TestObjectHolder() : object_(new TestObject) {
    object_->Initialize();
    reference_ = DispatchPtr::Attach(object_);
  }
  TestObject& operator*() { return *object_; }
  TestObject* operator->() { return object_; }

 private:
  TestObject* object_;
  DispatchPtr reference_;
};

}  // namespace tallowmer::testing
