#pragma once

// The settings list as a Windows dialog: a report list view that asks for its rows when it draws
// them, an edit box or a drop-down list placed over the value cell for editing in place, the
// description of the selected setting, and the buttons. The behaviour is TfrmSettingsList's.

#include <windows.h>

#include <commctrl.h>

#include <memory>
#include <string>

#include "ui/SettingsViews.h"
#include "ui/ufmSettingsList.h"
#include "ui/windows/WinUi.h"

namespace tallowmer::ui_windows {

// Control identifiers, for the dialog's own use and for tools that drive it.
inline constexpr int kIdSettingsTable = 1400;
inline constexpr int kIdResetAllButton = 1401;
inline constexpr int kIdStatusText = 1402;
inline constexpr int kIdValueEdit = 1403;
inline constexpr int kIdValueCombo = 1404;
inline constexpr int kIdEditCommand = 1410;
inline constexpr int kIdDefaultCommand = 1411;

class SettingsListWindow final : public ISettingsListView {
 public:
  explicit SettingsListWindow(TfrmSettingsList& list);
  SettingsListWindow(const SettingsListWindow&) = delete;
  SettingsListWindow& operator=(const SettingsListWindow&) = delete;
  ~SettingsListWindow() override;

  // Shows the list modally, owned by `owner`, and answers how it was closed.
  TModalResult ShowModal(HWND owner);

  void RedrawRow(int32_t row) override;
  void EditorChanged() override;

  // The whole text of a cell that its column cuts short; empty for a cell shown in full.
  std::wstring CutCellText(int row, int column) const;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK TableProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR self);
  static LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR self);

  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void Layout();
  // Gives the header the rows' font and each column room for its caption.
  void FitHeaderCaptions();
  LRESULT HandleNotify(const NMHDR& header);
  void FillRow(NMLVDISPINFOW& info) const;
  void FillInfoTip(NMLVGETINFOTIPW& tip) const;
  void SelectionChanged();
  void ShowContextMenu(LPARAM position);
  void Command(int id);
  // Hands the texts of the editors to the list before it reads them.
  void SyncEditor();
  HWND ShownEditor() const;

  TfrmSettingsList* FList;
  HWND FWindow = nullptr;
  HWND FTable = nullptr;
  HWND FStatus = nullptr;
  HWND FLine = nullptr;
  HWND FResetAll = nullptr;
  HWND FOk = nullptr;
  HWND FCancel = nullptr;
  HWND FEdit = nullptr;
  HWND FCombo = nullptr;
  Scale FScale;
  DialogFonts FFonts;
  // The header's font when the dialog font is too wide for a caption; none otherwise.
  UniqueIcon FIcon;
  std::unique_ptr<Hints> FHints;
};

}  // namespace tallowmer::ui_windows
