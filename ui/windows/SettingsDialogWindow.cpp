#include "ui/windows/SettingsDialogWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "ui/windows/SettingsListWindow.h"

namespace tallowmer::ui_windows {

// The dialog of this thread that the key hook serves.
thread_local SettingsDialogWindow* SettingsDialogWindow::activeWindow = nullptr;

namespace {

// Sizes at 96 dots per inch.
constexpr int kHeaderHeight = 49;
constexpr int kFooterHeight = 53;
constexpr int kMinWindowWidth = 320;
constexpr int kMinWindowHeight = 400;
constexpr RECT kLogoRect{4, 1, 121, 48};
constexpr int kHeaderTextLeft = 129;
// The model name and the version below it keep this far from the header's top and its line.
constexpr int kHeaderTextMargin = 2;
constexpr int kButtonHeight = 25;
constexpr int kButtonWidth = 75;
constexpr int kMoreButtonWidth = 110;
constexpr int kGap = 8;
// A page: labels from the left edge, edit boxes beside them, one row every 44 pixels.
constexpr int kPageTop = 10;
constexpr int kPageRowStep = 44;
constexpr int kLabelLeft = 13;
constexpr int kEditLeft = 98;
constexpr int kEditWidth = 302;
constexpr int kEditHeight = 21;
// The tab "Информация": a bold caption column and the values beside it.
constexpr int kInfoMargin = 8;
constexpr int kInfoCaptionWidth = 90;
constexpr int kInfoRowGap = 6;

constexpr const char* kCancelHint = "Закрыть без сохранения";
constexpr int kCancelHelpID = 1002;

constexpr COLORREF kLogoColour = RGB(0x1F, 0x4E, 0x79);
constexpr COLORREF kWhite = RGB(0xFF, 0xFF, 0xFF);

UniqueFont ScaledFont(HFONT base, int percent, int weight) {
  LOGFONTW font{};
  ::GetObjectW(base, sizeof(font), &font);
  font.lfHeight = ::MulDiv(font.lfHeight, percent, 100);
  font.lfWeight = weight;
  return UniqueFont(::CreateFontIndirectW(&font));
}

int TextHeight(HFONT font, const std::wstring& text, int width) {
  return WrappedTextExtent(font, text, width).cy;
}

int LineHeight(HFONT font) {
  return TextHeight(font, L"Ag", 0x7FFF);
}

// The innermost visible child of `window` under the screen point, disabled ones included; nothing
// outside the window's children.
HWND ChildAt(HWND window, POINT screenPoint) {
  HWND current = window;
  for (;;) {
    POINT point = screenPoint;
    ::ScreenToClient(current, &point);
    HWND child = ::ChildWindowFromPointEx(current, point, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
    if (child == nullptr || child == current) break;
    current = child;
  }
  return current == window ? nullptr : current;
}

DWORD HelpContextOf(HWND control, HWND dialog) {
  for (HWND window = control; window != nullptr; window = ::GetParent(window)) {
    const DWORD context = ::GetWindowContextHelpId(window);
    if (context != 0 || window == dialog) return context;
  }
  return 0;
}

bool IsStatic(HWND window) {
  wchar_t name[32] = {};
  ::GetClassNameW(window, name, 32);
  return ::lstrcmpiW(name, L"Static") == 0;
}

// The controls that the device test's wait disables: all that take input but "Отмена".
struct WaitDisabling {
  HWND Cancel;
  HWND Logo;
  std::vector<HWND> Windows;
};

BOOL CALLBACK CollectForWait(HWND child, LPARAM data) {
  auto& found = *reinterpret_cast<WaitDisabling*>(data);
  // Static texts stay as they are: they take no input, and disabled ones turn grey.
  const bool text = child != found.Logo && IsStatic(child);
  if (child != found.Cancel && !text && ::IsWindowEnabled(child)) found.Windows.push_back(child);
  return TRUE;
}

std::string SystemMessage(DWORD error) {
  return Narrow(platform::windows::SystemErrorText(error));
}

}  // namespace

SettingsDialogWindow::SettingsDialogWindow()
    : FTitleFont(ScaledFont(FFonts.Normal.get(), 115, FW_BOLD)),
      FLogoFont(ScaledFont(FFonts.Normal.get(), 130, FW_HEAVY)) {}

TModalResult SettingsDialogWindow::ShowModal(TfrmCommonSettings& dialog) {
  // Every window of the dialog, the list, the menus, the popups and the message boxes included, is
  // created inside its modal loop.
  const VisualStylesScope visualStyles;
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  FDialog = &dialog;
  // Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp switch tabs, as in every property sheet.
  SettingsDialogWindow* const outer = activeWindow;
  activeWindow = this;
  const UniqueHook keys(::SetWindowsHookExW(WH_MSGFILTER, DialogKeysHook, nullptr, ::GetCurrentThreadId()));
  struct RestoreActive {
    SettingsDialogWindow* outer;
    ~RestoreActive() { activeWindow = outer; }
  } restoreActive{outer};
  const std::vector<WORD> dialogTemplate = EmptyDialogTemplate(
      WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CONTEXTHELP, 0, kSettingsCaption);
  // No owner: the host's window is blocked by the device while the dialog is shown.
  const INT_PTR result =
      ::DialogBoxIndirectParamW(ModuleInstance(), reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()),
                                nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
  const DWORD error = ::GetLastError();
  FWindow = nullptr;
  FPageWindows.clear();
  FHints.reset();
  FDialog = nullptr;
  if (result == -1) throw std::runtime_error("Не удалось открыть окно настроек: " + SystemMessage(error));
  return result == IDOK ? mrOk : mrCancel;
}

INT_PTR CALLBACK SettingsDialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    reinterpret_cast<SettingsDialogWindow*>(lParam)->FWindow = window;
  }
  auto* self = reinterpret_cast<SettingsDialogWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr || self->FDialog == nullptr) return FALSE;
  // Nothing may unwind through the system's dialog code.
  try {
    return self->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& error) {
    self->ShowFailure(error.what());
  } catch (...) {
    self->ShowFailure("Неизвестная ошибка");
  }
  return TRUE;
}

INT_PTR CALLBACK SettingsDialogWindow::PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    return FALSE;
  }
  auto* self = reinterpret_cast<SettingsDialogWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr || message != WM_COMMAND || HIWORD(wParam) != EN_CHANGE) return FALSE;
  try {
    self->EditChanged(reinterpret_cast<HWND>(lParam));
  } catch (const std::exception& error) {
    self->ShowFailure(error.what());
  }
  return TRUE;
}

INT_PTR SettingsDialogWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      CreateControls();
      // The dialog takes the keyboard and comes to the front, above the host's blocked window.
      ::SetForegroundWindow(FWindow);
      ::SetFocus(!FPageWindows.empty() && !FPageWindows.front().EditWindows.empty()
                     ? FPageWindows.front().EditWindows.front()
                     : ::GetDlgItem(FWindow, IDOK));
      return FALSE;
    case WM_GETMINMAXINFO: {
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = {FScale(kMinWindowWidth), FScale(kMinWindowHeight)};
      return TRUE;
    }
    case WM_PAINT:
      return PaintHeader();
    case WM_CTLCOLORSTATIC: {
      const auto control = reinterpret_cast<HWND>(lParam);
      if (control != FModelName && control != FDriverVersion) return FALSE;
      ::SetBkColor(reinterpret_cast<HDC>(wParam), kWhite);
      return reinterpret_cast<INT_PTR>(::GetStockObject(WHITE_BRUSH));
    }
    case WM_DRAWITEM:
      if (wParam != kIdLogo) return FALSE;
      DrawLogo(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_SETCURSOR:
      if (!SetCursorFor(reinterpret_cast<HWND>(wParam))) return FALSE;
      ::SetWindowLongPtrW(FWindow, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_NOTIFY: {
      const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
      if (header.hwndFrom == FPages && header.code == TCN_SELCHANGE) {
        FDialog->ActiveTab = TabCtrl_GetCurSel(FPages);
        ShowActiveTab();
      }
      // The answer is set explicitly: 0 lets every change of tab go ahead.
      ::SetWindowLongPtrW(FWindow, DWLP_MSGRESULT, 0);
      return TRUE;
    }
    case WM_HELP:
      Help(*reinterpret_cast<const HELPINFO*>(lParam));
      ::SetWindowLongPtrW(FWindow, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_COMMAND:
      Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return TRUE;
    default:
      return FALSE;
  }
}

void SettingsDialogWindow::CreateControls() {
  const TRect& client = FDialog->ClientRect();
  FHints = std::make_unique<Hints>(FWindow);
  CreateHeader(client.Width);
  CreateTabs(client.Width, client.Height);
  CreateFooter(client.Width, client.Height);
  OrderForTabbing();
  SizeAndCenter(FWindow, FScale(client.Width), FScale(client.Height));
}

void SettingsDialogWindow::CreateHeader(int width) {
  FHeaderHeight = FScale(kHeaderHeight);
  FLogo =
      CreateControl(FWindow, L"STATIC", "", SS_OWNERDRAW | SS_NOTIFY, kLogoRect, kIdLogo, nullptr, FScale);
  // The model name wraps onto a second line where it must, the version follows right below it, and
  // the two sit in the middle of the header. A name too long for two lines of the larger title
  // font takes the dialog's bold font.
  const int left = FScale(kHeaderTextLeft);
  const int textWidth = FScale(width - kHeaderTextLeft - kGap);
  const int room = FHeaderHeight - 2 * FScale(kHeaderTextMargin);
  const std::wstring name = Widen(FDialog->lbModelName());
  const std::wstring version = Widen(FDialog->lbDiverVersion());
  const int versionHeight = TextHeight(FFonts.Normal.get(), version, textWidth);
  HFONT nameFont = FTitleFont.get();
  int nameHeight = TextHeight(nameFont, name, textWidth);
  if (nameHeight > 2 * LineHeight(nameFont) || nameHeight + versionHeight > room) {
    nameFont = FFonts.Bold.get();
    nameHeight = TextHeight(nameFont, name, textWidth);
  }
  const int top = std::max((FHeaderHeight - nameHeight - versionHeight) / 2, 0);
  FModelName = ::CreateWindowExW(0, L"STATIC", name.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                 left, top, textWidth, nameHeight, FWindow,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdModelName)),
                                 ModuleInstance(), nullptr);
  ::SendMessageW(FModelName, WM_SETFONT, reinterpret_cast<WPARAM>(nameFont), 0);
  FDriverVersion = ::CreateWindowExW(
      0, L"STATIC", version.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, left, top + nameHeight,
      textWidth, versionHeight, FWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdDriverVersion)),
      ModuleInstance(), nullptr);
  ::SendMessageW(FDriverVersion, WM_SETFONT, reinterpret_cast<WPARAM>(FFonts.Normal.get()), 0);
}

void SettingsDialogWindow::CreateTabs(int width, int height) {
  // The pages are the dialog's own children laid over the tab control, as in a property sheet:
  // Tab then stops on the tab strip, which a control holding the pages would only lead through.
  FPages = CreateControl(FWindow, WC_TABCONTROLW, "", WS_TABSTOP | WS_CLIPSIBLINGS | TCS_MULTILINE,
                         {2, kHeaderHeight + 4, width - 2, height - kFooterHeight}, kIdPages,
                         FFonts.Normal.get(), FScale);
  ::SetWindowContextHelpId(FPages, kPagesHelpContext);
  FHints->Add(FPages, kPagesHint);
  const std::vector<std::string> captions = FDialog->TabCaptions();
  for (size_t index = 0; index < captions.size(); ++index) {
    std::wstring caption = Widen(captions[index]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    TabCtrl_InsertItem(FPages, static_cast<int>(index), &item);
  }
  for (const auto& page : FDialog->Pages()) CreatePage(*page);
  CreateInformationPage();
  TabCtrl_SetCurSel(FPages, FDialog->ActiveTab);
  ShowActiveTab();
}

void SettingsDialogWindow::OrderForTabbing() {
  // The pages paint over the tab control and come first in the order of Tab; the tab strip comes
  // last, after "Отмена", so that Tab goes from it into the page shown.
  for (const PageWindow& page : FPageWindows)
    ::SetWindowPos(page.Window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ::SetWindowPos(FPages, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

HWND SettingsDialogWindow::CreatePageWindow(const std::string& caption) {
  const std::vector<WORD> pageTemplate = EmptyDialogTemplate(WS_CHILD | DS_CONTROL, 0, caption);
  HWND page =
      ::CreateDialogIndirectParamW(ModuleInstance(), reinterpret_cast<LPCDLGTEMPLATEW>(pageTemplate.data()),
                                   FWindow, PageProc, reinterpret_cast<LPARAM>(this));
  if (page == nullptr) throw std::runtime_error("Не удалось создать страницу настроек «" + caption + "»");
  RECT area{};
  ::GetClientRect(FPages, &area);
  TabCtrl_AdjustRect(FPages, FALSE, &area);
  ::MapWindowPoints(FPages, FWindow, reinterpret_cast<POINT*>(&area), 2);
  ::SetWindowPos(page, HWND_TOP, area.left, area.top, area.right - area.left, area.bottom - area.top, 0);
  // The page and its texts take the tab's themed background rather than the dialog's grey.
  ::EnableThemeDialogTexture(page, ETDT_ENABLETAB);
  return page;
}

void SettingsDialogWindow::CreatePage(TfrmBaseSettings& page) {
  PageWindow window{CreatePageWindow(page.Caption()), page.Edits(), {}};
  HFONT font = FFonts.Normal.get();
  FFillingEdits = true;
  for (size_t index = 0; index < window.Edits.size(); ++index) {
    const TPageEdit& edit = window.Edits[index];
    const int top = kPageTop + kPageRowStep * static_cast<int>(index);
    CreatePageLabel(window.Window, edit.Caption, top);
    HWND box = CreateControl(window.Window, L"EDIT", *edit.Text,
                             WS_TABSTOP | ES_AUTOHSCROLL | (edit.Masked ? ES_PASSWORD : 0),
                             {kEditLeft, top, kEditLeft + kEditWidth, top + kEditHeight},
                             kIdFirstPageEdit + static_cast<int>(index), font, FScale, WS_EX_CLIENTEDGE);
    if (edit.Masked) ::SendMessageW(box, EM_SETPASSWORDCHAR, L'\u2022', 0);
    window.EditWindows.push_back(box);
  }
  FFillingEdits = false;
  FPageWindows.push_back(std::move(window));
}

void SettingsDialogWindow::CreatePageLabel(HWND page, const std::string& caption, int rowTopAt96) {
  // A label takes the width up to its edit box; a caption still too wide for it wraps, and the
  // label grows downwards so that every line shows, centred on the edit box.
  const std::wstring text = Widen(caption);
  // Both edges scaled on their own: the label must not reach into the box after rounding.
  const int width = FScale(kEditLeft) - FScale(kLabelLeft);
  const int height = TextHeight(FFonts.Normal.get(), text, width);
  const int boxTop = FScale(rowTopAt96);
  const int boxHeight = FScale(kEditHeight);
  const int lineHeight = LineHeight(FFonts.Normal.get());
  const int top = height <= lineHeight ? boxTop + (boxHeight - lineHeight) / 2
                                       : std::max(boxTop + (boxHeight - height) / 2, 0);
  HWND label =
      ::CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                        FScale(kLabelLeft), top, width, height, page, nullptr, ModuleInstance(), nullptr);
  ::SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(FFonts.Normal.get()), 0);
}

void SettingsDialogWindow::CreateInformationPage() {
  HWND page = CreatePageWindow(kInformationTab);
  FPageWindows.push_back({page, {}, {}});
  RECT area{};
  ::GetClientRect(page, &area);
  const int margin = FScale(kInfoMargin);
  const int captionWidth = FScale(kInfoCaptionWidth);
  const int valueLeft = margin + captionWidth + FScale(4);
  const int valueWidth = std::max<int>(area.right - valueLeft - margin, FScale(40));
  const std::vector<TInfoRow>& rows = FDialog->InfoRows();
  int top = margin;
  for (size_t index = 0; index < rows.size(); ++index) {
    const std::wstring value = Widen(rows[index].Value);
    const std::wstring caption = Widen(rows[index].Caption);
    const int captionHeight = TextHeight(FFonts.Bold.get(), caption, captionWidth);
    const bool last = index + 1 == rows.size();
    // The last row, the contacts, takes the height that remains.
    const int valueHeight = last ? std::max<int>(area.bottom - top - margin, 0)
                                 : TextHeight(FFonts.Normal.get(), value, valueWidth);
    HWND captionLabel =
        ::CreateWindowExW(0, L"STATIC", caption.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                          margin, top, captionWidth, captionHeight, page, nullptr, ModuleInstance(), nullptr);
    ::SendMessageW(captionLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FFonts.Bold.get()), 0);
    HWND valueLabel = ::CreateWindowExW(
        0, L"STATIC", value.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, valueLeft, top,
        valueWidth, std::max(valueHeight, captionHeight), page, nullptr, ModuleInstance(), nullptr);
    ::SendMessageW(valueLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FFonts.Normal.get()), 0);
    top += std::max(valueHeight, captionHeight) + FScale(kInfoRowGap);
  }
}

void SettingsDialogWindow::CreateFooter(int width, int height) {
  const int buttonTop = height - kFooterHeight + (kFooterHeight - kButtonHeight) / 2;
  HFONT font = FFonts.Normal.get();
  FMore = CreateControl(FWindow, L"BUTTON", "Дополнительно", WS_TABSTOP | BS_PUSHBUTTON,
                        {kGap, buttonTop, kGap + kMoreButtonWidth, buttonTop + kButtonHeight}, kIdMoreButton,
                        font, FScale);
  const int cancelLeft = width - kGap - kButtonWidth;
  const int okLeft = cancelLeft - kGap - kButtonWidth;
  HWND ok = CreateControl(FWindow, L"BUTTON", "ОК", WS_TABSTOP | BS_DEFPUSHBUTTON,
                          {okLeft, buttonTop, okLeft + kButtonWidth, buttonTop + kButtonHeight}, IDOK, font,
                          FScale);
  FCancel = CreateControl(FWindow, L"BUTTON", "Отмена", WS_TABSTOP | BS_PUSHBUTTON,
                          {cancelLeft, buttonTop, cancelLeft + kButtonWidth, buttonTop + kButtonHeight},
                          IDCANCEL, font, FScale);
  // In the place of "Дополнительно", which the device test hides, up to "ОК".
  FTestStatus = CreateControl(FWindow, L"STATIC", kDeviceTestRunning, SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX,
                              {kGap, buttonTop, okLeft - kGap, buttonTop + kButtonHeight},
                              kIdDeviceTestStatus, font, FScale);
  ::ShowWindow(FTestStatus, SW_HIDE);
  ::SetWindowContextHelpId(FMore, 1000);
  ::SetWindowContextHelpId(ok, 1001);
  ::SetWindowContextHelpId(FCancel, kCancelHelpID);
  FHints->Add(FMore, "Дополнительные функции");
  FHints->Add(ok, "Сохранить и закрыть");
  FHints->Add(FCancel, kCancelHint);
}

void SettingsDialogWindow::SwitchTab(int step) {
  const int count = TabCtrl_GetItemCount(FPages);
  if (count <= 0) return;
  HWND focus = ::GetFocus();
  const bool focusOnPage =
      focus != nullptr && focus != FPages && ::IsChild(FWindow, focus) && ::GetParent(focus) != FWindow;
  FDialog->ActiveTab = ((FDialog->ActiveTab + step) % count + count) % count;
  TabCtrl_SetCurSel(FPages, FDialog->ActiveTab);
  ShowActiveTab();
  // A control of the page just hidden must not keep the keyboard.
  if (focusOnPage) ::SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(FPages), TRUE);
}

bool SettingsDialogWindow::TabKey(const MSG& message) {
  if (message.message != WM_KEYDOWN || ::GetKeyState(VK_CONTROL) >= 0) return false;
  if (message.hwnd != FWindow && !::IsChild(FWindow, message.hwnd)) return false;
  switch (message.wParam) {
    case VK_TAB:
      SwitchTab(::GetKeyState(VK_SHIFT) < 0 ? -1 : 1);
      return true;
    case VK_NEXT:
      SwitchTab(1);
      return true;
    case VK_PRIOR:
      SwitchTab(-1);
      return true;
    default:
      return false;
  }
}

LRESULT CALLBACK SettingsDialogWindow::DialogKeysHook(int code, WPARAM wParam, LPARAM lParam) {
  // The dialog's modal loop offers each message here before its own handling of keys.
  if (code == MSGF_DIALOGBOX && activeWindow != nullptr && activeWindow->FDialog != nullptr &&
      !activeWindow->FTestRunning) {
    try {
      if (activeWindow->TabKey(*reinterpret_cast<const MSG*>(lParam))) return 1;
    } catch (const std::exception& error) {
      activeWindow->ShowFailure(error.what());
      return 1;
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

void SettingsDialogWindow::ShowActiveTab() {
  for (size_t index = 0; index < FPageWindows.size(); ++index) {
    const bool active = static_cast<int>(index) == FDialog->ActiveTab;
    ::ShowWindow(FPageWindows[index].Window, active ? SW_SHOW : SW_HIDE);
  }
}

void SettingsDialogWindow::Command(int id, int notification, HWND control) {
  if (FTestRunning) {
    if (id == IDCANCEL) FGivenUp = true;
    return;
  }
  if (id == IDOK) {
    if (FDialog->FormClose(mrOk) != mrNone) ::EndDialog(FWindow, IDOK);
  } else if (id == IDCANCEL) {
    FDialog->FormClose(mrCancel);
    ::EndDialog(FWindow, IDCANCEL);
  } else if (id == kIdMoreButton && notification == BN_CLICKED) {
    DropDownMenu();
  } else if (id == kIdLogo && control == FLogo && notification == STN_CLICKED) {
    FDialog->imgLogoClick();
  } else if (id >= kIdFirstMenuCommand &&
             id < kIdFirstMenuCommand + static_cast<int>(FDialog->MenuItems().size())) {
    FDialog->MenuItemClick(static_cast<size_t>(id - kIdFirstMenuCommand));
  }
}

void SettingsDialogWindow::EditChanged(HWND edit) {
  if (FFillingEdits) return;
  for (PageWindow& page : FPageWindows) {
    for (size_t index = 0; index < page.EditWindows.size(); ++index) {
      if (page.EditWindows[index] == edit) *page.Edits[index].Text = WindowText(edit);
    }
  }
}

void SettingsDialogWindow::PagesRead() {
  if (FWindow == nullptr) return;
  FFillingEdits = true;
  for (const PageWindow& page : FPageWindows) {
    for (size_t index = 0; index < page.EditWindows.size(); ++index)
      SetWindowTextUtf8(page.EditWindows[index], *page.Edits[index].Text);
  }
  FFillingEdits = false;
}

void SettingsDialogWindow::DropDownMenu() {
  FDialog->mAdditionalyPopup();
  const std::vector<TMenuItem>& items = FDialog->MenuItems();
  const UniqueMenu menu(::CreatePopupMenu());
  if (!menu) return;
  // Separators are dropped at the ends and where hidden items would leave two in a row.
  bool afterSeparator = true;
  for (size_t index = 0; index < items.size(); ++index) {
    const TMenuItem& item = items[index];
    if (!item.Visible || item.InSubmenu) continue;
    const std::wstring caption = Widen(item.Caption);
    const UINT state = item.Enabled ? MF_ENABLED : MF_GRAYED;
    if (item.Command == TMenuCommand::Separator) {
      if (!afterSeparator) ::AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
      afterSeparator = true;
      continue;
    }
    afterSeparator = false;
    if (item.Command != TMenuCommand::OpenDebugLog) {
      ::AppendMenuW(menu.get(), MF_STRING | state, kIdFirstMenuCommand + index, caption.c_str());
      continue;
    }
    UniqueMenu submenu(::CreatePopupMenu());
    for (size_t subIndex = 0; subIndex < items.size(); ++subIndex) {
      const TMenuItem& subItem = items[subIndex];
      if (!subItem.InSubmenu || !subItem.Visible) continue;
      ::AppendMenuW(submenu.get(), MF_STRING | (subItem.Enabled ? MF_ENABLED : MF_GRAYED),
                    kIdFirstMenuCommand + subIndex, Widen(subItem.Caption).c_str());
    }
    // The menu owns its submenu from here on.
    if (::AppendMenuW(menu.get(), MF_POPUP | state, reinterpret_cast<UINT_PTR>(submenu.get()),
                      caption.c_str()))
      submenu.release();
  }
  const int count = ::GetMenuItemCount(menu.get());
  if (afterSeparator && count > 0) ::DeleteMenu(menu.get(), static_cast<UINT>(count - 1), MF_BYPOSITION);
  RECT button{};
  ::GetWindowRect(FMore, &button);
  ::TrackPopupMenuEx(menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, button.left, button.bottom,
                     FWindow, nullptr);
}

bool SettingsDialogWindow::Help(const HELPINFO& info) {
  // F1 in the open command menu: its items have no help of their own.
  if (info.iContextType != HELPINFO_WINDOW) return true;
  const DWORD context = HelpContextOf(static_cast<HWND>(info.hItemHandle), FWindow);
  const auto packedPos =
      static_cast<int32_t>(MAKELONG(static_cast<WORD>(info.MousePos.x), static_cast<WORD>(info.MousePos.y)));
  FDialog->FormHelp(THelpCommand::SetPopupPosition, packedPos);
  return FDialog->FormHelp(THelpCommand::ContextPopup, static_cast<int32_t>(context));
}

INT_PTR SettingsDialogWindow::PaintHeader() {
  PAINTSTRUCT paint{};
  HDC dc = ::BeginPaint(FWindow, &paint);
  RECT header{};
  ::GetClientRect(FWindow, &header);
  header.bottom = FHeaderHeight;
  ::FillRect(dc, &header, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  ::DrawEdge(dc, &header, EDGE_ETCHED, BF_BOTTOM);
  ::EndPaint(FWindow, &paint);
  return TRUE;
}

void SettingsDialogWindow::DrawLogo(const DRAWITEMSTRUCT& item) const {
  RECT area = item.rcItem;
  const UniqueBrush background(::CreateSolidBrush(kLogoColour));
  ::FillRect(item.hDC, &area, background.get());
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, kWhite);
  RECT upper = area;
  upper.bottom = area.top + (area.bottom - area.top) * 5 / 8;
  RECT lower = area;
  lower.top = upper.bottom - FScale(2);
  HGDIOBJ previous = ::SelectObject(item.hDC, FLogoFont.get());
  ::DrawTextW(item.hDC, L"QUORVANE", -1, &upper, DT_CENTER | DT_BOTTOM | DT_SINGLELINE | DT_NOPREFIX);
  ::SelectObject(item.hDC, FFonts.Normal.get());
  ::DrawTextW(item.hDC, L"tallowmer", -1, &lower, DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  ::SelectObject(item.hDC, previous);
}

bool SettingsDialogWindow::SetCursorFor(HWND control) {
  if (FBusy > 0) {
    // While the test runs the dialog still takes "Отмена".
    ::SetCursor(::LoadCursorW(nullptr, FTestRunning && control == FCancel ? IDC_APPSTARTING : IDC_WAIT));
    return true;
  }
  if (control == FLogo) {
    ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
    return true;
  }
  return false;
}

TModalResult SettingsDialogWindow::ShowSettingsList(TfrmSettingsList& list) {
  SettingsListWindow window(list);
  return window.ShowModal(FWindow);
}

void SettingsDialogWindow::ShowError(const std::string& caption, const std::string& text) {
  ::MessageBoxW(FWindow, Widen(text).c_str(), Widen(caption).c_str(), MB_OK | MB_ICONERROR);
}

void SettingsDialogWindow::ShowFailure(const std::string& text) {
  ShowError(kErrorCaption, text);
}

void SettingsDialogWindow::SetBusy(bool busy) {
  FBusy = std::max(FBusy + (busy ? 1 : -1), 0);
  ::SetCursor(::LoadCursorW(nullptr, FBusy > 0 ? IDC_WAIT : IDC_ARROW));
}

std::vector<HWND> SettingsDialogWindow::DisableForWait() {
  WaitDisabling collected{::GetDlgItem(FWindow, IDCANCEL), FLogo, {}};
  ::EnumChildWindows(FWindow, CollectForWait, reinterpret_cast<LPARAM>(&collected));
  for (HWND window : collected.Windows) ::EnableWindow(window, FALSE);
  return collected.Windows;
}

void SettingsDialogWindow::SetDeviceTestRunning(bool running) {
  if (FWindow == nullptr || running == FTestRunning) return;
  if (running) {
    FFocusBeforeTest = ::GetFocus();
    FDisabledForTest = DisableForWait();
    ::ShowWindow(FMore, SW_HIDE);
    ::ShowWindow(FTestStatus, SW_SHOW);
    FHints->Change(FCancel, kStopDeviceTestHint);
    ::SetWindowContextHelpId(FCancel, kStopDeviceTestHelpID);
    // "Отмена" takes the focus: Enter, Escape and a click on it all stop the test.
    ::SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(FCancel), TRUE);
    FTestRunning = true;
    FGivenUp = false;
    SetBusy(true);
    return;
  }
  FTestRunning = false;
  for (HWND window : FDisabledForTest) ::EnableWindow(window, TRUE);
  FDisabledForTest.clear();
  ::ShowWindow(FTestStatus, SW_HIDE);
  ::ShowWindow(FMore, SW_SHOW);
  FHints->Change(FCancel, kCancelHint);
  ::SetWindowContextHelpId(FCancel, kCancelHelpID);
  SetBusy(false);
  TakeForeground(FFocusBeforeTest);
  FFocusBeforeTest = nullptr;
}

void SettingsDialogWindow::TakeForeground(HWND focus) {
  ::SetForegroundWindow(FWindow);
  const bool usable = focus != nullptr && ::IsWindow(focus) && ::IsChild(FWindow, focus) &&
                      ::IsWindowVisible(focus) && ::IsWindowEnabled(focus);
  ::SendMessageW(FWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(usable ? focus : FMore), TRUE);
}

TWaitEnd SettingsDialogWindow::WaitWhileBusy(const std::function<bool()>& finished,
                                             std::chrono::steady_clock::time_point deadline) {
  constexpr std::chrono::milliseconds kLongestPause{15};
  TWaitEnd end = TWaitEnd::Finished;
  MSG message{};
  while (!finished()) {
    const auto now = std::chrono::steady_clock::now();
    if (FGivenUp || now >= deadline) {
      end = FGivenUp ? TWaitEnd::Abandoned : TWaitEnd::TimedOut;
      break;
    }
    const auto pause = std::min(kLongestPause, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(pause.count()), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // The application is ending: the quit goes on to the loops further out.
        ::PostQuitMessage(static_cast<int>(message.wParam));
        FGivenUp = true;
        break;
      }
      if (::IsDialogMessageW(FWindow, &message)) continue;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  return end;
}

void SettingsDialogWindow::OpenWithAssociatedProgram(const std::string& target, TShowWindow show) {
  const auto started = reinterpret_cast<INT_PTR>(
      ::ShellExecuteW(FWindow, L"open", Widen(target).c_str(), nullptr, nullptr,
                      show == TShowWindow::Maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL));
  // Values up to 32 are errors; the user learns why nothing opened.
  if (started <= 32) ShowFailure(OpenFailureText(target, started, ::GetLastError()));
}

std::optional<std::string> SettingsDialogWindow::ChooseFile(const std::string& folder,
                                                            const std::string& filterName,
                                                            const std::string& filterPattern) {
  std::wstring filter = Widen(filterName);
  filter.push_back(L'\0');
  filter += Widen(filterPattern);
  filter.push_back(L'\0');
  const std::wstring initialFolder = Widen(folder);
  std::wstring file(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = FWindow;
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetOpenFileNameW(&dialog)) return std::nullopt;
  file.resize(file.find(L'\0'));
  return Narrow(file);
}

void SettingsDialogWindow::OpenHelpFile(const std::string& helpFile) {
  FHtmlHelp.DisplayFile(FWindow, helpFile);
}

std::string SettingsDialogWindow::GetControlHintByPos(TPoint& pos) {
  HWND control = nullptr;
  if (::GetKeyState(VK_F1) < 0) {
    control = ::GetFocus();
    if (control != nullptr && !::IsChild(FWindow, control)) control = nullptr;
  } else {
    POINT cursor{};
    if (::GetCursorPos(&cursor)) control = ChildAt(FWindow, cursor);
  }
  if (control == nullptr) return "";
  RECT bounds{};
  ::GetWindowRect(control, &bounds);
  pos = {bounds.left, bounds.top};
  return FHints->Of(control);
}

void SettingsDialogWindow::ShowHelpPopup(const THelpPopup& popup) {
  const POINT pos{popup.Pos.X, popup.Pos.Y};
  if (!popup.TopicFile.empty()) {
    FHtmlHelp.DisplayPopup(FWindow, pos, popup.TopicFile, popup.Topic);
  } else {
    ShowTextPopup(FWindow, pos, popup.Text);
  }
}

}  // namespace tallowmer::ui_windows
