#pragma once

// Help for the settings windows: text popups drawn by the driver itself, and the compiled help
// file's topics and popups through the system's HTML Help, loaded only when a help file is used.

#include <windows.h>

#include <string>

#include "ui/windows/WinUi.h"

namespace tallowmer::ui_windows {

// The window class of the text popups.
inline constexpr const wchar_t* kPopupClass = L"LsTallowmerHelpPopup";

// Shows `text` in a pale yellow popup with its top left corner at `screenPos` (kept on the
// screen) and waits until the user clicks or presses a key; messages of other windows go on.
void ShowTextPopup(HWND owner, POINT screenPos, const std::string& text);

class HtmlHelpViewer {
 public:
  HtmlHelpViewer() = default;
  HtmlHelpViewer(const HtmlHelpViewer&) = delete;
  HtmlHelpViewer& operator=(const HtmlHelpViewer&) = delete;
  // Help windows still open belong to this module's user: they are closed before it is unloaded.
  ~HtmlHelpViewer();

  // The file's default topic.
  void DisplayFile(HWND owner, const std::string& helpFile);
  // Topic `topic` of the text-popup file `topicFile` ("file.chm::/popups.txt") at `screenPos`.
  void DisplayPopup(HWND owner, POINT screenPos, const std::string& topicFile, int topic);

 private:
  using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);
  // Nothing when the system has no HTML Help.
  HtmlHelpFunction Function();

  UniqueModule module_;
  HtmlHelpFunction function_ = nullptr;
};

}  // namespace tallowmer::ui_windows
