#pragma once

// The settings dialog as a Windows dialog: a white header with the logo, the model and the
// version; the pages and the tab "Информация" in a tab control; the buttons "Дополнительно" (the
// command menu), "ОК" and "Отмена"; hints, and help popups through the title bar's help button
// or F1. The behaviour is TfrmCommonSettings'; this class shows it and passes the user's input on.

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/SettingsViews.h"
#include "ui/ufmCommonSettings.h"
#include "ui/windows/HelpPopup.h"
#include "ui/windows/WinUi.h"

namespace tallowmer::ui_windows {

// Control identifiers, for the dialog's own use and for tools that drive it.
inline constexpr int kIdMoreButton = 1000;
inline constexpr int kIdLogo = 1001;
inline constexpr int kIdModelName = 1002;
inline constexpr int kIdDriverVersion = 1003;
// The text that stands in for "Дополнительно" while the device test runs.
inline constexpr int kIdDeviceTestStatus = 1004;
inline constexpr int kIdPages = 1100;
// The edit boxes of a page, in the order the page lists them.
inline constexpr int kIdFirstPageEdit = 1200;
// The command menu's items arrive as commands numbered from here by their index in the menu.
inline constexpr int kIdFirstMenuCommand = 1300;

class SettingsDialogWindow final : public ISettingsDialogView {
 public:
  SettingsDialogWindow();
  SettingsDialogWindow(const SettingsDialogWindow&) = delete;
  SettingsDialogWindow& operator=(const SettingsDialogWindow&) = delete;

  TModalResult ShowModal(TfrmCommonSettings& dialog) override;
  TModalResult ShowSettingsList(TfrmSettingsList& list) override;
  void PagesRead() override;
  void ShowError(const std::string& caption, const std::string& text) override;
  void SetBusy(bool busy) override;
  void SetDeviceTestRunning(bool running) override;
  void OpenWithAssociatedProgram(const std::string& target, TShowWindow show) override;
  std::optional<std::string> ChooseFile(const std::string& folder, const std::string& filterName,
                                        const std::string& filterPattern) override;
  void OpenHelpFile(const std::string& helpFile) override;
  std::string GetControlHintByPos(TPoint& pos) override;
  void ShowHelpPopup(const THelpPopup& popup) override;
  TWaitEnd WaitWhileBusy(const std::function<bool()>& finished,
                         std::chrono::steady_clock::time_point deadline) override;

 private:
  // One tab's window with the edit boxes it shows.
  struct PageWindow {
    HWND Window = nullptr;
    std::vector<TPageEdit> Edits;
    std::vector<HWND> EditWindows;
  };

  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void CreateHeader(int width);
  void CreateFooter(int width, int height);
  void CreateTabs(int width, int height);
  HWND CreatePageWindow(const std::string& caption);
  void CreatePage(TfrmBaseSettings& page);
  void CreatePageLabel(HWND page, const std::string& caption, int rowTopAt96);
  void CreateInformationPage();
  void ShowActiveTab();
  void OrderForTabbing();
  // Shows the tab `step` tabs on, around the ends.
  void SwitchTab(int step);
  // Switches tabs for a key that does so; answers whether it did.
  bool TabKey(const MSG& message);
  static LRESULT CALLBACK DialogKeysHook(int code, WPARAM wParam, LPARAM lParam);
  static thread_local SettingsDialogWindow* activeWindow;
  void Command(int id, int notification, HWND control);
  void EditChanged(HWND edit);
  void DropDownMenu();
  bool Help(const HELPINFO& info);
  INT_PTR PaintHeader();
  void DrawLogo(const DRAWITEMSTRUCT& item) const;
  bool SetCursorFor(HWND control);
  void ShowFailure(const std::string& text);
  // Disables every control that takes input but "Отмена", and answers them for enabling again.
  std::vector<HWND> DisableForWait();
  // Back to the front, the keyboard on `focus` when it can still take it.
  void TakeForeground(HWND focus);

  TfrmCommonSettings* FDialog = nullptr;
  HWND FWindow = nullptr;
  HWND FLogo = nullptr;
  HWND FModelName = nullptr;
  HWND FDriverVersion = nullptr;
  HWND FPages = nullptr;
  HWND FMore = nullptr;
  HWND FCancel = nullptr;
  HWND FTestStatus = nullptr;
  std::vector<PageWindow> FPageWindows;
  Scale FScale;
  DialogFonts FFonts;
  UniqueFont FTitleFont;
  UniqueFont FLogoFont;
  std::unique_ptr<Hints> FHints;
  HtmlHelpViewer FHtmlHelp;
  int FHeaderHeight = 0;
  int FBusy = 0;
  // While the device test runs, "Отмена" and Escape give up its wait instead of closing.
  bool FTestRunning = false;
  bool FGivenUp = false;
  std::vector<HWND> FDisabledForTest;
  HWND FFocusBeforeTest = nullptr;
  // Set while the controls are filled from the pages, whose texts they already hold.
  bool FFillingEdits = false;
};

}  // namespace tallowmer::ui_windows
