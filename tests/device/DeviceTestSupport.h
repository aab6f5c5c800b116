#pragma once

// A device object and a manager held the way a host holds them, with helpers for host-style calls.

#include <string>
#include <vector>

#include "common/Unicode.h"
#include "device/uBaseDevice.h"
#include "tests/device/ScriptedManager.h"

namespace tallowmer::testing {

struct Outcome {
  HRESULT hr = hrOk;
  OleVariant result;
  ExcepInfo exception;
};

// Calls `name` with each of `variables` passed by reference, last first, as hosts do.
inline Outcome HostCall(IDispatch& object, const std::string& name, std::vector<OleVariant*> variables) {
  const std::u16string wide = Utf8ToUtf16(name);
  const char16_t* names[] = {wide.c_str()};
  DispID id = kDispIdUnknown;
  object.GetIDsOfNames(names, 1, &id);
  std::vector<OleVariant> args;
  for (auto it = variables.rbegin(); it != variables.rend(); ++it)
    args.push_back(OleVariant::RefVariant(*it));
  DispParams params{args.data(), static_cast<uint32_t>(args.size())};
  Outcome outcome;
  outcome.hr =
      object.Invoke(id, dispatchMethod | dispatchPropertyGet, params, &outcome.result, &outcome.exception);
  return outcome;
}

// A public call with InData; OutData comes back in `outData`.
inline Outcome PublicCall(IDispatch& object, const std::string& name, OleVariant inData,
                          OleVariant& outData) {
  OleVariant timeOut = OleVariant::Int32(0);
  outData = OleVariant();
  return HostCall(object, name, {&inData, &outData, &timeOut});
}

template <typename Device>
class Held {
 public:
  Held() : device_(new Device), manager_(ScriptedManager::Create()) {
    device_->Initialize();
    deviceRef_ = DispatchPtr::Attach(device_);
    managerRef_ = DispatchPtr::Attach(manager_);
  }

  Device* operator->() { return device_; }
  Device& operator*() { return *device_; }
  ScriptedManager& Manager() { return *manager_; }
  OleVariant ManagerVariant() { return OleVariant::Dispatch(managerRef_); }

  // Init with the manager and Open with the device identifier.
  void InitAndOpen(const std::string& deviceId = "7") {
    OleVariant manager = ManagerVariant();
    OleVariant description;
    HostCall(*device_, "Init", {&manager, &description});
    OleVariant id = OleVariant::Text(deviceId);
    HostCall(*device_, "Open", {&id, &description});
  }

 private:
  Device* device_;
  ScriptedManager* manager_;
  DispatchPtr deviceRef_;
  DispatchPtr managerRef_;
};

}  // namespace tallowmer::testing
