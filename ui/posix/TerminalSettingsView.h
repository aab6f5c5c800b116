#pragma once

// The settings dialog as text on a terminal, for systems without the Windows dialog. The tabs are
// printed as sections, the command menu as lettered lines, the edit boxes as numbered fields; the
// user answers one line at a time. The settings list is a numbered table edited by row number.
// Everything but ShowModal is reached only while a dialog is shown, so only ShowModal has to cope
// with a missing terminal.

#include <fstream>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "ui/SettingsViews.h"

namespace tallowmer {

// What the user types for OK and for Cancel, in the dialog and in the settings list.
inline constexpr const char* kTerminalOk = "o";
inline constexpr const char* kTerminalCancel = "x";
// A line holding only Escape (Esc, then Enter) leaves an edit without storing it.
inline constexpr const char* kTerminalEscape = "\x1b";

class TTerminalSettingsView final : public ISettingsDialogView, public ISettingsListView {
 public:
  // Talks on the terminal at `terminalPath`; when it cannot be opened, every dialog is cancelled.
  explicit TTerminalSettingsView(const std::string& terminalPath = "/dev/tty");
  // Talks through the given streams, which must outlive the view.
  TTerminalSettingsView(std::istream& in, std::ostream& out);
  ~TTerminalSettingsView() override;
  TTerminalSettingsView(const TTerminalSettingsView&) = delete;
  TTerminalSettingsView& operator=(const TTerminalSettingsView&) = delete;

  TModalResult ShowModal(TfrmCommonSettings& dialog) override;
  TModalResult ShowSettingsList(TfrmSettingsList& list) override;
  // The dialog is printed afresh before each line the user types.
  void PagesRead() override {}
  void ShowError(const std::string& caption, const std::string& text) override;
  void SetBusy(bool busy) override;
  // The test's end shows itself: the dialog is printed again.
  void SetDeviceTestRunning(bool running) override;
  void OpenWithAssociatedProgram(const std::string& target, TShowWindow show) override;
  std::optional<std::string> ChooseFile(const std::string& folder, const std::string& filterName,
                                        const std::string& filterPattern) override;
  void OpenHelpFile(const std::string& helpFile) override;
  // There is no pointer and no focus to ask about: no hint.
  std::string GetControlHintByPos(TPoint&) override { return ""; }
  void ShowHelpPopup(const THelpPopup& popup) override;
  // On a terminal a line holding only Escape or "x" gives up; through streams nothing can.
  TWaitEnd WaitWhileBusy(const std::function<bool()>& finished,
                         std::chrono::steady_clock::time_point deadline) override;

  void RedrawRow(int32_t row) override;
  // The editor is a prompt of its own: nothing to show or hide.
  void EditorChanged() override {}

 private:
  void PrintDialog(TfrmCommonSettings& dialog);
  void PrintList(const TfrmSettingsList& list);
  // The next line the user typed; nothing once the input has ended. A secret is read with the
  // terminal's echo off, as passwords are.
  std::optional<std::string> Ask(const std::string& prompt, bool secret = false);
  // Runs one line typed in the dialog; the result that closes it, mrNone while it stays open.
  TModalResult DialogCommand(TfrmCommonSettings& dialog, const std::string& line);
  TModalResult ListCommand(TfrmSettingsList& list, const std::string& line);
  void EditRow(TfrmSettingsList& list, int32_t row);

  std::ifstream FTerminalIn;
  std::ofstream FTerminalOut;
  // The terminal itself, for switching its echo; -1 when talking through streams.
  int FTerminalFd = -1;
  std::istream* FIn = nullptr;
  std::ostream* FOut = nullptr;
  TfrmSettingsList* FList = nullptr;
};

}  // namespace tallowmer
