#pragma once

// What the settings windows need from the platform's windows. The portable classes of this folder
// hold the whole behaviour; a view only shows their state, turns the user's input into calls of
// their handlers, and provides the few things that need a real window.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/ResponsiveWait.h"

namespace tallowmer {

class TfrmCommonSettings;
class TfrmSettingsList;

// How a modal window was closed; mrNone while it stays open.
enum TModalResult : uint8_t { mrNone = 0, mrOk = 1, mrCancel = 2 };

// The keys the windows react to.
enum class TKey : uint8_t { Enter, F2, Escape, Other };

struct TPoint {
  int32_t X = 0;
  int32_t Y = 0;
};

struct TRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
};

// How a file or address is opened with the program the system associates with it.
enum class TShowWindow : uint8_t { Restored, Maximized };

// A help popup: either `Text` at `Pos`, or topic `Topic` of the text-popup file `TopicFile` when
// that is not empty.
struct THelpPopup {
  TPoint Pos;
  std::string Text;
  std::string TopicFile;
  int32_t Topic = 0;
};

class ISettingsDialogView {
 public:
  virtual ~ISettingsDialogView() = default;

  // Shows the dialog modally and answers how it was closed. Every request to close (the buttons,
  // the close box, Escape) goes through `TfrmCommonSettings::FormClose`; the dialog stays open
  // while that answers mrNone. Edit controls write their text into the page as the user types.
  virtual TModalResult ShowModal(TfrmCommonSettings& dialog) = 0;
  // Shows the settings list modally, owned by the dialog, and answers how it was closed.
  virtual TModalResult ShowSettingsList(TfrmSettingsList& list) = 0;
  // The pages have loaded their values again: the controls must show them.
  virtual void PagesRead() = 0;
  // A modal message box owned by the dialog, with the error icon.
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  virtual void SetBusy(bool busy) = 0;
  // The device test starts (true) or has ended (false). While it runs the dialog says so, shows the
  // busy pointer and takes no input but "Отмена" and Escape, which stop the test (its hint says
  // so). At its end the dialog comes to the front again with the keyboard where it was: the test's
  // own notice, closed, leaves no window active.
  virtual void SetDeviceTestRunning(bool running) = 0;
  virtual void OpenWithAssociatedProgram(const std::string& target, TShowWindow show) = 0;
  // A file-open dialog starting in `folder` with one filter; nothing when the user gives up.
  virtual std::optional<std::string> ChooseFile(const std::string& folder, const std::string& filterName,
                                                const std::string& filterPattern) = 0;
  virtual void OpenHelpFile(const std::string& helpFile) = 0;
  // The hint of the focused control while F1 is held, else of the control under the pointer
  // (disabled ones included). With a control, `pos` becomes its top left corner on the screen;
  // without one the answer is empty and `pos` unchanged.
  virtual std::string GetControlHintByPos(TPoint& pos) = 0;
  virtual void ShowHelpPopup(const THelpPopup& popup) = 0;
  // Waits while the device test's work runs on another thread: the dialog keeps painting and
  // answering, until `finished` answers true, `deadline` passes, or the user gives up with Escape
  // or "Отмена" (which then closes nothing).
  virtual TWaitEnd WaitWhileBusy(const std::function<bool()>& finished,
                                 std::chrono::steady_clock::time_point deadline) = 0;
};

class ISettingsListView {
 public:
  virtual ~ISettingsListView() = default;

  // The texts of a row changed; -1 means every row.
  virtual void RedrawRow(int32_t row) = 0;
  // The in-place editor was shown (over the selected row, keyboard focus to the window) or hidden
  // (keyboard focus to the table).
  virtual void EditorChanged() = 0;
};

}  // namespace tallowmer
