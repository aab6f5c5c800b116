#pragma once

// What a user sees of the settings windows, read from the windows' own process or from another
// one: static texts that their controls cut short, and pictures of the screen as BMP files.
// Header-only, shared by the windows' own test and the cross-process robot.

#include <windows.h>

#include <commctrl.h>

#include <optional>
#include <string>
#include <vector>

#include "ui/windows/WinUi.h"

namespace tallowmer::ui_probe {

// A message to a window of another process that takes longer than this means a stuck thread.
inline constexpr UINT kProbeSendTimeoutMs = 5000;

// WM_GETTEXT is copied between processes by the system; GetWindowText would not ask a control of
// another process.
inline std::optional<std::wstring> ControlText(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kProbeSendTimeoutMs, &length))
    return std::nullopt;
  std::vector<wchar_t> text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, kProbeSendTimeoutMs, &copied))
    return std::nullopt;
  return std::wstring(text.data());
}

inline std::wstring WindowClass(HWND window) {
  wchar_t name[256] = {};
  ::GetClassNameW(window, name, 256);
  return name;
}

// Selects an object into a device context and puts the previous one back.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(::SelectObject(dc, object)) {}
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  ~Selection() {
    if (previous_ != nullptr) ::SelectObject(dc_, previous_);
  }
  explicit operator bool() const { return previous_ != nullptr; }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

class WindowDC {
 public:
  explicit WindowDC(HWND window) : window_(window), dc_(::GetDC(window)) {}
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  ~WindowDC() {
    if (dc_ != nullptr) ::ReleaseDC(window_, dc_);
  }
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// One static text measured against its control.
struct TextFit {
  HWND Control = nullptr;
  int Id = 0;
  std::wstring Text;
  std::wstring Face;
  // What the text needs, word-wrapped at the control's width, and what the control shows.
  SIZE Needed{};
  SIZE Shown{};
  // The control's font could not be selected: nothing was measured.
  bool Unreadable = false;

  bool Clipped() const { return Unreadable || Needed.cx > Shown.cx || Needed.cy > Shown.cy; }

  std::wstring Describe() const {
    const std::wstring id = Id == 0 || Id == 0xFFFF ? L"label" : L"control " + std::to_wstring(Id);
    if (Unreadable) return id + L" \"" + Text + L"\": its " + Face + L" cannot be read";
    return id + L" \"" + Text + L"\" in " + Face + L" needs " + std::to_wstring(Needed.cx) + L"×" +
           std::to_wstring(Needed.cy) + L", has " + std::to_wstring(Shown.cx) + L"×" +
           std::to_wstring(Shown.cy);
  }
};

// The family of the font selected into `dc`: the face it was asked by may be a substitute's.
inline std::wstring FamilyName(HDC dc) {
  const UINT size = ::GetOutlineTextMetricsW(dc, 0, nullptr);
  if (size == 0) {
    wchar_t face[LF_FACESIZE] = {};
    ::GetTextFaceW(dc, LF_FACESIZE, face);
    return face;
  }
  std::vector<char> buffer(size);
  auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer.data());
  ::GetOutlineTextMetricsW(dc, size, metrics);
  return reinterpret_cast<const wchar_t*>(buffer.data() + reinterpret_cast<size_t>(metrics->otmpFamilyName));
}

// Static controls that show a text, as opposed to pictures, frames and lines.
inline bool IsTextStatic(HWND window) {
  if (WindowClass(window) != L"Static") return false;
  switch (::GetWindowLongW(window, GWL_STYLE) & SS_TYPEMASK) {
    case SS_LEFT:
    case SS_CENTER:
    case SS_RIGHT:
    case SS_SIMPLE:
    case SS_LEFTNOWORDWRAP:
      return true;
    default:
      return false;
  }
}

// Measures the text as the static control draws it: DrawText in the control's own font, word-wrapped
// at its client width (unless the control never wraps), against its client rectangle.
inline TextFit MeasureStatic(HWND control) {
  TextFit fit;
  fit.Control = control;
  fit.Id = ::GetDlgCtrlID(control);
  fit.Text = ControlText(control).value_or(L"");
  RECT client{};
  ::GetClientRect(control, &client);
  fit.Shown = {client.right, client.bottom};
  // The control's font is described and made anew here, so that the measure does not disturb the
  // control's own use of it. A font handle is an object of its process only: run this inside the
  // control's process (the robot does so through a hook).
  DWORD_PTR handle = 0;
  ::SendMessageTimeoutW(control, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, kProbeSendTimeoutMs, &handle);
  LOGFONTW description{};
  const HGDIOBJ given = handle != 0 ? reinterpret_cast<HGDIOBJ>(handle) : ::GetStockObject(SYSTEM_FONT);
  const bool described = ::GetObjectW(given, sizeof(description), &description) == sizeof(description);
  const ui_windows::UniqueFont font(described ? ::CreateFontIndirectW(&description) : nullptr);
  const ui_windows::ScreenDC dc;
  const Selection selected(dc.get(), font.get());
  if (!font || dc.get() == nullptr || !selected) {
    fit.Unreadable = true;
    fit.Face = L"font " + std::to_wstring(handle);
    return fit;
  }
  fit.Face = FamilyName(dc.get()) + L" " + std::to_wstring(description.lfHeight);
  const LONG style = ::GetWindowLongW(control, GWL_STYLE);
  const LONG type = style & SS_TYPEMASK;
  UINT format = DT_CALCRECT | DT_EXPANDTABS;
  if (type != SS_SIMPLE && type != SS_LEFTNOWORDWRAP) format |= DT_WORDBREAK;
  if ((style & SS_NOPREFIX) != 0) format |= DT_NOPREFIX;
  RECT needed{0, 0, client.right, 0};
  // A static control with an empty text draws nothing.
  if (!fit.Text.empty())
    ::DrawTextW(dc.get(), fit.Text.c_str(), static_cast<int>(fit.Text.size()), &needed, format);
  fit.Needed = {needed.right - needed.left, needed.bottom - needed.top};
  return fit;
}

inline BOOL CALLBACK CollectTextStatic(HWND child, LPARAM found) {
  if (IsTextStatic(child)) reinterpret_cast<std::vector<HWND>*>(found)->push_back(child);
  return TRUE;
}

// Every static text at any depth below `root`, hidden pages included: the user can show them.
inline std::vector<TextFit> MeasureStaticTexts(HWND root) {
  std::vector<HWND> controls;
  ::EnumChildWindows(root, CollectTextStatic, reinterpret_cast<LPARAM>(&controls));
  std::vector<TextFit> fits;
  for (HWND control : controls) fits.push_back(MeasureStatic(control));
  return fits;
}

// One line of `text` in the font that `control` draws with.
inline SIZE LineExtent(HWND control, const std::wstring& text, std::wstring& face) {
  DWORD_PTR handle = 0;
  ::SendMessageTimeoutW(control, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, kProbeSendTimeoutMs, &handle);
  LOGFONTW description{};
  const HGDIOBJ given = handle != 0 ? reinterpret_cast<HGDIOBJ>(handle) : ::GetStockObject(SYSTEM_FONT);
  if (::GetObjectW(given, sizeof(description), &description) != sizeof(description)) return {-1, -1};
  const ui_windows::UniqueFont font(::CreateFontIndirectW(&description));
  const ui_windows::ScreenDC dc;
  const Selection selected(dc.get(), font.get());
  if (!font || !selected) return {-1, -1};
  face = FamilyName(dc.get()) + L" " + std::to_wstring(description.lfHeight);
  RECT needed{};
  ::DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &needed,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  return {needed.right - needed.left, needed.bottom - needed.top};
}

// A caption of one line against the room `shown` that its control leaves for it once `margins`
// (both sides together) are taken off.
inline TextFit MeasureCaption(HWND control, const std::wstring& text, RECT shown, int margins) {
  TextFit fit;
  fit.Control = control;
  fit.Id = ::GetDlgCtrlID(control);
  fit.Text = text;
  const SIZE extent = LineExtent(control, text, fit.Face);
  fit.Unreadable = extent.cx < 0;
  fit.Needed = {extent.cx + margins, extent.cy};
  fit.Shown = {shown.right - shown.left, shown.bottom - shown.top};
  return fit;
}

// Push buttons draw their caption inside a 2-pixel frame and the 1-pixel focus rectangle.
inline void MeasureButton(HWND button, std::vector<TextFit>& fits) {
  const LONG type = ::GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK;
  if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) return;
  RECT client{};
  ::GetClientRect(button, &client);
  fits.push_back(MeasureCaption(button, ControlText(button).value_or(L""), client, 6));
}

// A tab draws its caption between paddings of six pixels, at every resolution.
inline void MeasureTabs(HWND tabs, std::vector<TextFit>& fits) {
  const int padding = 2 * 6;
  const int count = static_cast<int>(::SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0));
  for (int index = 0; index < count; ++index) {
    wchar_t text[128] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 128;
    ::SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    RECT bounds{};
    ::SendMessageW(tabs, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&bounds));
    fits.push_back(MeasureCaption(tabs, text, bounds, padding));
  }
}

// A header draws its caption between margins of three edges on either side, inside the item's
// own edges.
inline void MeasureHeader(HWND header, std::vector<TextFit>& fits) {
  const int margins = 8 * ::GetSystemMetrics(SM_CXEDGE);
  const int count = static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int index = 0; index < count; ++index) {
    wchar_t text[128] = {};
    HDITEMW item{};
    item.mask = HDI_TEXT;
    item.pszText = text;
    item.cchTextMax = 128;
    ::SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    RECT bounds{};
    ::SendMessageW(header, HDM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&bounds));
    fits.push_back(MeasureCaption(header, text, bounds, margins));
  }
}

inline BOOL CALLBACK CollectCaptioned(HWND child, LPARAM found) {
  const std::wstring name = WindowClass(child);
  if (name == L"Button" || name == L"SysTabControl32" || name == L"SysHeader32")
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(child);
  return TRUE;
}

// Every static text, push button caption, tab caption and column header below `root`, hidden
// pages included: the user can show them.
inline std::vector<TextFit> MeasureTexts(HWND root) {
  std::vector<TextFit> fits = MeasureStaticTexts(root);
  std::vector<HWND> controls;
  ::EnumChildWindows(root, CollectCaptioned, reinterpret_cast<LPARAM>(&controls));
  for (HWND control : controls) {
    const std::wstring name = WindowClass(control);
    if (name == L"Button") MeasureButton(control, fits);
    if (name == L"SysTabControl32") MeasureTabs(control, fits);
    if (name == L"SysHeader32") MeasureHeader(control, fits);
  }
  return fits;
}

// Measures travel between processes as text: fields split by U+001F, measures by U+001E, neither of
// which a window text holds.
inline constexpr wchar_t kFieldEnd = L'\x1F';
inline constexpr wchar_t kFitEnd = L'\x1E';
// The message a window's own process answers with the measures of its static texts, through the
// hook of text_probe.dll; wParam is the window that takes them as WM_COPYDATA.
inline constexpr const wchar_t* kMeasureTextsMessage = L"LsTallowmerMeasureTexts";

inline std::wstring Serialize(const std::vector<TextFit>& fits) {
  std::wstring out;
  for (const TextFit& fit : fits) {
    for (const std::wstring& field :
         {std::to_wstring(fit.Id), fit.Text, fit.Face, std::to_wstring(fit.Needed.cx),
          std::to_wstring(fit.Needed.cy), std::to_wstring(fit.Shown.cx), std::to_wstring(fit.Shown.cy),
          std::wstring(fit.Unreadable ? L"1" : L"0")})
      out += field + kFieldEnd;
    out += kFitEnd;
  }
  return out;
}

inline std::vector<TextFit> Deserialize(const std::wstring& text) {
  std::vector<TextFit> fits;
  size_t start = 0;
  for (size_t end = text.find(kFitEnd); end != std::wstring::npos; end = text.find(kFitEnd, start)) {
    std::vector<std::wstring> fields;
    for (size_t at = start; at < end;) {
      const size_t stop = text.find(kFieldEnd, at);
      if (stop == std::wstring::npos || stop > end) break;
      fields.push_back(text.substr(at, stop - at));
      at = stop + 1;
    }
    start = end + 1;
    if (fields.size() != 8) continue;
    TextFit fit;
    fit.Id = std::stoi(fields[0]);
    fit.Text = fields[1];
    fit.Face = fields[2];
    fit.Needed = {std::stol(fields[3]), std::stol(fields[4])};
    fit.Shown = {std::stol(fields[5]), std::stol(fields[6])};
    fit.Unreadable = fields[7] == L"1";
    fits.push_back(fit);
  }
  return fits;
}

// A 24-bit bottom-up picture, the order a BMP file keeps its rows in.
struct Capture {
  BITMAPINFOHEADER Header{};
  std::vector<unsigned char> Pixels;
};

// What the screen shows in `area`, as the user would see it.
inline std::optional<Capture> CaptureScreen(const RECT& area) {
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return std::nullopt;
  Capture capture;
  capture.Header.biSize = sizeof(BITMAPINFOHEADER);
  capture.Header.biWidth = width;
  capture.Header.biHeight = height;
  capture.Header.biPlanes = 1;
  capture.Header.biBitCount = 24;
  capture.Header.biCompression = BI_RGB;
  const ui_windows::ScreenDC screen;
  const ui_windows::UniqueMemoryDC memory(::CreateCompatibleDC(screen.get()));
  void* bits = nullptr;
  BITMAPINFO info{};
  info.bmiHeader = capture.Header;
  const ui_windows::UniqueBitmap bitmap(
      ::CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (screen.get() == nullptr || !memory || !bitmap) return std::nullopt;
  const Selection selected(memory.get(), bitmap.get());
  // No CAPTUREBLT: Wine 8 copies black with it.
  if (!::BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top, SRCCOPY))
    return std::nullopt;
  ::GdiFlush();
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  const auto* begin = static_cast<const unsigned char*>(bits);
  capture.Pixels.assign(begin, begin + stride * static_cast<size_t>(height));
  capture.Header.biSizeImage = static_cast<DWORD>(capture.Pixels.size());
  return capture;
}

// Distinct colours of a capture, counted up to `enough`: a failed capture is one flat colour.
inline size_t ColourCount(const Capture& capture, size_t enough) {
  const int width = capture.Header.biWidth;
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  std::vector<unsigned> seen;
  for (int y = 0; y < capture.Header.biHeight && seen.size() < enough; ++y) {
    const unsigned char* row = capture.Pixels.data() + stride * static_cast<size_t>(y);
    for (int x = 0; x < width && seen.size() < enough; ++x) {
      const unsigned char* p = row + static_cast<size_t>(x) * 3;
      const unsigned colour = p[0] | (p[1] << 8) | (p[2] << 16);
      bool known = false;
      for (unsigned other : seen) known = known || other == colour;
      if (!known) seen.push_back(colour);
    }
  }
  return seen.size();
}

// A file written from its start.
class OutputFile {
 public:
  explicit OutputFile(const std::wstring& path)
      : handle_(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  bool Write(const void* data, size_t size) const {
    DWORD written = 0;
    return handle_ != INVALID_HANDLE_VALUE &&
           ::WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
  }

 private:
  HANDLE handle_;
};

inline bool WriteBmp(const std::wstring& path, const Capture& capture) {
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = static_cast<DWORD>(file.bfOffBits + capture.Pixels.size());
  const OutputFile out(path);
  return out.Write(&file, sizeof(file)) && out.Write(&capture.Header, sizeof(capture.Header)) &&
         out.Write(capture.Pixels.data(), capture.Pixels.size());
}

// A picture of `area` of the screen, saved as `path`; false when nothing usable came.
inline bool SaveScreenshot(const RECT& area, const std::wstring& path) {
  const std::optional<Capture> capture = CaptureScreen(area);
  return capture && ColourCount(*capture, 4) >= 4 && WriteBmp(path, *capture);
}

inline bool SaveScreenshot(HWND window, const std::wstring& path) {
  RECT area{};
  ::GetWindowRect(window, &area);
  return SaveScreenshot(area, path);
}

}  // namespace tallowmer::ui_probe
