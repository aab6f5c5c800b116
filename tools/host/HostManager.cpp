#include "tools/host/HostManager.h"

#include "common/Unicode.h"
#include "common/VariantConvert.h"

namespace tallowmer::host {
namespace {

// What a cancelled message dialog answers (the Windows IDCANCEL).
constexpr int32_t kDialogCancelled = 2;

}  // namespace

DispatchPtr HostManager::Create(HostProperties properties, std::ostream& log) {
  auto* manager = new HostManager(std::move(properties), log);
  manager->Initialize();
  return DispatchPtr::Attach(manager);
}

void HostManager::Initialize() {
  TBaseObject::Initialize();
  AddPrivateMethod("GetAppProperty", [this](SafeArray& params) { return GetAppProperty(params); });
  AddPrivateMethod("WriteLog",
                   [this](SafeArray& p) { return Report("event log", p, OleVariant::Boolean(true)); });
  AddPrivateMethod("DataEvent",
                   [this](SafeArray& p) { return Report("data event", p, OleVariant::Boolean(true)); });
  AddPrivateMethod("ErrorEvent",
                   [this](SafeArray& p) { return Report("error event", p, OleVariant::Boolean(true)); });
  AddPrivateMethod("TaskState",
                   [this](SafeArray& p) { return Report("task state", p, OleVariant::Boolean(true)); });
  AddPrivateMethod("MessageDlg", [this](SafeArray& p) {
    return Report("message (cancelled)", p, OleVariant::Int32(kDialogCancelled));
  });
  AddPrivateMethod("InputDataDlg",
                   [this](SafeArray& p) { return Report("input (cancelled)", p, OleVariant::Text("")); });
}

OleVariant HostManager::GetAppProperty(SafeArray& params) {
  const std::string name = params.HighBound(1) >= 1 ? VarToStr(params.At(1)) : "";
  const std::string* value = name == "DevicesFolder"  ? &properties_.devicesFolder
                             : name == "ModelsFolder" ? &properties_.modelsFolder
                             : name == "Language"     ? &properties_.language
                                                      : nullptr;
  if (value == nullptr || params.HighBound(1) < 2) return OleVariant::Boolean(false);
  params.At(2) = OleVariant::Text(*value);
  return OleVariant::Boolean(true);
}

OleVariant HostManager::Report(const char* what, SafeArray& params, OleVariant answer) {
  // What the driver reports may carry the service's texts, which a terminal must show, not obey.
  log_ << "[manager] " << what << ": " << EscapeControls(VarToLogStr(params)) << std::endl;
  return answer;
}

}  // namespace tallowmer::host
