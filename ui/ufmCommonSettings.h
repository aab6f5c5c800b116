#pragma once

// TfrmCommonSettings: the modal settings dialog of a device. It hosts the device's settings pages
// as tabs, adds the tab "Информация", and offers the command menu: reset to defaults, a device test
// with the values being edited, the full settings list, the debug logs, help and the device's
// additional actions. OK saves every page; Cancel puts back the last saved copy of the values.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/uBaseDevice.h"
#include "ui/SettingsViews.h"
#include "ui/uBaseSettingsDeviceFrm.h"

namespace tallowmer {

using TPages = std::vector<std::unique_ptr<TfrmBaseSettings>>;

enum class TMenuCommand : uint8_t {
  Reset,
  DeviceTest,
  SettingsList,
  OpenDebugLog,
  OpenCurrentDebugLog,
  OpenDebugLogDirectory,
  Separator,
  Help,
  AdditionalAction
};

struct TMenuItem {
  std::string Name;
  std::string Caption;
  TMenuCommand Command = TMenuCommand::Separator;
  // An item of the debug-log submenu.
  bool InSubmenu = false;
  bool Visible = true;
  bool Enabled = true;
  // The index of an additional action.
  int32_t Tag = 0;
};

// One row of the tab "Информация": a bold caption and its value.
struct TInfoRow {
  std::string Caption;
  std::string Value;
};

// The help requests that the platform hands to `FormHelp`.
enum class THelpCommand : uint8_t { SetPopupPosition, ContextPopup, Other };

inline constexpr const char* kSettingsCaption = "Настройки";
inline constexpr const char* kInformationTab = "Информация";
inline constexpr const char* kErrorCaption = "Ошибка";
inline constexpr const char* kSaveFailed = "Не удалось записать текущие настройки";
inline constexpr const char* kDebugLogNotFound = "Отладочный лог не найден!";
inline constexpr const char* kPagesHint = "Настройка параметров и подробная информация о драйвере";
// How long one request of the device test may take: what a sale's request is allowed (the
// transport's own bound), so that the test passes wherever a sale would. The test makes two (the
// TLS preparation of Enable, then the ping).
inline constexpr std::chrono::milliseconds kDeviceTestRequestLimit{30'000};
// What the dialog shows while the device test runs, and the hint and help of "Отмена" then.
inline constexpr const char* kDeviceTestRunning = "Выполняется тест устройства…";
inline constexpr const char* kStopDeviceTestHint = "Прервать тест устройства";
inline constexpr int32_t kStopDeviceTestHelpID = 1004;
// The help of the settings list's button "По-умолчанию" and of its table.
inline constexpr int32_t kResetAllHelpID = 1005;
inline constexpr int32_t kSettingsTableHelpID = 1006;

// The device test's wait: each piece of work runs on a thread of its own while the dialog's view
// waits for it, each within `limit` from its start. A piece that used up its time, or that the
// user gave up on, ends the wait: no further work starts, as a service that did not answer one
// request in time is of no use to a till.
class TDeviceTestWait final : public IResponsiveWait {
 public:
  TDeviceTestWait(ISettingsDialogView& view, std::chrono::milliseconds limit);
  std::chrono::milliseconds Limit() const override { return FLimit; }
  std::chrono::milliseconds Remaining() const override;
  TWaitEnd Run(std::function<void()> work) override;
  // Finished unless the wait ended early.
  TWaitEnd End() const { return FEnd; }

 private:
  ISettingsDialogView& FView;
  std::chrono::milliseconds FLimit;
  TWaitEnd FEnd = TWaitEnd::Finished;
};

// The help context of the page control: its popup shows the hint of the control under the pointer.
inline constexpr int32_t kPagesHelpContext = 10000;
// The help text of the pages, also shown for a control that has none of its own.
inline constexpr int32_t kPagesHelpID = 1003;

class TfrmCommonSettings {
 public:
  TfrmCommonSettings(TBaseDevice& ADeviceManager, const std::vector<TPageClass>& PageClasses,
                     ISettingsDialogView& view);
  TfrmCommonSettings(const TfrmCommonSettings&) = delete;
  TfrmCommonSettings& operator=(const TfrmCommonSettings&) = delete;

  void AddPage(std::unique_ptr<TfrmBaseSettings> PageFrm);
  void AddPage(TPageClass PageClass);
  void AddPages(const std::vector<TPageClass>& PageClasses);
  void NotifyPages(const std::string& Msg, const std::string& Data);

  bool HelpFileExists();
  static std::string GetHelpByID(int32_t ID);
  // Shows the popup for a help request; every command counts as handled.
  bool FormHelp(THelpCommand Command, int32_t Data);

  // The dialog is asked to close with `ModalResult`; answers the result that stands, mrNone when a
  // page refused its values and the dialog stays open.
  TModalResult FormClose(TModalResult ModalResult);
  // The command menu is opening.
  void mAdditionalyPopup();
  // Runs the item's command; a failure that escapes it is shown in an error box.
  void MenuItemClick(size_t index);
  void miResetClick();
  void miDeviceTestClick();
  void miSettingsListClick();
  void miOpenCurrentDebugLogClick();
  void miOpenDebugLogDirectoryClick();
  void miHelpClick();
  void imgLogoClick();
  void AdditionalActionClick(int32_t Tag);

  void SetCapDeviceTest(bool value) { SetCap(TMenuCommand::DeviceTest, value); }
  void SetCapSetDefault(bool value) { SetCap(TMenuCommand::Reset, value); }
  void SetCapShowHelp(bool value) { SetCap(TMenuCommand::Help, value); }
  void SetCapOpenDebugLog(bool value) { SetCap(TMenuCommand::OpenDebugLog, value); }

  const TPages& Pages() const { return FPages; }
  // The page captions in the order the pages were added, then "Информация".
  std::vector<std::string> TabCaptions() const;
  int32_t ActiveTab = 0;
  const std::vector<TMenuItem>& MenuItems() const { return FMenuItems; }
  const std::vector<TInfoRow>& InfoRows() const { return FInfoRows; }
  const std::string& lbModelName() const { return FModelName; }
  const std::string& lbDiverVersion() const { return FDriverVersion; }
  // The client size at 96 dots per inch: it grows to fit the largest page.
  const TRect& ClientRect() const { return FClientRect; }
  const std::string& HelpFile() const { return FHelpFile; }
  bool HelpEnabled() const { return FHelpEnabled; }

  TBaseDevice& DeviceManager() const { return *FDeviceManager; }
  void SetBusy(bool busy) { FView->SetBusy(busy); }

 private:
  void ReadPagesSettings();
  bool SavePagesSettings();
  void AddAdditionalActions();
  void FillInformation();
  void SetCap(TMenuCommand command, bool value);

  TPages FPages;
  TBaseDevice* FDeviceManager;
  ISettingsDialogView* FView;
  std::string FCI_www;
  bool FHelpEnabled = false;
  std::string FHelpFile;
  std::vector<TMenuItem> FMenuItems;
  std::vector<TInfoRow> FInfoRows;
  std::string FModelName;
  std::string FDriverVersion;
  TRect FClientRect{0, 0, 324, 375};
  TPoint FPopupPos;
};

// Opens the settings dialog modally for `device` with one page per class and tells whether the
// user confirmed with OK. The host's window is blocked meanwhile and given back afterwards, and
// `DoSettingsChanged` runs whatever the answer.
bool ShowSettingsForm(TBaseDevice& device, const std::vector<TPageClass>& PageClasses, bool NoDeviceTest,
                      ISettingsDialogView& view);

}  // namespace tallowmer
