#include "device/uBaseDevice.h"

#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"
#include "device/HostEquipmentManager.h"
#include "platform/Env.h"

namespace tallowmer {
namespace {

bool HasElement(const SafeArray& params, int32_t index) {
  return params.Contains(std::span<const int32_t>(&index, 1));
}

}  // namespace

void TBaseDevice::Initialize() {
  TBaseObject::Initialize();
  SetDebugLogEnabled(false);
  FEqManager = OleVariant();
  FDeviceID.clear();
  FWindows.clear();
  FDebugLogDir.clear();
  FModelsFolder.clear();
  DeviceHandle = platform::Env::Current().CreateMessageWindow(
      [this](uint32_t message, uintptr_t wParam, intptr_t lParam) { WndProc(message, wParam, lParam); });
  DoCreate();
  SetDefaultDeviceInfo();
  RegisterMethods();
  RegisterSettings();
  FDeviceState = dsCreated;
}

void TBaseDevice::BeforeDestruction() {
  // The last release comes from the host: nothing may escape into it.
  try {
    Disable();
  } catch (...) {
  }
  platform::Env::Current().DestroyMessageWindow(DeviceHandle);
  DeviceHandle = static_cast<WindowHandle>(-1);
  try {
    DoDestroy();
  } catch (...) {
  }
  FEqManager = OleVariant();
  FWindows.clear();
}

void TBaseDevice::RegisterMethods() {
  AddPrivateMethod("Init", [this](SafeArray& params) { return InitMethod(params); });
  AddPrivateMethod("Open", [this](SafeArray& params) { return OpenMethod(params); });
  AddPrivateMethod("Close", [this](SafeArray& params) { return CloseMethod(params); });
  AddPublicMethod("ShowSettingsDlg", [this](OleVariant&, OleVariant&, int32_t, std::string& description) {
    return ShowSettingsDlgMethod(description);
  });
  AddPublicMethod("GetDeviceInfo", [this](OleVariant&, OleVariant& outData, int32_t, std::string&) {
    outData = DeviceInfoArray();
    return kResultOk;
  });
  AddPublicMethod("Enable",
                  [this](OleVariant& inData, OleVariant& outData, int32_t timeOut, std::string& description) {
                    return EnableMethod(inData, outData, timeOut, description);
                  });
  AddPublicMethod("Disable",
                  [this](OleVariant& inData, OleVariant& outData, int32_t timeOut, std::string& description) {
                    return DisableMethod(inData, outData, timeOut, description);
                  });
  AddPublicMethod("GetSettings", [this](OleVariant&, OleVariant& outData, int32_t, std::string&) {
    outData = OleVariant::Vector({BuildSettingsTable()});
    return kResultOk;
  });
  AddPublicMethod("SetSettings", [this](OleVariant& inData, OleVariant&, int32_t, std::string& description) {
    const OleVariant& settings = inData.Resolved();
    if (!settings.IsArray() || settings.ArrayValue() == nullptr) return kResultBadInput;
    // A table with a value no setting can take is refused whole: the host keeps its settings as they
    // were, rather than a mix of old and new.
    description = RefusedSettingsTable(settings.ArrayValue()->At(0));
    if (!description.empty()) return kResultBadInput;
    ApplySettingsTable(settings.ArrayValue()->At(0));
    DoSettingsChanged();
    return kResultOk;
  });
  AddPublicMethod("CheckHealth", [this](OleVariant&, OleVariant&, int32_t, std::string& description) {
    return DoCheckHealth(description);
  });
}

void TBaseDevice::RegisterSettings() {
  AddSetting("DefaultTimeOut", dtNumber, OleVariant::Int32(120), false, "Таймаут по умолчанию",
             "Таймаут по умолчанию. Используется в случае, если при вызове метода параметр Timeout равен 0");
  AddSetting("EventLogEnabled", dtBoolean, OleVariant::Boolean(false), false, "Журнал событий",
             "Если равно True, ведется журнал критических событий и ошибок");
  AddSetting("DebugLogEnabled", dtBoolean, OleVariant::Boolean(false), false, "Отладочный лог",
             "Если равно True, ведется отладочный лог");
}

void TBaseDevice::SetDefaultDeviceInfo() {
  const TFileVersion version = GetFileVersion();
  FDeviceInfo = TDeviceInfoStruct{};
  FDeviceInfo.TypeName = "Unknown";
  FDeviceInfo.MajorVersion = version.Major;
  FDeviceInfo.MinorVersion = version.Minor;
  FDeviceInfo.BuildVersion = version.Build;
  FDeviceInfo.ProcessorType = 1;
  FDeviceInfo.IsSettingsDlgExist = false;
  FDeviceInfo.DeveloperName = kDeveloperName;
  FDeviceInfo.CI_email = kDeveloperEmail;
  FDeviceInfo.CI_www = kDeveloperWeb;
  FDeviceInfo.CI_Phones = kDeveloperPhones;
  FDeviceInfo.CI_address = kDeveloperAddress;
  FillDeviceInfo();
}

OleVariant TBaseDevice::DeviceInfoArray() const {
  const TDeviceInfoStruct& info = FDeviceInfo;
  return OleVariant::Vector({
      OleVariant::Text(info.TypeName),
      OleVariant::Text(info.ModelID),
      OleVariant::Text(info.ModelName),
      OleVariant::Int32(info.MajorVersion),
      OleVariant::Int32(info.MinorVersion),
      OleVariant::Int32(info.BuildVersion),
      OleVariant::Text(info.ProcessorName),
      OleVariant::Int32(info.ProcessorType),
      OleVariant::Boolean(info.IsSettingsDlgExist),
      OleVariant::Text(info.Description),
      OleVariant::Text(info.DeveloperName),
      OleVariant::Text(info.CI_email),
      OleVariant::Text(info.CI_www),
      OleVariant::Text(info.CI_Phones),
      OleVariant::Text(info.CI_address),
  });
}

OleVariant TBaseDevice::InitMethod(SafeArray& params) {
  FEqManager = OleVariant();
  std::string description;
  int32_t code = kResultBadInput;
  if (HasElement(params, 0) && params.At(0).Type() == varDispatch) {
    FEqManager = params.At(0);
    code = DoInit(description);
  }
  if (HasElement(params, 1)) params.At(1) = OleVariant::Text(GetResultDescription(code, description));
  if (code == kResultOk) {
    FDeviceState = dsInited;
    FModelsFolder = IncludeTrailingPathDelimiter(GetAppProperty("ModelsFolder"));
    Language = GetLanguage();
  }
  return OleVariant::Boolean(code == kResultOk);
}

OleVariant TBaseDevice::OpenMethod(SafeArray& params) {
  FDeviceID.clear();
  std::string description;
  int32_t code = kResultBadInput;
  if (HasElement(params, 0) && params.At(0).IsString()) {
    FDeviceID = VarToStr(params.At(0));
    DeviceFolder = GetDeviceFolder();
    code = DoOpen(description);
  }
  if (HasElement(params, 1)) params.At(1) = OleVariant::Text(GetResultDescription(code, description));
  return OleVariant::Boolean(code == kResultOk);
}

OleVariant TBaseDevice::CloseMethod(SafeArray&) {
  DoClose();
  FDeviceID.clear();
  FEqManager = OleVariant();
  DoAfterClose();
  return OleVariant::Boolean(true);
}

int32_t TBaseDevice::ShowSettingsDlgMethod(std::string&) {
  if (!FDeviceInfo.IsSettingsDlgExist) return kResultNotSupported;
  return DoShowSettingsDlg() ? kResultOk : kResultCancelled;
}

int32_t TBaseDevice::EnableMethod(OleVariant&, OleVariant&, int32_t, std::string& description) {
  return Enable(description);
}

int32_t TBaseDevice::DisableMethod(OleVariant&, OleVariant&, int32_t, std::string& description) {
  return Disable(description);
}

int32_t TBaseDevice::Enable(std::string& resultDescription) {
  FDebugLogDir = DeviceFolder;
  PrepareDeviceFolder();
  SetDebugLogEnabled(GetSettingValueBool("DebugLogEnabled"));
  const int32_t code = DoEnable(resultDescription);
  if (code == kResultOk) {
    FDeviceState = dsEnabled;
  } else if (resultDescription.empty()) {
    resultDescription = GetDriverResultDescription(code);
  }
  return code;
}

int32_t TBaseDevice::Disable(std::string& resultDescription) {
  const int32_t code = DoDisable(resultDescription);
  if (code == kResultOk) FDeviceState = dsInited;
  SetDebugLogEnabled(false);
  return code;
}

void TBaseDevice::PrepareDeviceFolder() {
  // The folder exists before the debug log's first line, so that the whole log of a new device,
  // header included, lands in it and not partly in the default folder.
  if (DeviceFolder.empty()) return;
  try {
    PrepareSharedLogFolder(DeviceFolder);
  } catch (const Exception&) {
    // The debug log then keeps to the default folder, and the first request reports the failure
    // with the HTTP log, which needs the same folder.
  }
}

int32_t TBaseDevice::Enable() {
  std::string ignored;
  return Enable(ignored);
}

int32_t TBaseDevice::Disable() {
  std::string ignored;
  return Disable(ignored);
}

void TBaseDevice::SetEnabled(bool value) {
  if (value == Enabled()) return;
  if (value) {
    Enable();
  } else {
    Disable();
  }
}

int32_t TBaseDevice::DoEnable(std::string& resultDescription) {
  resultDescription.clear();
  return kResultOk;
}

int32_t TBaseDevice::DoDisable(std::string& resultDescription) {
  resultDescription.clear();
  return kResultOk;
}

int32_t TBaseDevice::DoInit(std::string& resultDescription) {
  resultDescription.clear();
  return kResultOk;
}

int32_t TBaseDevice::DoOpen(std::string& resultDescription) {
  resultDescription.clear();
  return kResultOk;
}

int32_t TBaseDevice::DoCheckHealth(std::string& resultDescription) {
  const bool wasEnabled = Enabled();
  const int32_t code = wasEnabled ? kResultOk : Enable(resultDescription);
  resultDescription = GetDriverResultDescription(code);
  if (!wasEnabled) Disable();
  return code;
}

void TBaseDevice::WndProc(uint32_t, uintptr_t, intptr_t) {}

std::string TBaseDevice::GetDeviceVersion() {
  return FormatDeviceVersion(FDeviceInfo);
}

bool TBaseDevice::DeviceTest(std::string& resultDescription) {
  resultDescription = GetResultDescription(kResultNotSupported, "");
  return false;
}

int32_t TBaseDevice::RunAdditionalAction(const std::string&, std::string& resultDescription) {
  resultDescription.clear();
  return kResultOk;
}

const DispatchPtr& TBaseDevice::Manager() const {
  if (FEqManager.Type() != varDispatch || !FEqManager.DispatchValue()) throw Exception(kManagerUnavailable);
  return FEqManager.DispatchValue();
}

std::string TBaseDevice::GetAppProperty(const std::string& propName) {
  const DispatchPtr& manager = Manager();
  OleVariant deviceId = OleVariant::Text(FDeviceID);
  OleVariant name = OleVariant::Text(propName);
  OleVariant value = OleVariant::Text("");
  const OleVariant answer = CallByName(
      manager, "GetAppProperty",
      {OleVariant::RefVariant(&deviceId), OleVariant::RefVariant(&name), OleVariant::RefVariant(&value)});
  return VarToBool(answer) ? VarToStr(value) : "";
}

bool TBaseDevice::DataEvent(const std::string& event, const std::string& data, const OleVariant& extData) {
  const DispatchPtr& manager = Manager();
  OleVariant extension = extData;
  const bool answer = VarToBool(CallByName(manager, "DataEvent",
                                           {OleVariant::Text(FDeviceID), OleVariant::Text(event),
                                            OleVariant::Text(data), OleVariant::RefVariant(&extension)}));
  std::string text = "Event=" + event + "; Data: " + data;
  if (!extData.IsEmpty()) text += "; ExtData: " + VarToLogStr(extData);
  WriteDebugLog("<-DataEvent", text);
  return answer;
}

bool TBaseDevice::ErrorEvent(const std::string& errorName, const std::string& description,
                             const OleVariant& extData) {
  const DispatchPtr& manager = Manager();
  OleVariant extension = extData;
  return VarToBool(CallByName(manager, "ErrorEvent",
                              {OleVariant::Text(FDeviceID), OleVariant::Text(errorName),
                               OleVariant::Text(description), OleVariant::RefVariant(&extension)}));
}

bool TBaseDevice::TaskState(int32_t percent, const std::string& description) {
  const DispatchPtr& manager = Manager();
  OleVariant percentValue = OleVariant::Int32(percent);
  const bool answer = VarToBool(CallByName(
      manager, "TaskState",
      {OleVariant::Text(FDeviceID), OleVariant::RefVariant(&percentValue), OleVariant::Text(description)}));
  WriteLog("TaskState",
           "Percent=" + std::to_string(percent) + "; Description=" + description +
               "; Result=" + (answer ? "True" : "False"),
           1);
  return answer;
}

bool TBaseDevice::WriteLog(const std::string& name, const std::string& text, int32_t eventType) {
  if (FDebugLogEnabled) WriteDebugLog(name, text);
  if (!EventLogEnabled() || FEqManager.Type() != varDispatch || !FEqManager.DispatchValue()) return false;
  OleVariant type = OleVariant::Int32(eventType);
  return VarToBool(CallByName(FEqManager.DispatchValue(), "WriteLog",
                              {OleVariant::Text(FDeviceID), OleVariant::Text(name), OleVariant::Text(text),
                               OleVariant::RefVariant(&type)}));
}

int32_t TBaseDevice::ShowMessageDlg(const std::string& msgText, int32_t msgType, int32_t msgButtons,
                                    int32_t msgTimeout) {
  const DispatchPtr& manager = Manager();
  OleVariant type = OleVariant::Int32(msgType);
  OleVariant buttons = OleVariant::Int32(msgButtons);
  OleVariant timeout = OleVariant::Int32(msgTimeout);
  return VarToInt32(
      CallByName(manager, "MessageDlg",
                 {OleVariant::Text(FDeviceID), OleVariant::Text(msgText), OleVariant::RefVariant(&type),
                  OleVariant::RefVariant(&buttons), OleVariant::RefVariant(&timeout)}));
}

std::string TBaseDevice::InputDataDlg(const std::string& caption, const std::string& defaultData,
                                      const std::string& description, const std::string& mask, bool password,
                                      int32_t timeOut) {
  const DispatchPtr& manager = Manager();
  OleVariant timeOutValue = OleVariant::Int32(timeOut);
  return VarToStr(
      CallByName(manager, "InputDataDlg",
                 {OleVariant::Text(FDeviceID), OleVariant::Text(caption), OleVariant::Text(defaultData),
                  OleVariant::Text(description), OleVariant::Text(mask), OleVariant::Boolean(password),
                  OleVariant::RefVariant(&timeOutValue)}));
}

void TBaseDevice::StoreFocus() {
  platform::Env& env = platform::Env::Current();
  const WindowHandle foreground = env.ForegroundWindow();
  FWindows.push_back(foreground);
  if (foreground != 0) env.SetWindowEnabled(foreground, false);
}

void TBaseDevice::RestoreFocus() {
  if (FWindows.empty()) return;
  platform::Env& env = platform::Env::Current();
  const WindowHandle window = FWindows.back();
  if (window != 0) {
    env.SetWindowEnabled(window, true);
    if (window != env.ForegroundWindow()) env.ActivateWindow(window);
  }
  FWindows.pop_back();
}

std::string TBaseDevice::GetDeviceFolder() {
  const std::string folder = GetAppProperty("DevicesFolder");
  if (folder.empty() || FDeviceID.empty()) return "";
  return IncludeTrailingPathDelimiter(folder) + FDeviceID + platform::kPathDelimiter;
}

std::string TBaseDevice::GetModelFolder() const {
  return IncludeTrailingPathDelimiter(FModelsFolder + FDeviceInfo.ModelID);
}

void TBaseDevice::StoreSettings() {
  FBufSettings.clear();
  for (const TSettingStruct& setting : FSettingList) FBufSettings.push_back({setting.ID, setting.Value});
}

void TBaseDevice::StoreSettings(const std::vector<std::string>& ids) {
  FBufSettings.clear();
  for (const std::string& id : ids) {
    const TSettingStruct* setting = FindSetting(id);
    FBufSettings.push_back({id, setting != nullptr ? setting->Value : OleVariant()});
  }
}

void TBaseDevice::RestoreSettings() {
  for (const TShortSettingStruct& saved : FBufSettings) {
    if (TSettingStruct* setting = FindSetting(saved.ID)) setting->Value = saved.Value;
  }
  FBufSettings.clear();
}

TSettingStruct* TBaseDevice::FindSetting(const std::string& id) {
  return FindSettingEntry(id);
}

TSettingStruct* TBaseDevice::GetSetting(int32_t index) {
  return index >= 0 && index < SettingsCount() ? &FSettingList[static_cast<size_t>(index)] : nullptr;
}

const TAdditionalAction* TBaseDevice::GetAddAction(int32_t index) const {
  return index >= 0 && index < AddActionsCount() ? &FAdditionalActions[static_cast<size_t>(index)] : nullptr;
}

void TBaseDevice::BeginDebugLog() {
  const TFileVersion version = GetFileVersion();
  WriteDebugLog(std::string(40, ' '), "", true);
  WriteDebugLog("============Begin debug log=============", "", true);
  WriteDebugLog("driver ver.", std::to_string(version.Major) + "." + std::to_string(version.Minor) + "." +
                                   std::to_string(version.Build));
  WriteDebugLog("device ID", FDeviceID);
  WriteDebugLog("----------------Settings----------------", "", true);
  for (const TSettingStruct& setting : FSettingList) WriteDebugLog(setting.ID, SettingLogText(setting));
  WriteDebugLog(std::string(40, '-'), "", true);
}

}  // namespace tallowmer
