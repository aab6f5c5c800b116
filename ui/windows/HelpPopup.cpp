#include "ui/windows/HelpPopup.h"

#include <htmlhelp.h>

#include <algorithm>

namespace tallowmer::ui_windows {

namespace {

// Black text on pale yellow (as a Windows colour value: red FF, green FF, blue EE).
constexpr COLORREF kPopupBackground = 0xEEFFFF;
constexpr int kPopupMargin = 5;
constexpr int kPopupMaxTextWidth = 320;

struct PopupContent {
  std::wstring Text;
  HFONT Font = nullptr;
  int Margin = 0;
};

LRESULT CALLBACK PopupProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (message == WM_PAINT) {
    const auto* content = reinterpret_cast<const PopupContent*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(window, &paint);
    RECT area{};
    ::GetClientRect(window, &area);
    const UniqueBrush background(::CreateSolidBrush(kPopupBackground));
    ::FillRect(dc, &area, background.get());
    if (content != nullptr) {
      ::InflateRect(&area, -content->Margin, -content->Margin);
      const HGDIOBJ previous = ::SelectObject(dc, content->Font);
      ::SetBkMode(dc, TRANSPARENT);
      ::SetTextColor(dc, RGB(0, 0, 0));
      ::DrawTextW(dc, content->Text.c_str(), static_cast<int>(content->Text.size()), &area,
                  DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
      ::SelectObject(dc, previous);
    }
    ::EndPaint(window, &paint);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

// The popup's class lives only while a popup is shown: the module may be unloaded afterwards.
class PopupClass {
 public:
  PopupClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_SAVEBITS | CS_DROPSHADOW;
    windowClass.lpfnWndProc = PopupProc;
    windowClass.hInstance = ModuleInstance();
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kPopupClass;
    registered_ = ::RegisterClassExW(&windowClass) != 0;
  }
  PopupClass(const PopupClass&) = delete;
  PopupClass& operator=(const PopupClass&) = delete;
  ~PopupClass() {
    if (registered_) ::UnregisterClassW(kPopupClass, ModuleInstance());
  }
  explicit operator bool() const { return registered_; }

 private:
  bool registered_ = false;
};

SIZE MeasureText(const PopupContent& content, int maxWidth) {
  const ScreenDC screen;
  const HGDIOBJ previous = ::SelectObject(screen.get(), content.Font);
  RECT area{0, 0, maxWidth, 0};
  ::DrawTextW(screen.get(), content.Text.c_str(), static_cast<int>(content.Text.size()), &area,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  ::SelectObject(screen.get(), previous);
  return {area.right - area.left, area.bottom - area.top};
}

// Moves the popup's rectangle inside the work area of the monitor that holds `pos`.
POINT KeepOnScreen(POINT pos, SIZE size) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  if (!::GetMonitorInfoW(::MonitorFromPoint(pos, MONITOR_DEFAULTTONEAREST), &monitor)) return pos;
  const RECT& work = monitor.rcWork;
  pos.x = std::max(work.left, std::min(pos.x, work.right - size.cx));
  pos.y = std::max(work.top, std::min(pos.y, work.bottom - size.cy));
  return pos;
}

bool ClosesPopup(UINT message) {
  switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_NCLBUTTONDOWN:
    case WM_NCRBUTTONDOWN:
    case WM_NCMBUTTONDOWN:
      return true;
    default:
      return false;
  }
}

}  // namespace

void ShowTextPopup(HWND owner, POINT screenPos, const std::string& text) {
  const PopupClass popupClass;
  if (!popupClass) return;
  const Scale scale;
  const DialogFonts fonts;
  PopupContent content{Widen(text), fonts.Normal.get(), scale(kPopupMargin)};
  const SIZE textSize = MeasureText(content, scale(kPopupMaxTextWidth));
  const SIZE size{textSize.cx + 2 * content.Margin + 2, textSize.cy + 2 * content.Margin + 2};
  const POINT pos = KeepOnScreen(screenPos, size);
  // The text is the window's title as well, for screen readers and for tools that read popups.
  HWND popup = ::CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kPopupClass, content.Text.c_str(),
                                 WS_POPUP | WS_BORDER, pos.x, pos.y, size.cx, size.cy, owner, nullptr,
                                 ModuleInstance(), &content);
  if (popup == nullptr) return;
  ::ShowWindow(popup, SW_SHOWNA);
  ::UpdateWindow(popup);
  // The click or key that closes the popup does nothing else, as with the system's help popups.
  MSG message{};
  while (::IsWindow(popup)) {
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) ::PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (ClosesPopup(message.message)) break;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  if (::IsWindow(popup)) ::DestroyWindow(popup);
}

HtmlHelpViewer::~HtmlHelpViewer() {
  if (function_ != nullptr) function_(nullptr, nullptr, HH_CLOSE_ALL, 0);
}

HtmlHelpViewer::HtmlHelpFunction HtmlHelpViewer::Function() {
  if (function_ != nullptr) return function_;
  // The default search order starts in the host's own folder and the current folder, where any user of the
  // till may have put a module of this name; the help viewer only ever comes with the system.
  if (!module_) module_.reset(::LoadLibraryExW(L"hhctrl.ocx", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (module_) {
    function_ = reinterpret_cast<HtmlHelpFunction>(
        reinterpret_cast<void*>(::GetProcAddress(module_.get(), "HtmlHelpW")));
  }
  return function_;
}

void HtmlHelpViewer::DisplayFile(HWND owner, const std::string& helpFile) {
  if (HtmlHelpFunction display = Function()) display(owner, Widen(helpFile).c_str(), HH_DISPLAY_TOPIC, 0);
}

void HtmlHelpViewer::DisplayPopup(HWND owner, POINT screenPos, const std::string& topicFile, int topic) {
  HtmlHelpFunction display = Function();
  if (display == nullptr) return;
  HH_POPUP popup{};
  popup.cbStruct = sizeof(popup);
  popup.idString = static_cast<UINT>(topic);
  popup.pt = screenPos;
  popup.clrForeground = static_cast<COLORREF>(-1);
  popup.clrBackground = kPopupBackground;
  popup.rcMargins = {kPopupMargin, kPopupMargin, kPopupMargin, kPopupMargin};
  display(owner, Widen(topicFile).c_str(), HH_DISPLAY_TEXT_POPUP, reinterpret_cast<DWORD_PTR>(&popup));
}

}  // namespace tallowmer::ui_windows
