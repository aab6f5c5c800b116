#pragma once

// Small pieces every settings window of the Windows view needs: window texts in UTF-8, owners for GDI
// objects and menus, sizes at 96 dots per inch scaled to the screen, dialog templates built in
// memory and control creation with the dialog's font.

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/windows/WindowsHandles.h"
#include "platform/windows/WindowsSystem.h"

namespace tallowmer::ui_windows {

std::string WindowText(HWND window);
void SetWindowTextUtf8(HWND window, const std::string& text);

// The module that holds the windows' code: the driver DLL.
using platform::windows::ModuleInstance;

using platform::windows::Narrow;
using platform::windows::UniqueReleasedBy;
using platform::windows::Widen;

inline void DeleteGdiObject(HGDIOBJ object) {
  ::DeleteObject(object);
}
inline void DeleteMemoryDC(HDC dc) {
  ::DeleteDC(dc);
}
inline void DestroyMenuHandle(HMENU menu) {
  ::DestroyMenu(menu);
}
inline void DestroyIconHandle(HICON icon) {
  ::DestroyIcon(icon);
}
inline void UnloadLibrary(HMODULE module) {
  ::FreeLibrary(module);
}
inline void UnhookHandle(HHOOK hook) {
  ::UnhookWindowsHookEx(hook);
}

using UniqueFont = UniqueReleasedBy<HFONT, DeleteGdiObject>;
using UniqueBrush = UniqueReleasedBy<HBRUSH, DeleteGdiObject>;
using UniqueBitmap = UniqueReleasedBy<HBITMAP, DeleteGdiObject>;
// A memory device context from CreateCompatibleDC.
using UniqueMemoryDC = UniqueReleasedBy<HDC, DeleteMemoryDC>;
using UniqueMenu = UniqueReleasedBy<HMENU, DestroyMenuHandle>;
using UniqueIcon = UniqueReleasedBy<HICON, DestroyIconHandle>;
using UniqueModule = UniqueReleasedBy<HMODULE, UnloadLibrary>;
using UniqueHook = UniqueReleasedBy<HHOOK, UnhookHandle>;

// A device context of the screen, released at the end of its scope.
class ScreenDC {
 public:
  ScreenDC() : dc_(::GetDC(nullptr)) {}
  ScreenDC(const ScreenDC&) = delete;
  ScreenDC& operator=(const ScreenDC&) = delete;
  ~ScreenDC() {
    if (dc_ != nullptr) ::ReleaseDC(nullptr, dc_);
  }
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

// Sizes are given at 96 dots per inch; the screen may have more.
class Scale {
 public:
  Scale();
  int operator()(int pixelsAt96) const { return ::MulDiv(pixelsAt96, dpi_, 96); }
  int Dpi() const { return dpi_; }

 private:
  int dpi_ = 96;
};

// The face every size of the settings windows was drawn for: Windows maps it to Tahoma.
inline constexpr const wchar_t* kDialogFontFace = L"MS Shell Dlg 2";
inline constexpr int kDialogFontPoints = 8;

// The fonts of the settings windows: the 8-point dialog font at the screen's resolution, and its
// bold variant. The message font of Vista and later (Segoe UI 9 pt) is wider than the layout.
struct DialogFonts {
  DialogFonts();
  UniqueFont Normal;
  UniqueFont Bold;
};

// The extent of `text` in `font`, word-wrapped at `width` the way a static control wraps it; a
// word longer than the width makes the extent wider.
SIZE WrappedTextExtent(HFONT font, const std::wstring& text, int width);

// Version 6 of the common controls, from the module's own manifest (resource 2), for the
// windows created while it lives: themed controls even in a host without a manifest of its own.
// The host's context is back once it ends; without a manifest nothing changes.
class VisualStylesScope {
 public:
  VisualStylesScope();
  VisualStylesScope(const VisualStylesScope&) = delete;
  VisualStylesScope& operator=(const VisualStylesScope&) = delete;
  ~VisualStylesScope();
  bool Active() const { return cookie_ != 0; }

 private:
  HANDLE context_ = INVALID_HANDLE_VALUE;
  ULONG_PTR cookie_ = 0;
};

// An empty dialog template: the controls are created when the dialog initialises, in pixels.
std::vector<WORD> EmptyDialogTemplate(DWORD style, DWORD exStyle, const std::string& caption);

// Creates a child control at a place given at 96 dots per inch.
HWND CreateControl(HWND parent, const wchar_t* windowClass, const std::string& text, DWORD style,
                   const RECT& at96, int id, HFONT font, const Scale& scale, DWORD exStyle = 0);

// Gives `window` the client size `width` × `height` and centres it on the screen's work area.
void SizeAndCenter(HWND window, int width, int height);

// Why ShellExecuteW could not open `target`, from its answer (32 or below) and the thread's last
// error: our own words for the usual cases, else the system's message with its inserts filled.
std::string OpenFailureText(const std::string& target, INT_PTR shellAnswer, DWORD lastError);

// Hints shown when the pointer rests on a control; the texts are kept for help requests as well.
class Hints {
 public:
  explicit Hints(HWND owner);
  Hints(const Hints&) = delete;
  Hints& operator=(const Hints&) = delete;
  void Add(HWND control, const std::string& hint);
  // Gives a control that has a hint another one.
  void Change(HWND control, const std::string& hint);
  // The hint of `control`; empty for a control without one.
  std::string Of(HWND control) const;

 private:
  HWND tooltip_;
  std::vector<std::pair<HWND, std::wstring>> hints_;
};

}  // namespace tallowmer::ui_windows
