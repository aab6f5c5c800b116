#pragma once

// TfrmBaseSettings: the base of every settings page. A page edits some of a device's settings as
// one tab of the settings dialog: the dialog asks it to read, check and save its values through
// the hooks below, and a page may switch the device on and off to try the values being edited.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/uBaseDevice.h"
#include "ui/SettingsViews.h"

namespace tallowmer {

class TfrmCommonSettings;

// One edit box of a page, described for the views, which lay pages out from this list.
struct TPageEdit {
  std::string Name;
  std::string Caption;
  std::string* Text = nullptr;
  // Every character is shown as "•".
  bool Masked = false;
};

class TfrmBaseSettings {
 public:
  explicit TfrmBaseSettings(TBaseDevice& deviceManager) : FDeviceManager(&deviceManager) {}
  virtual ~TfrmBaseSettings() = default;
  TfrmBaseSettings(const TfrmBaseSettings&) = delete;
  TfrmBaseSettings& operator=(const TfrmBaseSettings&) = delete;

  // Creates a page of the actual class `TPage` and runs its `OnCreateFrm` once it is complete
  // (a constructor cannot reach the overrides). `&Create<TPage>` serves as the page's class.
  template <typename TPage>
  static std::unique_ptr<TfrmBaseSettings> Create(TBaseDevice& deviceManager) {
    std::unique_ptr<TfrmBaseSettings> page = std::make_unique<TPage>(deviceManager);
    page->OnCreateFrm();
    return page;
  }

  // The page's check: a page that finds its values unacceptable sets `AllowColse` to false and
  // tells the user why itself.
  virtual void OnSaveSettings(bool& AllowColse) { AllowColse = true; }
  // Writes the page's values into the settings registry.
  virtual void OnSaveSettings() {}
  virtual void OnReadSettings() {}
  virtual void OnCreateFrm() {}
  virtual void OnNotify(const std::string& /*Msg*/, const std::string& /*Data*/) {}

  // The tab caption, the client size at 96 dots per inch and the edit boxes, for the views.
  virtual std::string Caption() const { return ""; }
  virtual TRect ClientRect() const { return {}; }
  virtual std::vector<TPageEdit> Edits() { return {}; }

  // Applies the page's values and enables the device; a result code, 0 on success. The caller
  // ends the try with `DisableDevice` in every case.
  int32_t EnableDevice(std::string& ResultDescription);
  int32_t EnableDevice();
  int32_t EnableDevice(const std::vector<std::string>& Settings, std::string& ResultDescription);
  int32_t EnableDevice(const std::vector<std::string>& Settings);
  void DisableDevice();
  // Reaches `OnNotify` of every page of the hosting dialog, this one included.
  void NotifyOwner(const std::string& Msg, const std::string& Data);

  TBaseDevice& DeviceManager() const { return *FDeviceManager; }
  void SetDeviceManager(TBaseDevice& deviceManager) { FDeviceManager = &deviceManager; }
  TfrmCommonSettings* OwnerFrm() const { return FOwnerFrm; }
  void SetOwnerFrm(TfrmCommonSettings* ownerFrm) { FOwnerFrm = ownerFrm; }

 private:
  int32_t SaveAndEnable(std::string& ResultDescription);
  void SetBusy(bool busy);

  TBaseDevice* FDeviceManager;
  TfrmCommonSettings* FOwnerFrm = nullptr;
};

// A page class: creates the page for a device.
using TPageClass = std::unique_ptr<TfrmBaseSettings> (*)(TBaseDevice& deviceManager);

}  // namespace tallowmer
