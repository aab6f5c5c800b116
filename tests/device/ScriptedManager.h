#pragma once

// An equipment manager for tests: answers the host properties and every other member from tables,
// records every call with its arguments as they arrived (values, kinds and by-reference marks), and
// can be told to fail.

#include <map>
#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "common/VariantConvert.h"
#include "core/uCOMSupport.h"

namespace tallowmer::testing {

struct ManagerCall {
  std::string member;
  // In call order.
  std::vector<OleVariant> arguments;
  std::vector<VarType> kinds;
  std::vector<bool> byReference;
};

class ScriptedManager : public TBaseObject {
 public:
  void Initialize() override {
    TBaseObject::Initialize();
    AddPrivateMethod("GetAppProperty", [this](SafeArray& params) {
      Record("GetAppProperty", params);
      const auto found = properties.find(VarToStr(params.At(1)));
      if (found == properties.end()) return OleVariant::Boolean(false);
      params.At(2) = OleVariant::Text(found->second);
      return OleVariant::Boolean(true);
    });
    for (const char* member :
         {"WriteLog", "DataEvent", "ErrorEvent", "TaskState", "MessageDlg", "InputDataDlg"}) {
      AddPrivateMethod(member, [this, member](SafeArray& params) {
        Record(member, params);
        if (failing) throw Exception("менеджер отказал");
        return answers[member];
      });
    }
  }

  // The dispatcher below resolves references before a member sees its arguments: the marks the
  // caller set are taken here.
  HRESULT Invoke(DispID dispId, uint16_t flags, DispParams& params, OleVariant* result,
                 ExcepInfo* excepInfo) override {
    arriving_ = ManagerCall{};
    for (uint32_t i = params.count; i-- > 0;) {
      arriving_.kinds.push_back(params.args[i].Dereferenced().Type());
      arriving_.byReference.push_back(params.args[i].IsByRef());
    }
    return TBaseObject::Invoke(dispId, flags, params, result, excepInfo);
  }

  static ScriptedManager* Create() {
    auto* manager = new ScriptedManager;
    manager->Initialize();
    return manager;
  }

  std::vector<ManagerCall> CallsOf(const std::string& member) const {
    std::vector<ManagerCall> result;
    for (const ManagerCall& call : calls) {
      if (call.member == member) result.push_back(call);
    }
    return result;
  }

  std::map<std::string, std::string> properties{{"Language", "ru"}};
  std::map<std::string, OleVariant> answers{
      {"WriteLog", OleVariant::Boolean(true)},   {"DataEvent", OleVariant::Boolean(true)},
      {"ErrorEvent", OleVariant::Boolean(true)}, {"TaskState", OleVariant::Boolean(true)},
      {"MessageDlg", OleVariant::Int32(2)},      {"InputDataDlg", OleVariant::Text("введено")},
  };
  std::vector<ManagerCall> calls;
  bool failing = false;

 private:
  void Record(const std::string& member, const SafeArray& params) {
    ManagerCall call = std::move(arriving_);
    call.member = member;
    call.arguments = params.Elements();
    calls.push_back(std::move(call));
  }

  ManagerCall arriving_;
};

}  // namespace tallowmer::testing
