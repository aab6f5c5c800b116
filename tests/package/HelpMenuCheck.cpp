// A merchant in the settings dialog looking for help, played inside the host's own process so
// that the dialog's popup menu can be read: a second thread waits for the dialog, drops down the
// command menu, looks for "Справка", chooses it and cancels the dialog, while the main thread sits
// in the host's "ShowSettingsDlg" call.
// Usage: help_menu_check.exe present|absent   (whether help.chm stands beside the module)
// Prints one line per check, a note on the help viewer's window, and exits with 0 when every check
// passed. Whether the viewer was called with the right file and command the caller reads from
// Wine's hhctrl trace.

#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/windows/SettingsDialogWindow.h"

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kDialogCaption[] = L"Настройки";
constexpr wchar_t kMenuClass[] = L"#32768";
constexpr wchar_t kHelpViewerClass[] = L"HH Parent";
constexpr wchar_t kHelpCaption[] = L"Справка";
// The waits only decide when a broken dialog is given up on: a step that works is seen at once, so
// they are sized for a loaded machine.
constexpr DWORD kDialogWaitMs = 120000;
constexpr DWORD kStepWaitMs = 30000;

int failures = 0;

void Print(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
  std::printf("%s\n", utf8.c_str());
  std::fflush(stdout);
}

void Check(bool passed, const std::wstring& what) {
  Print((passed ? L"ok: " : L"FAILED: ") + what);
  if (!passed) ++failures;
}

template <class Condition>
bool WaitFor(Condition condition, DWORD milliseconds) {
  const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
  while (!condition()) {
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(50);
  }
  return true;
}

struct WindowSearch {
  const wchar_t* className;
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM data) {
  auto& search = *reinterpret_cast<WindowSearch*>(data);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  wchar_t text[128] = {};
  ::GetWindowTextW(window, text, 128);
  if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window) &&
      std::wstring(name) == search.className &&
      (search.caption == nullptr || std::wstring(text) == search.caption)) {
    search.found = window;
    return FALSE;
  }
  return TRUE;
}

// A visible top-level window of this process with the class and, when given, the caption.
HWND OwnWindow(const wchar_t* className, const wchar_t* caption) {
  WindowSearch search{className, caption, nullptr};
  ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

struct MenuEntry {
  std::wstring caption;
  UINT id;
  bool enabled;
};

std::vector<MenuEntry> ReadMenu(HMENU menu) {
  std::vector<MenuEntry> entries;
  const int count = ::GetMenuItemCount(menu);
  for (int position = 0; position < count; ++position) {
    wchar_t caption[128] = {};
    ::GetMenuStringW(menu, static_cast<UINT>(position), caption, 128, MF_BYPOSITION);
    const UINT state = ::GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION);
    if (state & MF_SEPARATOR) continue;
    entries.push_back({caption, ::GetMenuItemID(menu, position), (state & (MF_GRAYED | MF_DISABLED)) == 0});
  }
  return entries;
}

std::optional<MenuEntry> FindEntry(const std::vector<MenuEntry>& entries, const std::wstring& caption) {
  for (const MenuEntry& entry : entries) {
    if (entry.caption == caption) return entry;
  }
  return std::nullopt;
}

// The commands the menu offers, or nothing when it did not open.
std::optional<std::vector<MenuEntry>> DropDownCommandMenu(HWND dialog, HWND& menuWindow) {
  ::PostMessageW(::GetDlgItem(dialog, tallowmer::ui_windows::kIdMoreButton), BM_CLICK, 0, 0);
  if (!WaitFor([&] { return (menuWindow = OwnWindow(kMenuClass, nullptr)) != nullptr; }, kStepWaitMs))
    return std::nullopt;
  const auto menu = reinterpret_cast<HMENU>(::SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
  if (menu == nullptr) return std::nullopt;
  return ReadMenu(menu);
}

void PlayMerchant(bool helpFilePresent) {
  HWND dialog = nullptr;
  const bool shown =
      WaitFor([&] { return (dialog = OwnWindow(kDialogClass, kDialogCaption)) != nullptr; }, kDialogWaitMs);
  Check(shown, L"the settings dialog opens");
  if (!shown) return;

  HWND menuWindow = nullptr;
  const std::optional<std::vector<MenuEntry>> entries = DropDownCommandMenu(dialog, menuWindow);
  Check(entries.has_value(), L"\"Дополнительно\" drops down the command menu");
  std::optional<MenuEntry> help;
  if (entries) {
    std::wstring captions;
    for (const MenuEntry& entry : *entries) captions += L" \"" + entry.caption + L"\"";
    Print(L"    menu:" + captions);
    help = FindEntry(*entries, kHelpCaption);
    if (helpFilePresent) {
      Check(help && help->enabled, L"with help.chm beside the module the menu offers \"Справка\"");
    } else {
      Check(!help, L"without help.chm the menu has no \"Справка\"");
    }
    ::PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
    WaitFor([] { return OwnWindow(kMenuClass, nullptr) == nullptr; }, kStepWaitMs);
  }

  if (help && help->enabled) {
    // What choosing the item sends: its own command, to the dialog that owns the menu.
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(help->id, 0), 0);
    HWND viewer = nullptr;
    if (WaitFor([&] { return (viewer = OwnWindow(kHelpViewerClass, nullptr)) != nullptr; }, kStepWaitMs)) {
      wchar_t title[128] = {};
      ::GetWindowTextW(viewer, title, 128);
      Print(std::wstring(L"    note: the help viewer opened its window \"") + title + L"\"");
      ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    } else {
      Print(L"    note: the help viewer showed no window");
    }
  }
  ::PostMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
}

struct ReleaseDispatch {
  void operator()(IDispatch* dispatch) const { dispatch->Release(); }
};
using DispatchPtr = std::unique_ptr<IDispatch, ReleaseDispatch>;

DispatchPtr CreateDriver() {
  CLSID clsid{};
  if (FAILED(::CLSIDFromProgID(L"hwEq.tallowmer", &clsid))) return nullptr;
  IDispatch* driver = nullptr;
  if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&driver))))
    return nullptr;
  return DispatchPtr(driver);
}

// ShowSettingsDlg(Empty, OutData, 0) as a script host calls it; true when it answered True.
std::optional<bool> ShowSettingsDlg(IDispatch& driver) {
  LPOLESTR name = const_cast<LPOLESTR>(L"ShowSettingsDlg");
  DISPID id = 0;
  if (FAILED(driver.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id))) return std::nullopt;
  VARIANT outData;
  ::VariantInit(&outData);
  VARIANT arguments[3];
  for (VARIANT& argument : arguments) ::VariantInit(&argument);
  arguments[0].vt = VT_I4;  // TimeOut; the arguments go in reverse order
  arguments[1].vt = VT_BYREF | VT_VARIANT;
  arguments[1].pvarVal = &outData;
  DISPPARAMS parameters{arguments, nullptr, 3, 0};
  VARIANT result;
  ::VariantInit(&result);
  const HRESULT invoked =
      driver.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &parameters,
                    &result, nullptr, nullptr);
  ::VariantClear(&outData);
  if (FAILED(invoked) || result.vt != VT_BOOL) return std::nullopt;
  return result.boolVal != VARIANT_FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 || (std::wstring(argv[1]) != L"present" && std::wstring(argv[1]) != L"absent")) {
    std::fputs("usage: help_menu_check.exe present|absent\n", stderr);
    return 2;
  }
  const bool helpFilePresent = std::wstring(argv[1]) == L"present";
  ::CoInitialize(nullptr);
  {
    DispatchPtr driver = CreateDriver();
    Check(driver != nullptr, L"the host creates hwEq.tallowmer");
    if (driver) {
      std::thread merchant(PlayMerchant, helpFilePresent);
      const std::optional<bool> confirmed = ShowSettingsDlg(*driver);
      merchant.join();
      Check(confirmed == false, L"ShowSettingsDlg answers False after Cancel");
    }
  }
  ::CoUninitialize();
  Print(std::to_wstring(failures) + L" failures");
  return failures == 0 ? 0 : 1;
}
