#include "ui/windows/SettingsListWindow.h"

#include <windowsx.h>

#include <algorithm>
#include <exception>

#include "ui/ufmCommonSettings.h"

namespace tallowmer::ui_windows {

namespace {

// Sizes at 96 dots per inch.
constexpr int kClientWidth = 374;
constexpr int kClientHeight = 379;
constexpr int kStatusHeight = 55;
constexpr int kFooterHeight = 41;
constexpr int kButtonHeight = 25;
constexpr int kButtonWidth = 75;
constexpr int kResetButtonWidth = 100;
constexpr int kGap = 8;
constexpr int kIconSize = 32;
// The room a list view cell leaves beside its text, both sides together.
constexpr int kCellPadding = 12;

struct Column {
  const char* Caption;
  int Width;
};
constexpr Column kColumns[] = {{"Наименование", 190}, {"Значение", 90}, {"По-умолчанию", 90}};

// The list's own icon: a sheet with lines, drawn rather than loaded, so the module needs no image.
UniqueIcon CreateListIcon() {
  const ScreenDC screen;
  const UniqueBitmap colour(::CreateCompatibleBitmap(screen.get(), kIconSize, kIconSize));
  const UniqueBitmap mask(::CreateBitmap(kIconSize, kIconSize, 1, 1, nullptr));
  const UniqueMemoryDC memory(::CreateCompatibleDC(screen.get()));
  if (!memory || !colour || !mask) return UniqueIcon();
  HDC dc = memory.get();
  const RECT whole{0, 0, kIconSize, kIconSize};
  const RECT sheet{4, 2, kIconSize - 4, kIconSize - 2};
  HGDIOBJ previous = ::SelectObject(dc, mask.get());
  ::FillRect(dc, &whole, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  ::FillRect(dc, &sheet, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
  ::SelectObject(dc, colour.get());
  ::FillRect(dc, &whole, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
  const UniqueBrush paper(::CreateSolidBrush(RGB(0xF4, 0xF7, 0xFB)));
  const UniqueBrush ink(::CreateSolidBrush(RGB(0x1F, 0x4E, 0x79)));
  ::FillRect(dc, &sheet, ink.get());
  const RECT inside{5, 3, kIconSize - 5, kIconSize - 3};
  ::FillRect(dc, &inside, paper.get());
  for (int top = 8; top < kIconSize - 6; top += 5) {
    const RECT line{8, top, kIconSize - 8, top + 2};
    ::FillRect(dc, &line, ink.get());
  }
  ::SelectObject(dc, previous);
  ICONINFO info{TRUE, 0, 0, mask.get(), colour.get()};
  return UniqueIcon(::CreateIconIndirect(&info));
}

TKey KeyOf(WPARAM key) {
  switch (key) {
    case VK_RETURN:
      return TKey::Enter;
    case VK_F2:
      return TKey::F2;
    case VK_ESCAPE:
      return TKey::Escape;
    default:
      return TKey::Other;
  }
}

// The virtual key of a key press that a dialog would otherwise take for itself.
WPARAM DialogKeyOf(LPARAM message) {
  const auto* pending = reinterpret_cast<const MSG*>(message);
  return pending != nullptr && pending->message == WM_KEYDOWN ? pending->wParam : 0;
}

void ShowFailure(HWND owner, const char* what) {
  ::MessageBoxW(owner, Widen(what).c_str(), Widen(kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace

SettingsListWindow::SettingsListWindow(TfrmSettingsList& list) : FList(&list), FIcon(CreateListIcon()) {
  FList->SetView(this);
}

SettingsListWindow::~SettingsListWindow() {
  FList->SetView(nullptr);
}

TModalResult SettingsListWindow::ShowModal(HWND owner) {
  const std::vector<WORD> dialogTemplate = EmptyDialogTemplate(
      WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | DS_MODALFRAME, 0, kSettingsListCaption);
  const INT_PTR result =
      ::DialogBoxIndirectParamW(ModuleInstance(), reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()),
                                owner, DialogProc, reinterpret_cast<LPARAM>(this));
  return result == IDOK ? mrOk : mrCancel;
}

INT_PTR CALLBACK SettingsListWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    reinterpret_cast<SettingsListWindow*>(lParam)->FWindow = window;
  }
  auto* self = reinterpret_cast<SettingsListWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  // Nothing may unwind through the system's dialog code.
  try {
    return self->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& error) {
    ShowFailure(window, error.what());
  } catch (...) {
    ShowFailure(window, "Неизвестная ошибка");
  }
  return TRUE;
}

INT_PTR SettingsListWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      CreateControls();
      SizeAndCenter(FWindow, FScale(kClientWidth), FScale(kClientHeight));
      Layout();
      ::SetFocus(FTable);
      return FALSE;
    case WM_SIZE:
      Layout();
      return TRUE;
    case WM_GETMINMAXINFO: {
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = {FScale(300), FScale(250)};
      return TRUE;
    }
    case WM_NOTIFY: {
      const LRESULT result = HandleNotify(*reinterpret_cast<const NMHDR*>(lParam));
      ::SetWindowLongPtrW(FWindow, DWLP_MSGRESULT, result);
      return TRUE;
    }
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) != FTable) return FALSE;
      ShowContextMenu(lParam);
      return TRUE;
    case WM_COMMAND:
      Command(LOWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

void SettingsListWindow::CreateControls() {
  ::SendMessageW(FWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FIcon.get()));
  ::SendMessageW(FWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FIcon.get()));
  HFONT font = FFonts.Normal.get();
  FTable = CreateControl(
      FWindow, WC_LISTVIEWW, "",
      WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
      {0, 0, kClientWidth, 100}, kIdSettingsTable, font, FScale, WS_EX_CLIENTEDGE);
  // The value columns are narrow: a cell cut short shows its whole text as the row's info tip.
  ListView_SetExtendedListViewStyle(FTable, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
  for (int index = 0; index < static_cast<int>(std::size(kColumns)); ++index) {
    std::wstring caption = Widen(kColumns[index].Caption);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = caption.data();
    column.cx = FScale(kColumns[index].Width);
    column.iSubItem = index;
    ListView_InsertColumn(FTable, index, &column);
  }
  FitHeaderCaptions();
  ListView_SetItemCountEx(FTable, FList->RowCount(), LVSICF_NOINVALIDATEALL);
  ::SetWindowSubclass(FTable, TableProc, 0, reinterpret_cast<DWORD_PTR>(this));

  FStatus = CreateControl(FWindow, L"STATIC", "", SS_LEFT | SS_SUNKEN | SS_NOPREFIX,
                          {0, 0, kClientWidth, kStatusHeight}, kIdStatusText, font, FScale);
  FLine = CreateControl(FWindow, L"STATIC", "", SS_ETCHEDHORZ, {0, 0, kClientWidth, 2}, -1, nullptr, FScale);
  FResetAll = CreateControl(FWindow, L"BUTTON", "По-умолчанию", WS_TABSTOP | BS_PUSHBUTTON,
                            {0, 0, kResetButtonWidth, kButtonHeight}, kIdResetAllButton, font, FScale);
  FOk = CreateControl(FWindow, L"BUTTON", "ОК", WS_TABSTOP | BS_DEFPUSHBUTTON,
                      {0, 0, kButtonWidth, kButtonHeight}, IDOK, font, FScale);
  FCancel = CreateControl(FWindow, L"BUTTON", "Отмена", WS_TABSTOP | BS_PUSHBUTTON,
                          {0, 0, kButtonWidth, kButtonHeight}, IDCANCEL, font, FScale);
  // The list's help requests reach the settings dialog, its owner, which shows these contexts' texts.
  ::SetWindowContextHelpId(FTable, kSettingsTableHelpID);
  ::SetWindowContextHelpId(FResetAll, kResetAllHelpID);
  ::SetWindowContextHelpId(FOk, 1001);
  ::SetWindowContextHelpId(FCancel, 1002);

  // The editors float over the value cell of the table's selected row.
  FEdit = CreateControl(FTable, L"EDIT", "", ES_AUTOHSCROLL, {0, 0, 90, 20}, kIdValueEdit, font, FScale,
                        WS_EX_CLIENTEDGE);
  FCombo = CreateControl(FTable, L"COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL, {0, 0, 90, 80},
                         kIdValueCombo, font, FScale);
  for (const char* item : kBooleanItems) {
    ::SendMessageW(FCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(item).c_str()));
  }
  for (HWND editor : {FEdit, FCombo}) {
    ::ShowWindow(editor, SW_HIDE);
    ::SetWindowSubclass(editor, EditorProc, 0, reinterpret_cast<DWORD_PTR>(this));
  }

  FHints = std::make_unique<Hints>(FWindow);
  FHints->Add(FResetAll, "Установить все значения по-умолчанию");
  FHints->Add(FOk, "Сохранить и закрыть");
  FHints->Add(FCancel, "Закрыть без сохранения");
}

void SettingsListWindow::FitHeaderCaptions() {
  // The header keeps the rows' font: a smaller one, tried before to fit "По-умолчанию" into 90
  // pixels, made "ю" read as "ис". A column whose width would cut its caption is widened instead,
  // and the name column gives up that width, so that the table stays as wide as the window: its
  // long names show in full as info tips like any cut cell.
  HFONT font = FFonts.Normal.get();
  ::SendMessageW(ListView_GetHeader(FTable), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  const ScreenDC screen;
  const HGDIOBJ previous = ::SelectObject(screen.get(), font);
  // The header draws a caption between margins of three edges on either side, inside the
  // column's own edges.
  const int margins = 8 * ::GetSystemMetrics(SM_CXEDGE);
  int widened = 0;
  int nameCaption = 0;
  for (int index = 0; index < static_cast<int>(std::size(kColumns)); ++index) {
    const std::wstring caption = Widen(kColumns[index].Caption);
    SIZE extent{};
    ::GetTextExtentPoint32W(screen.get(), caption.c_str(), static_cast<int>(caption.size()), &extent);
    const int needed = extent.cx + margins;
    const int width = ListView_GetColumnWidth(FTable, index);
    if (index == 0) nameCaption = needed;
    if (needed <= width) continue;
    ListView_SetColumnWidth(FTable, index, needed);
    widened += needed - width;
  }
  ::SelectObject(screen.get(), previous);
  const int nameWidth = ListView_GetColumnWidth(FTable, 0);
  if (widened > 0) ListView_SetColumnWidth(FTable, 0, std::max(nameWidth - widened, nameCaption));
}

void SettingsListWindow::Layout() {
  RECT client{};
  ::GetClientRect(FWindow, &client);
  const int width = client.right;
  const int height = client.bottom;
  const int footerTop = height - FScale(kFooterHeight);
  const int statusTop = footerTop - FScale(kStatusHeight);
  const int buttonTop = footerTop + (FScale(kFooterHeight) - FScale(kButtonHeight)) / 2;
  const int buttonWidth = FScale(kButtonWidth);
  const int buttonHeight = FScale(kButtonHeight);
  const int gap = FScale(kGap);
  ::MoveWindow(FTable, 0, 0, width, statusTop, TRUE);
  ::MoveWindow(FStatus, 0, statusTop, width, FScale(kStatusHeight), TRUE);
  ::MoveWindow(FLine, 0, footerTop, width, 2, TRUE);
  ::MoveWindow(FResetAll, gap, buttonTop, FScale(kResetButtonWidth), buttonHeight, TRUE);
  ::MoveWindow(FCancel, width - gap - buttonWidth, buttonTop, buttonWidth, buttonHeight, TRUE);
  ::MoveWindow(FOk, width - 2 * gap - 2 * buttonWidth, buttonTop, buttonWidth, buttonHeight, TRUE);
  if (FList->EditorShown()) EditorChanged();
}

LRESULT SettingsListWindow::HandleNotify(const NMHDR& header) {
  if (header.hwndFrom != FTable) return 0;
  switch (header.code) {
    case LVN_GETDISPINFOW:
      FillRow(*reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(&header)));
      return 0;
    case LVN_ITEMCHANGED: {
      const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
      if ((change.uChanged & LVIF_STATE) != 0 && ((change.uNewState ^ change.uOldState) & LVIS_SELECTED) != 0)
        SelectionChanged();
      return 0;
    }
    case NM_DBLCLK:
      SyncEditor();
      FList->lvSettingsDblClick();
      return 0;
    case LVN_GETINFOTIPW:
      FillInfoTip(*reinterpret_cast<NMLVGETINFOTIPW*>(const_cast<NMHDR*>(&header)));
      return 0;
    default:
      return 0;
  }
}

void SettingsListWindow::FillRow(NMLVDISPINFOW& info) const {
  if ((info.item.mask & LVIF_TEXT) == 0 || info.item.pszText == nullptr || info.item.cchTextMax <= 0) return;
  info.item.pszText[0] = L'\0';
  const std::optional<TSettingsRow> row = FList->lvSettingsData(info.item.iItem);
  if (!row) return;
  const std::string* texts[] = {&row->Name, &row->Value, &row->Default};
  if (info.item.iSubItem < 0 || info.item.iSubItem >= static_cast<int>(std::size(texts))) return;
  const std::wstring text = Widen(*texts[info.item.iSubItem]);
  ::lstrcpynW(info.item.pszText, text.c_str(), info.item.cchTextMax);
}

std::wstring SettingsListWindow::CutCellText(int row, int column) const {
  const std::optional<TSettingsRow> texts = FList->lvSettingsData(row);
  if (!texts || column < 0 || column >= static_cast<int>(std::size(kColumns))) return L"";
  const std::string* cells[] = {&texts->Name, &texts->Value, &texts->Default};
  const std::wstring text = Widen(*cells[column]);
  // The list view keeps a few pixels of the cell free on either side of the text.
  const int needed = ListView_GetStringWidth(FTable, text.c_str()) + FScale(kCellPadding);
  return needed > ListView_GetColumnWidth(FTable, column) ? text : L"";
}

void SettingsListWindow::FillInfoTip(NMLVGETINFOTIPW& tip) const {
  if (tip.pszText == nullptr || tip.cchTextMax <= 0) return;
  // The notification names the row only: the cell is the one under the pointer.
  LVHITTESTINFO hit{};
  ::GetCursorPos(&hit.pt);
  ::ScreenToClient(FTable, &hit.pt);
  int column = tip.iSubItem;
  if (ListView_SubItemHitTest(FTable, &hit) >= 0 && hit.iItem == tip.iItem) column = hit.iSubItem;
  ::lstrcpynW(tip.pszText, CutCellText(tip.iItem, column).c_str(), tip.cchTextMax);
}

void SettingsListWindow::SelectionChanged() {
  SyncEditor();
  FList->lvSettingsChange(ListView_GetNextItem(FTable, -1, LVNI_SELECTED));
  SetWindowTextUtf8(FStatus, FList->stStatus());
}

void SettingsListWindow::ShowContextMenu(LPARAM position) {
  POINT at{GET_X_LPARAM(position), GET_Y_LPARAM(position)};
  if (position == -1) {
    // From the keyboard: below the selected row, or at the table's corner.
    RECT row{};
    const int selected = ListView_GetNextItem(FTable, -1, LVNI_SELECTED);
    if (selected < 0 || !ListView_GetItemRect(FTable, selected, &row, LVIR_BOUNDS)) row = {};
    at = {row.left, row.bottom};
    ::ClientToScreen(FTable, &at);
  }
  const UniqueMenu menu(::CreatePopupMenu());
  if (!menu) return;
  ::AppendMenuW(menu.get(), MF_STRING, kIdEditCommand, L"Редактировать");
  ::AppendMenuW(menu.get(), MF_STRING, kIdDefaultCommand, L"По-умолчанию");
  ::TrackPopupMenuEx(menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, FWindow,
                     nullptr);
}

void SettingsListWindow::Command(int id) {
  SyncEditor();
  switch (id) {
    case IDOK:
      ::EndDialog(FWindow, IDOK);
      break;
    case IDCANCEL:
      ::EndDialog(FWindow, IDCANCEL);
      break;
    case kIdResetAllButton:
      FList->btnDefaultClick();
      break;
    case kIdEditCommand:
      FList->miEditClick();
      break;
    case kIdDefaultCommand:
      FList->miDefaultClick();
      break;
    default:
      break;
  }
}

void SettingsListWindow::SyncEditor() {
  if (!FList->EditorShown()) return;
  FList->edEditText = WindowText(FEdit);
  const LRESULT chosen = ::SendMessageW(FCombo, CB_GETCURSEL, 0, 0);
  FList->cbEditItemIndex = chosen == CB_ERR ? 0 : static_cast<int32_t>(chosen);
}

HWND SettingsListWindow::ShownEditor() const {
  return FList->FEditControl == TSettingsEditor::cbEdit ? FCombo : FEdit;
}

void SettingsListWindow::RedrawRow(int32_t row) {
  if (FTable == nullptr) return;
  if (row < 0) {
    ::InvalidateRect(FTable, nullptr, TRUE);
  } else {
    ListView_RedrawItems(FTable, row, row);
  }
  ::UpdateWindow(FTable);
}

void SettingsListWindow::EditorChanged() {
  if (FTable == nullptr) return;
  if (!FList->EditorShown()) {
    // The table takes the focus back only from the editor: a click elsewhere keeps its target.
    const HWND focus = ::GetFocus();
    if (focus == FEdit || focus == FCombo) ::SetFocus(FTable);
    ::ShowWindow(FEdit, SW_HIDE);
    ::ShowWindow(FCombo, SW_HIDE);
    return;
  }
  HWND editor = ShownEditor();
  ::ShowWindow(editor == FEdit ? FCombo : FEdit, SW_HIDE);
  if (editor == FEdit) {
    const std::optional<TSettingsRow> row = FList->lvSettingsData(FList->Selected());
    ::SendMessageW(FEdit, EM_SETPASSWORDCHAR, row && row->Secret ? L'\u2022' : 0, 0);
    SetWindowTextUtf8(FEdit, FList->edEditText);
    ::SendMessageW(FEdit, EM_SETSEL, 0, -1);
  } else {
    ::SendMessageW(FCombo, CB_SETCURSEL, static_cast<WPARAM>(FList->cbEditItemIndex), 0);
  }
  RECT row{};
  ListView_GetItemRect(FTable, FList->Selected(), &row, LVIR_BOUNDS);
  const TRect bounds =
      TfrmSettingsList::EditorBounds(ListView_GetColumnWidth(FTable, 0), ListView_GetColumnWidth(FTable, 1),
                                     {row.left, row.top, row.right - row.left, row.bottom - row.top});
  // A drop-down list's height includes its open list.
  const int height = editor == FCombo ? bounds.Height * 4 : bounds.Height;
  ::SetWindowPos(editor, HWND_TOP, bounds.Left, bounds.Top, bounds.Width, height, SWP_SHOWWINDOW);
  ::SetFocus(editor);
}

LRESULT CALLBACK SettingsListWindow::TableProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                               UINT_PTR, DWORD_PTR selfData) {
  auto* self = reinterpret_cast<SettingsListWindow*>(selfData);
  try {
    if (message == WM_GETDLGCODE) {
      // Enter edits; Escape stores an open edit, and otherwise is left to close the window.
      const WPARAM key = DialogKeyOf(lParam);
      if (key == VK_RETURN || (key == VK_ESCAPE && self->FList->EditorShown()))
        return ::DefSubclassProc(window, message, wParam, lParam) | DLGC_WANTMESSAGE;
    } else if (message == WM_KEYDOWN && KeyOf(wParam) != TKey::Other) {
      self->SyncEditor();
      self->FList->lvSettingsKeyDown(KeyOf(wParam));
      if (wParam != VK_F2) return 0;
    } else if (message == WM_NCDESTROY) {
      ::RemoveWindowSubclass(window, TableProc, 0);
    }
  } catch (const std::exception& error) {
    ShowFailure(self->FWindow, error.what());
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK SettingsListWindow::EditorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                                UINT_PTR, DWORD_PTR selfData) {
  auto* self = reinterpret_cast<SettingsListWindow*>(selfData);
  try {
    const bool listOpen = window == self->FCombo && ::SendMessageW(window, CB_GETDROPPEDSTATE, 0, 0) != 0;
    if (message == WM_GETDLGCODE && !listOpen) {
      const WPARAM key = DialogKeyOf(lParam);
      if (key == VK_RETURN || key == VK_ESCAPE)
        return ::DefSubclassProc(window, message, wParam, lParam) | DLGC_WANTMESSAGE;
    } else if (message == WM_KEYDOWN && !listOpen && (wParam == VK_RETURN || wParam == VK_ESCAPE)) {
      self->SyncEditor();
      self->FList->edEditKeyDown(KeyOf(wParam));
      return 0;
    } else if (message == WM_KILLFOCUS) {
      const auto next = reinterpret_cast<HWND>(wParam);
      if (next != window && !::IsChild(window, next)) {
        self->SyncEditor();
        self->FList->edEditExit();
      }
    } else if (message == WM_NCDESTROY) {
      ::RemoveWindowSubclass(window, EditorProc, 0);
    }
  } catch (const std::exception& error) {
    ShowFailure(self->FWindow, error.what());
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace tallowmer::ui_windows
