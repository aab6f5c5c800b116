#pragma once

// An equipment manager for tests: answers the host properties from a table, records every call
// with its arguments, and can be told to fail.

#include <map>
#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "common/VariantConvert.h"
#include "core/uCOMSupport.h"

namespace tallowmer::testing {

struct ManagerCall {
  std::string member;
  std::vector<OleVariant> arguments;
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
    for (const char* member : {"WriteLog", "DataEvent", "ErrorEvent", "TaskState"}) {
      AddPrivateMethod(member, [this, member](SafeArray& params) {
        Record(member, params);
        if (failing) throw Exception("менеджер отказал");
        return OleVariant::Boolean(answer);
      });
    }
    AddPrivateMethod("MessageDlg", [this](SafeArray& params) {
      Record("MessageDlg", params);
      return OleVariant::Int32(2);
    });
    AddPrivateMethod("InputDataDlg", [this](SafeArray& params) {
      Record("InputDataDlg", params);
      return OleVariant::Text("введено");
    });
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
  std::vector<ManagerCall> calls;
  bool answer = true;
  bool failing = false;

 private:
  void Record(const std::string& member, const SafeArray& params) {
    calls.push_back({member, params.Elements()});
  }
};

}  // namespace tallowmer::testing
