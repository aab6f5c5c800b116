#pragma once

// TBaseDevice: what every piece of equipment offers the host on top of the dispatch core: the ten
// standard host methods, the device state, the device information, the standard settings, the
// host's equipment manager with its events and dialogs, the device folders, and the virtual
// operations through which a concrete device plugs in its behaviour.

#include <cstdint>
#include <string>
#include <vector>

#include "common/ResponsiveWait.h"
#include "common/uCommon.h"
#include "core/uCOMSupport.h"

namespace tallowmer {

enum TDeviceState : uint8_t { dsCreated = 0, dsInited = 1, dsEnabled = 2, dsUnknown = 3 };

struct TAdditionalAction {
  std::string ID;
  std::string Caption;
};

// Window handles as the platform gives them; 0 is none.
using WindowHandle = uintptr_t;

inline constexpr const char* kManagerUnavailable = "Менеджер оборудования недоступен";

class TBaseDevice : public TBaseObject {
 public:
  void Initialize() override;
  void BeforeDestruction() override;

  // Host methods with their own slot so that a device can replace them.
  virtual int32_t EnableMethod(OleVariant& inData, OleVariant& outData, int32_t timeOut,
                               std::string& description);
  virtual int32_t Disable(std::string& resultDescription);
  virtual int32_t DisableMethod(OleVariant& inData, OleVariant& outData, int32_t timeOut,
                                std::string& description);

  // Further virtual operations, in slot order.
  virtual void RegisterSettings();
  virtual void RegisterMethods();
  virtual void DoSettingsChanged() {}
  virtual void FillDeviceInfo() {}
  virtual int32_t DoEnable(std::string& resultDescription);
  virtual int32_t DoDisable(std::string& resultDescription);
  virtual int32_t DoCheckHealth(std::string& resultDescription);
  virtual bool DoShowSettingsDlg() { return false; }
  virtual void DoCreate() {}
  virtual void DoDestroy() {}
  virtual int32_t DoInit(std::string& resultDescription);
  virtual int32_t DoOpen(std::string& resultDescription);
  virtual void DoAfterClose() {}
  virtual void DoClose() {}
  // Messages posted to the device's hidden window; ignored here.
  virtual void WndProc(uint32_t message, uintptr_t wParam, intptr_t lParam);
  virtual std::string GetDeviceVersion();
  virtual bool DeviceTest(std::string& resultDescription);
  virtual int32_t RunAdditionalAction(const std::string& id, std::string& resultDescription);
  virtual int32_t Enable(std::string& resultDescription);

  int32_t Enable();
  int32_t Disable();

  // The host's equipment manager.
  std::string GetAppProperty(const std::string& propName);
  std::string GetLanguage() { return GetAppProperty("Language"); }
  bool DataEvent(const std::string& event, const std::string& data, const OleVariant& extData = OleVariant());
  bool ErrorEvent(const std::string& errorName, const std::string& description, const OleVariant& extData);
  bool TaskState(int32_t percent, const std::string& description);
  bool WriteLog(const std::string& name, const std::string& text, int32_t eventType);
  int32_t ShowMessageDlg(const std::string& msgText, int32_t msgType, int32_t msgButtons, int32_t msgTimeout);
  std::string InputDataDlg(const std::string& caption, const std::string& defaultData,
                           const std::string& description, const std::string& mask, bool password,
                           int32_t timeOut);

  // The host's window around a modal window of the device.
  void StoreFocus();
  void RestoreFocus();

  std::string GetDeviceFolder();
  std::string GetModelFolder() const;

  void StoreSettings();
  void StoreSettings(const std::vector<std::string>& ids);
  void RestoreSettings();
  TSettingStruct* FindSetting(const std::string& id);

  TSettingStruct* GetSetting(int32_t index);
  const TAdditionalAction* GetAddAction(int32_t index) const;
  int32_t SettingsCount() const { return static_cast<int32_t>(FSettingList.size()); }
  int32_t AddActionsCount() const { return static_cast<int32_t>(FAdditionalActions.size()); }
  TDeviceState DeviceState() const { return FDeviceState; }
  const TDeviceInfoStruct& DeviceInfo() const { return FDeviceInfo; }
  const OleVariant& EqManager() const { return FEqManager; }
  const std::string& DeviceID() const { return FDeviceID; }
  bool Enabled() const { return FDeviceState == dsEnabled; }
  void SetEnabled(bool value);
  bool EventLogEnabled() const { return GetSettingValueBool("EventLogEnabled"); }
  void SetEventLogEnabled(bool value) { SetSettingValue("EventLogEnabled", OleVariant::Boolean(value)); }
  int32_t DefaultTimeOut() const { return GetSettingValueInt("DefaultTimeOut"); }
  void SetDefaultTimeOut(int32_t value) { SetSettingValue("DefaultTimeOut", OleVariant::Int32(value)); }
  std::string ModelFolder() const { return GetModelFolder(); }

  // Set by the settings dialog while its device test runs: a device hands its long requests to
  // this wait, so that the dialog keeps answering and the test keeps its time. Null otherwise.
  IResponsiveWait* ResponsiveWait() const { return FResponsiveWait; }
  void SetResponsiveWait(IResponsiveWait* wait) { FResponsiveWait = wait; }

  std::string DeviceFolder;
  std::string Language;
  // The hidden message window (0 on platforms without windows, -1 once released).
  WindowHandle DeviceHandle = 0;

 protected:
  void BeginDebugLog() override;
  void SetDefaultDeviceInfo();

  TDeviceState FDeviceState = dsCreated;
  std::vector<WindowHandle> FWindows;
  std::string FModelsFolder;
  std::vector<TShortSettingStruct> FBufSettings;
  std::vector<TAdditionalAction> FAdditionalActions;
  OleVariant FEqManager;
  std::string FDeviceID;
  TDeviceInfoStruct FDeviceInfo;
  IResponsiveWait* FResponsiveWait = nullptr;

 private:
  const DispatchPtr& Manager() const;
  OleVariant InitMethod(SafeArray& params);
  OleVariant OpenMethod(SafeArray& params);
  OleVariant CloseMethod(SafeArray& params);
  int32_t ShowSettingsDlgMethod(std::string& description);
  OleVariant DeviceInfoArray() const;
  void PrepareDeviceFolder();
};

}  // namespace tallowmer
