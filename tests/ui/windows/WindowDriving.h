#pragma once

// Driving the settings windows from a second thread of their own process, as a user would: finding
// windows and controls, reading tabs, table cells and menus, pressing keys and buttons.

#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows/WindowsSystem.h"
#include "ui/windows/WinUi.h"

namespace tallowmer::window_driving {

using ui_windows::Narrow;
using ui_windows::WindowText;

inline RECT BoundsIn(HWND parent, HWND control) {
  RECT bounds{};
  ::GetWindowRect(control, &bounds);
  ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&bounds), 2);
  return bounds;
}

// Waits up to 30 seconds for a condition that another thread brings about: a condition that
// holds is seen within 10 ms, and the limit only decides when a broken one is given up on, so it
// is sized for a loaded machine.
inline bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline HWND WaitForDialog(const wchar_t* caption) {
  HWND window = nullptr;
  WaitFor([&] {
    window = ::FindWindowW(L"#32770", caption);
    return window != nullptr && ::IsWindowVisible(window);
  });
  return window;
}

struct ChildSearch {
  int Id = 0;
  HWND Found = nullptr;
};

inline BOOL CALLBACK MatchChild(HWND child, LPARAM data) {
  auto* search = reinterpret_cast<ChildSearch*>(data);
  if (::GetDlgCtrlID(child) != search->Id) return TRUE;
  search->Found = child;
  return FALSE;
}

// A control at any depth below `parent`: the pages' boxes sit inside the tab control.
inline HWND FindChild(HWND parent, int id) {
  ChildSearch search{id, nullptr};
  ::EnumChildWindows(parent, MatchChild, reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

inline std::string TabCaption(HWND tabs, int index) {
  wchar_t buffer[128] = {};
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = buffer;
  item.cchTextMax = 128;
  ::SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
  return Narrow(buffer);
}

inline std::string CellText(HWND table, int row, int column) {
  wchar_t buffer[256] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = 256;
  ::SendMessageW(table, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return Narrow(buffer);
}

inline int RowOf(HWND table, const std::string& name) {
  const int count = static_cast<int>(::SendMessageW(table, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) {
    if (CellText(table, row, 0) == name) return row;
  }
  return -1;
}

inline void SelectRow(HWND table, int row) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageW(table, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// A key as the keyboard delivers it: posted, so that the dialog's own key handling sees it.
inline void PressKey(HWND window, WPARAM key) {
  ::PostMessageW(window, WM_KEYDOWN, key, 1);
  ::PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
}

inline void Click(HWND button) {
  ::PostMessageW(button, BM_CLICK, 0, 0);
}

// Keys as the keyboard sends them: the modifiers go down first and up last.
inline void TypeKeys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (const WORD key : keys) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    if (key == VK_NEXT || key == VK_PRIOR) input.ki.dwFlags = KEYEVENTF_EXTENDEDKEY;
    inputs.push_back(input);
  }
  for (auto key = keys.end(); key != keys.begin();) {
    --key;
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = *key;
    input.ki.dwFlags = KEYEVENTF_KEYUP | (*key == VK_NEXT || *key == VK_PRIOR ? KEYEVENTF_EXTENDEDKEY : 0);
    inputs.push_back(input);
  }
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

inline HWND FocusOf(HWND dialog) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  ::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &info);
  return info.hwndFocus;
}

inline void Focus(HWND dialog, HWND control) {
  ::SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

// The items of a menu, a submenu's items marked with ">" in front, separators as "-".
inline std::vector<std::string> MenuTexts(HMENU menu, const std::string& mark = "") {
  std::vector<std::string> texts;
  const int count = ::GetMenuItemCount(menu);
  for (int index = 0; index < count; ++index) {
    wchar_t caption[128] = {};
    MENUITEMINFOW item{};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_SUBMENU;
    item.dwTypeData = caption;
    item.cch = 128;
    ::GetMenuItemInfoW(menu, static_cast<UINT>(index), TRUE, &item);
    texts.push_back(mark + ((item.fType & MFT_SEPARATOR) != 0 ? "-" : Narrow(caption)));
    if (item.hSubMenu != nullptr) {
      for (const std::string& text : MenuTexts(item.hSubMenu, mark + ">")) texts.push_back(text);
    }
  }
  return texts;
}

inline bool HasChildWithText(HWND parent, const std::string& text) {
  for (HWND child = ::GetWindow(parent, GW_CHILD); child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (WindowText(child) == text) return true;
  }
  return false;
}

}  // namespace tallowmer::window_driving
