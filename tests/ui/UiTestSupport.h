#pragma once

// A device with connection settings that records what its enable and its test saw, pages that
// record their calls into it, and a settings view that runs a script instead of a window.

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/uEquipmentErrors.h"
#include "device/uBaseDevice.h"
#include "tests/support/TestEnv.h"
#include "ui/ufmCommonSettings.h"
#include "ui/ufmMainSettings.h"
#include "ui/ufmSettingsList.h"

namespace tallowmer::testing {

inline constexpr const char* kDefaultHost = "https://default.example/api/v2";

class TScriptedView;

class TUiTestDevice : public TBaseDevice {
 public:
  void RegisterSettings() override {
    TBaseDevice::RegisterSettings();
    AddSetting("Token", dtString, OleVariant::Text(""), false, "Token", "Token");
    MarkSecretSetting("Token");
    AddSetting("Host", dtString, OleVariant::Text(kDefaultHost), false, "Хост", "Хост сервера");
    AddSetting("Retries", dtNumber, OleVariant::Int32(3), false, "Повторы", "Число повторов");
    AddSetting("Serial", dtString, OleVariant::Text("A-1"), true, "Серийный номер", "Только для чтения");
  }
  void FillDeviceInfo() override {
    TBaseDevice::FillDeviceInfo();
    FDeviceInfo.TypeName = "LoyaltySystem";
    FDeviceInfo.ModelName = "Тестовая модель";
    FDeviceInfo.MajorVersion = 4;
    FDeviceInfo.MinorVersion = 5;
    FDeviceInfo.BuildVersion = 6;
    FDeviceInfo.DeveloperName = "Разработчик";
    FDeviceInfo.Description = "Описание модели";
    FDeviceInfo.CI_www = "https://maker.example";
    FDeviceInfo.IsSettingsDlgExist = true;
  }
  int32_t DoEnable(std::string& resultDescription) override {
    calls.push_back("enable Host=" + GetSettingValueStr("Host"));
    resultDescription = enableDescription;
    return enableCode;
  }
  bool DeviceTest(std::string& resultDescription) override {
    calls.push_back("test Host=" + GetSettingValueStr("Host"));
    if (testThrows) throw std::runtime_error("сбой теста");
    // A request, as a device that talks to a service makes one: handed to the dialog's wait.
    if (testWork && ResponsiveWait() != nullptr && ResponsiveWait()->Run(testWork) != TWaitEnd::Finished) {
      resultDescription = "нет ответа";
      return false;
    }
    resultDescription = testDescription;
    return testPasses;
  }
  void DoSettingsChanged() override { calls.emplace_back("settings changed"); }
  bool DoShowSettingsDlg() override;
  int32_t RunAdditionalAction(const std::string& id, std::string& resultDescription) override {
    calls.push_back("action " + id);
    resultDescription = "действие не выполнено";
    return actionCode;
  }

  void AddAction(const std::string& id, const std::string& caption) {
    FAdditionalActions.push_back({id, caption});
  }
  size_t FocusDepth() const { return FWindows.size(); }

  std::vector<std::string> calls;
  int32_t enableCode = kResultOk;
  std::string enableDescription;
  bool testPasses = true;
  bool testThrows = false;
  std::string testDescription;
  // Work the test hands to the dialog's wait; none by default.
  std::function<void()> testWork;
  int32_t actionCode = kResultOk;
  std::vector<TPageClass> pageClasses{&TfrmBaseSettings::Create<TfrmMainSettings>};
  TScriptedView* view = nullptr;
};

inline TUiTestDevice& TestDeviceOf(const TfrmBaseSettings& page) {
  return static_cast<TUiTestDevice&>(page.DeviceManager());
}

// A page that records each hook in its device's call list under `Name`.
template <const char* Name, bool Refuses = false>
class TRecordingPage : public TfrmBaseSettings {
 public:
  using TfrmBaseSettings::TfrmBaseSettings;

  void OnSaveSettings(bool& AllowColse) override {
    TestDeviceOf(*this).calls.push_back(std::string(Name) + " check");
    AllowColse = !Refuses;
  }
  void OnSaveSettings() override { TestDeviceOf(*this).calls.push_back(std::string(Name) + " save"); }
  void OnReadSettings() override { TestDeviceOf(*this).calls.push_back(std::string(Name) + " read"); }
  void OnCreateFrm() override { TestDeviceOf(*this).calls.push_back(std::string(Name) + " created"); }
  void OnNotify(const std::string& Msg, const std::string& Data) override {
    TestDeviceOf(*this).calls.push_back(std::string(Name) + " notified " + Msg + "=" + Data);
  }
  std::string Caption() const override { return Name; }
};

inline constexpr char kFirst[] = "first";
inline constexpr char kSecond[] = "second";
inline constexpr char kThird[] = "third";
inline constexpr char kRefusing[] = "refusing";

class TScriptedView : public ISettingsDialogView {
 public:
  TModalResult ShowModal(TfrmCommonSettings& dialog) override {
    ++modalCount;
    return dialogScript ? dialogScript(dialog) : dialog.FormClose(mrCancel);
  }
  TModalResult ShowSettingsList(TfrmSettingsList& list) override {
    return listScript ? listScript(list) : mrCancel;
  }
  void PagesRead() override { ++pagesRead; }
  void ShowError(const std::string& caption, const std::string& text) override {
    errors.push_back(caption + ": " + text);
  }
  void SetBusy(bool busy) override { busyChanges.push_back(busy); }
  void SetDeviceTestRunning(bool running) override {
    testRunningChanges.push_back(running);
    testRunning = running;
  }
  void OpenWithAssociatedProgram(const std::string& target, TShowWindow show) override {
    opened.push_back(target + (show == TShowWindow::Maximized ? " maximized" : " restored"));
  }
  std::optional<std::string> ChooseFile(const std::string& folder, const std::string& filterName,
                                        const std::string& filterPattern) override {
    choices.push_back(folder + "|" + filterName + "|" + filterPattern);
    return chosenFile;
  }
  void OpenHelpFile(const std::string& helpFile) override { opened.push_back(helpFile + " help"); }
  std::string GetControlHintByPos(TPoint& pos) override {
    pos = hintCorner;
    return hint;
  }
  void ShowHelpPopup(const THelpPopup& popup) override { popups.push_back(popup); }
  // Waits for the work as the windows do, unless the script gives up at once.
  TWaitEnd WaitWhileBusy(const std::function<bool()>& finished,
                         std::chrono::steady_clock::time_point deadline) override {
    ++waits;
    waitedWhileTestShown.push_back(testRunning);
    waitDeadlines.push_back(deadline);
    if (giveUp) return TWaitEnd::Abandoned;
    while (!finished()) {
      if (std::chrono::steady_clock::now() >= deadline) return TWaitEnd::TimedOut;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return TWaitEnd::Finished;
  }

  std::function<TModalResult(TfrmCommonSettings&)> dialogScript;
  std::function<TModalResult(TfrmSettingsList&)> listScript;
  int modalCount = 0;
  int pagesRead = 0;
  std::vector<std::string> errors;
  std::vector<bool> busyChanges;
  std::vector<bool> testRunningChanges;
  bool testRunning = false;
  // Whether the running test was shown at each wait, and each wait's deadline.
  std::vector<bool> waitedWhileTestShown;
  std::vector<std::chrono::steady_clock::time_point> waitDeadlines;
  std::vector<std::string> opened;
  std::vector<std::string> choices;
  std::optional<std::string> chosenFile;
  std::string hint;
  TPoint hintCorner;
  std::vector<THelpPopup> popups;
  int waits = 0;
  bool giveUp = false;
};

inline bool TUiTestDevice::DoShowSettingsDlg() {
  return ShowSettingsForm(*this, pageClasses, false, *view);
}

// The driver's page of a dialog.
inline TfrmMainSettings& MainPage(TfrmCommonSettings& dialog) {
  return dynamic_cast<TfrmMainSettings&>(*dialog.Pages().at(0));
}

// The index of a named menu item.
inline size_t MenuIndex(const TfrmCommonSettings& dialog, const std::string& name) {
  const std::vector<TMenuItem>& items = dialog.MenuItems();
  for (size_t index = 0; index < items.size(); ++index) {
    if (items[index].Name == name) return index;
  }
  throw std::out_of_range(name);
}

// Selects the row of setting `id` in a settings list.
inline void SelectSetting(TfrmSettingsList& list, const std::string& id) {
  for (int32_t row = 0; row < list.RowCount(); ++row) {
    if (list.DeviceManager().GetSetting(row)->ID == id) return list.lvSettingsChange(row);
  }
  throw std::out_of_range(id);
}

}  // namespace tallowmer::testing
