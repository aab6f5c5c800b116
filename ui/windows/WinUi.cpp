#include "ui/windows/WinUi.h"

#include <commctrl.h>
#include <shellapi.h>

namespace tallowmer::ui_windows {

std::string WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

void SetWindowTextUtf8(HWND window, const std::string& text) {
  ::SetWindowTextW(window, Widen(text).c_str());
}

Scale::Scale() {
  const ScreenDC screen;
  if (screen.get() != nullptr) dpi_ = ::GetDeviceCaps(screen.get(), LOGPIXELSY);
  if (dpi_ <= 0) dpi_ = 96;
}

DialogFonts::DialogFonts() {
  const Scale scale;
  LOGFONTW font{};
  font.lfHeight = -::MulDiv(kDialogFontPoints, scale.Dpi(), 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = DEFAULT_QUALITY;
  ::lstrcpynW(font.lfFaceName, kDialogFontFace, LF_FACESIZE);
  Normal.reset(::CreateFontIndirectW(&font));
  font.lfWeight = FW_BOLD;
  Bold.reset(::CreateFontIndirectW(&font));
}

SIZE WrappedTextExtent(HFONT font, const std::wstring& text, int width) {
  const ScreenDC screen;
  const HGDIOBJ previous = ::SelectObject(screen.get(), font);
  RECT area{0, 0, width, 0};
  // An empty text still takes one line in a static control.
  const std::wstring measured = text.empty() ? L" " : text;
  ::DrawTextW(screen.get(), measured.c_str(), static_cast<int>(measured.size()), &area,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  ::SelectObject(screen.get(), previous);
  return {area.right - area.left, area.bottom - area.top};
}

VisualStylesScope::VisualStylesScope() {
  // ISOLATIONAWARE_MANIFEST_RESOURCE_ID: the manifest a DLL carries for its own use.
  constexpr WORD kManifestResource = 2;
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path;
  request.hModule = ModuleInstance();
  request.lpResourceName = MAKEINTRESOURCEW(kManifestResource);
  context_ = ::CreateActCtxW(&request);
  if (context_ != INVALID_HANDLE_VALUE && !::ActivateActCtx(context_, &cookie_)) cookie_ = 0;
}

VisualStylesScope::~VisualStylesScope() {
  if (cookie_ != 0) ::DeactivateActCtx(0, cookie_);
  if (context_ != INVALID_HANDLE_VALUE) ::ReleaseActCtx(context_);
}

std::vector<WORD> EmptyDialogTemplate(DWORD style, DWORD exStyle, const std::string& caption) {
  // DLGTEMPLATE: style, extended style, no items, position and size zero (set in pixels later),
  // then no menu, the standard dialog class and the caption.
  std::vector<WORD> words;
  const auto putDword = [&words](DWORD value) {
    words.push_back(LOWORD(value));
    words.push_back(HIWORD(value));
  };
  putDword(style);
  putDword(exStyle);
  words.insert(words.end(), {0, 0, 0, 0, 0, 0, 0});
  for (const wchar_t letter : Widen(caption)) words.push_back(static_cast<WORD>(letter));
  words.push_back(0);
  return words;
}

HWND CreateControl(HWND parent, const wchar_t* windowClass, const std::string& text, DWORD style,
                   const RECT& at96, int id, HFONT font, const Scale& scale, DWORD exStyle) {
  HWND control = ::CreateWindowExW(
      exStyle, windowClass, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, scale(at96.left),
      scale(at96.top), scale(at96.right - at96.left), scale(at96.bottom - at96.top), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance(), nullptr);
  if (control != nullptr && font != nullptr)
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
  return control;
}

void SizeAndCenter(HWND window, int width, int height) {
  RECT frame{0, 0, width, height};
  ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE)));
  const int frameWidth = frame.right - frame.left;
  const int frameHeight = frame.bottom - frame.top;
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int left = work.left + (work.right - work.left - frameWidth) / 2;
  const int top = work.top + (work.bottom - work.top - frameHeight) / 2;
  ::SetWindowPos(window, nullptr, left > work.left ? left : work.left, top > work.top ? top : work.top,
                 frameWidth, frameHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string OpenFailureText(const std::string& target, INT_PTR shellAnswer, DWORD lastError) {
  const std::string opening = "Не удалось открыть «" + target + "»: ";
  switch (shellAnswer) {
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
      return opening +
             "нет программы, которая открывает файлы этого типа. Откройте файл вручную, "
             "например в Блокноте.";
    case SE_ERR_FNF:
      return opening + "файл не найден.";
    case SE_ERR_PNF:
      return opening + "папка не найдена.";
    case SE_ERR_ACCESSDENIED:
      return opening + "нет доступа.";
    default:
      break;
  }
  if (lastError == ERROR_NO_ASSOCIATION) return OpenFailureText(target, SE_ERR_NOASSOC, ERROR_SUCCESS);
  // The system's messages hold places for the file (%1) that FormatMessage leaves as they are.
  std::string text = Narrow(platform::windows::SystemErrorText(lastError));
  for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at)) {
    size_t end = at + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == at + 1) {
      ++at;
      continue;
    }
    const std::string insert = text.compare(at, end - at, "%1") == 0 ? "«" + target + "»" : "";
    text.replace(at, end - at, insert);
    at += insert.size();
  }
  if (text.empty()) text = "ошибка " + std::to_string(lastError) + ".";
  return opening + text;
}

Hints::Hints(HWND owner)
    : tooltip_(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                                 ModuleInstance(), nullptr)) {}

void Hints::Add(HWND control, const std::string& hint) {
  hints_.emplace_back(control, Widen(hint));
  if (tooltip_ == nullptr) return;
  // The size of the oldest layout: every version of the common controls accepts it.
  TTTOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = ::GetParent(control);
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = hints_.back().second.data();
  ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void Hints::Change(HWND control, const std::string& hint) {
  for (auto& [window, text] : hints_) {
    if (window != control) continue;
    text = Widen(hint);
    if (tooltip_ == nullptr) return;
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = ::GetParent(control);
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = text.data();
    ::SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    return;
  }
}

std::string Hints::Of(HWND control) const {
  for (const auto& [window, hint] : hints_) {
    if (window == control) return Narrow(hint);
  }
  return "";
}

}  // namespace tallowmer::ui_windows
