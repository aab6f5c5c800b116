// The Windows settings dialog driven as a user drives it: a second thread finds the windows,
// types, presses keys and buttons and asks for help, while the first thread runs the modal
// dialog for a device. Every static text, button, tab and column caption is measured against its
// control, the device test is timed against a server that never answers, and pictures of the
// dialog, its tabs, the list and each popup are saved. Prints one line per check and
// "N passed, M failed"; runs under Wine with an X server.

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/OleVariant.h"
#include "device/uBaseDevice.h"
#include "platform/Env.h"
#include "service/WaitedTransport.h"
#include "tests/ui/windows/SilentServer.h"
#include "tests/ui/windows/UiProbe.h"
#include "tests/ui/windows/WindowDriving.h"
#include "ui/ufmCommonSettings.h"
#include "ui/ufmMainSettings.h"
#include "ui/windows/HelpPopup.h"
#include "ui/windows/SettingsDialogWindow.h"
#include "ui/windows/SettingsListWindow.h"
#include "ui/windows/WinUi.h"

namespace tallowmer {
namespace {

using namespace ui_windows;
using namespace window_driving;

std::atomic<int> passed = 0;
std::atomic<int> failed = 0;

bool Check(bool condition, const std::string& what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what.c_str());
  // The script that runs this program watches its output for progress, not the clock.
  std::fflush(stdout);
  (condition ? passed : failed)++;
  return condition;
}

// A device with the driver's connection settings, a number and a flag; its test records the host
// it saw.
class TestDevice : public TBaseDevice {
 public:
  void RegisterSettings() override {
    TBaseDevice::RegisterSettings();
    AddSetting("Token", dtString, OleVariant::Text(""), false, "Token", "Токен доступа");
    MarkSecretSetting("Token");
    AddSetting("Host", dtString, OleVariant::Text("https://default.example"), false, "Хост", "Адрес сервера");
    AddSetting("Retries", dtNumber, OleVariant::Int32(3), false, "Повторы", "Число повторов запроса");
    AddSetting("Strict", dtBoolean, OleVariant::Boolean(false), false, "Строго", "Строгая проверка");
  }
  // The driver's own model name, which takes two lines of the header, and a description that wraps.
  void FillDeviceInfo() override {
    FDeviceInfo.ModelName = "Quorvane: Система лояльности Tallowmer";
    FDeviceInfo.Description =
        "Драйвер системы лояльности Tallowmer для кассовых программ: поиск клиента, начисление и списание "
        "бонусов";
  }
  bool DeviceTest(std::string& resultDescription) override {
    testedHost = GetSettingValueStr("Host");
    resultDescription = "Тест пройден";
    // As the driver shows its success: a task-modal box without an owner.
    if (showsNotice) platform::Env::Current().ShowInformation("Информация", "Выполнено успешно");
    if (requestUrl.empty() || ResponsiveWait() == nullptr) return true;
    // Two requests through the platform's transport, as the driver makes them: the TLS preparation
    // and the ping.
    WaitedTransport transport(
        *ResponsiveWait(), [](const TransportOptions& options) { return CreateDefaultTransport(options); },
        DefaultTransportOptions());
    for (const HttpVerb verb : {HttpVerb::Post, HttpVerb::Get}) {
      const HttpAnswer answer = transport.Execute(verb, requestUrl, {}, nullptr);
      if (answer.status < 0) {
        resultDescription = DescribeTransportFailure(answer.failure, answer.error);
        return false;
      }
    }
    return true;
  }
  std::string testedHost;
  // Where the test sends its requests; none when empty.
  std::string requestUrl;
  bool showsNotice = false;
};

// The device belongs to the dialog's thread: the playing thread reads it there, through a window
// of that thread, while the dialog's modal loop runs.
class UiThread {
 public:
  UiThread()
      : window_(::CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr)) {
    ::SetWindowSubclass(window_, Proc, 0, 0);
  }
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;
  ~UiThread() { ::DestroyWindow(window_); }

  void Run(const std::function<void()>& action) const {
    ::SendMessageW(window_, WM_APP, 0, reinterpret_cast<LPARAM>(&action));
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message != WM_APP) return ::DefSubclassProc(window, message, wParam, lParam);
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
  }

  HWND window_;
};

const UiThread* uiThread = nullptr;
// The screen resolution the run was set up with.
int expectedDpi = 96;
// Where the pictures go, and what ends their names; no pictures without a folder.
std::wstring shotFolder;
std::wstring shotTag;

int AtDpi(int pixelsAt96) {
  return ::MulDiv(pixelsAt96, expectedDpi, 96);
}

// Saves what the screen shows of the windows given, all of them in one picture.
void Screenshot(const std::wstring& name, std::initializer_list<HWND> windows) {
  if (shotFolder.empty()) return;
  RECT area{};
  for (HWND window : windows) {
    RECT bounds{};
    if (window == nullptr || !::GetWindowRect(window, &bounds)) continue;
    ::UnionRect(&area, &area, &bounds);
  }
  // The window paints once its thread is idle again.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::wstring path = shotFolder + L"\\" + name + shotTag + L".bmp";
  Check(ui_probe::SaveScreenshot(area, path), "screenshot " + Narrow(path));
}

// Each static text, button, tab and column caption below `window` needs, in its own font, no more
// than its control gives it; the clipped ones are named.
void CheckTexts(HWND window, const std::string& name) {
  const std::vector<ui_probe::TextFit> fits = ui_probe::MeasureTexts(window);
  std::string clipped;
  for (const ui_probe::TextFit& fit : fits) {
    std::printf("    %s %s\n", fit.Clipped() ? "CLIPPED" : "fits", Narrow(fit.Describe()).c_str());
    if (fit.Clipped()) clipped += (clipped.empty() ? "" : "; ") + Narrow(fit.Describe());
  }
  Check(!fits.empty() && clipped.empty(), "no text of " + name + " is clipped (" +
                                              std::to_string(fits.size()) + " measured" +
                                              (clipped.empty() ? "" : "; clipped: " + clipped) + ")");
}

std::string Setting(TestDevice& device, const char* id) {
  std::string value;
  uiThread->Run([&] { value = device.GetSettingValueStr(id); });
  return value;
}

std::string TestedHost(TestDevice& device) {
  std::string host;
  uiThread->Run([&] { host = device.testedHost; });
  return host;
}

// Asks for help on `control` as the title bar's help button does, and answers the popup's text;
// the popup is closed with a key press.
std::string HelpPopupText(HWND dialog, HWND control, POINT* popupCorner = nullptr,
                          const wchar_t* shotName = nullptr) {
  HELPINFO info{};
  info.cbSize = sizeof(info);
  info.iContextType = HELPINFO_WINDOW;
  info.iCtrlId = ::GetDlgCtrlID(control);
  info.hItemHandle = control;
  info.dwContextId = ::GetWindowContextHelpId(control);
  ::GetCursorPos(&info.MousePos);
  // WM_HELP carries a pointer, so it cannot be posted; the sender waits until the popup closes.
  std::thread asker([&] { ::SendMessageW(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info)); });
  HWND popup = nullptr;
  if (!WaitFor([&] { return (popup = ::FindWindowW(kPopupClass, nullptr)) != nullptr; })) {
    asker.join();
    return "<no popup>";
  }
  WaitFor([&] { return ::IsWindowVisible(popup) != FALSE; });
  if (shotName != nullptr) Screenshot(shotName, {dialog, popup});
  const std::string text = WindowText(popup);
  RECT bounds{};
  ::GetWindowRect(popup, &bounds);
  if (popupCorner != nullptr) *popupCorner = {bounds.left, bounds.top};
  PressKey(popup, VK_SPACE);
  WaitFor([&] { return ::IsWindow(popup) == FALSE; });
  asker.join();
  return text;
}

// The dialog font at the screen's resolution, the version below the model name inside the header,
// labels that end where their edit box begins, standard edges and the tab's own background.
void CheckLook(HWND dialog, HWND host) {
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(::GetDlgItem(dialog, IDOK), WM_GETFONT, 0, 0)),
               sizeof(font), &font);
  Check(font.lfHeight == -::MulDiv(8, expectedDpi, 72) && std::wstring(font.lfFaceName) == kDialogFontFace,
        "the controls use \"MS Shell Dlg 2\" at 8 points (height " + std::to_string(font.lfHeight) + ", " +
            Narrow(font.lfFaceName) + ")");
  const RECT name = BoundsIn(dialog, ::GetDlgItem(dialog, kIdModelName));
  const RECT version = BoundsIn(dialog, ::GetDlgItem(dialog, kIdDriverVersion));
  Check(
      name.top >= 0 && version.top >= name.bottom && version.bottom <= AtDpi(47) && name.left == version.left,
      "the version sits below the model name inside the 49-pixel header (name " + std::to_string(name.top) +
          "–" + std::to_string(name.bottom) + ", version " + std::to_string(version.top) + "–" +
          std::to_string(version.bottom) + ")");
  HWND page = ::GetParent(host);
  const RECT box = BoundsIn(page, host);
  bool labelsBeside = true;
  for (HWND child = ::GetWindow(page, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (!ui_probe::IsTextStatic(child)) continue;
    const RECT label = BoundsIn(page, child);
    labelsBeside = labelsBeside && label.left == AtDpi(13) && label.right <= box.left;
  }
  Check(labelsBeside && box.left == AtDpi(98),
        "the labels start at 13 pixels and end by the edit boxes at 98");
  Check((::GetWindowLongPtrW(host, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0 &&
            (::GetWindowLongPtrW(host, GWL_STYLE) & WS_BORDER) == 0,
        "the edit boxes have the standard client edge");
  Check(::IsThemeDialogTextureEnabled(page) != FALSE, "the page takes the tab's themed background");
}

// Whether, within a while, tab `index` is selected and its page, named like the tab, is the only
// page shown.
bool PageShown(HWND tabs, int index) {
  return WaitFor([&] {
    if (TabCtrl_GetCurSel(tabs) != index) return false;
    const std::wstring wanted = Widen(TabCaption(tabs, index));
    bool onlyWanted = false;
    HWND dialog = ::GetParent(tabs);
    for (HWND page = ::GetWindow(dialog, GW_CHILD); page != nullptr; page = ::GetWindow(page, GW_HWNDNEXT)) {
      if (ui_probe::WindowClass(page) != L"#32770" || !::IsWindowVisible(page)) continue;
      if (Widen(WindowText(page)) != wanted) return false;
      onlyWanted = true;
    }
    return onlyWanted;
  });
}

// Clicks tab `index` as the mouse does and waits until its page shows.
bool ClickTab(HWND dialog, int index) {
  HWND tabs = ::GetDlgItem(dialog, kIdPages);
  RECT item{};
  TabCtrl_GetItemRect(tabs, index, &item);
  const LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
  ::PostMessageW(tabs, WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageW(tabs, WM_LBUTTONUP, 0, at);
  return PageShown(tabs, index);
}

void CheckDialogLayout(HWND dialog, TestDevice& device) {
  HWND tabs = ::GetDlgItem(dialog, kIdPages);
  Check(tabs != nullptr && TabCtrl_GetItemCount(tabs) == 2 && TabCaption(tabs, 0) == "Параметры" &&
            TabCaption(tabs, 1) == "Информация" && TabCtrl_GetCurSel(tabs) == 0,
        "tabs \"Параметры\" (selected) and \"Информация\"");
  HWND host = FindChild(dialog, kIdFirstPageEdit);
  HWND token = FindChild(dialog, kIdFirstPageEdit + 1);
  Check(host != nullptr && WindowText(host) == Setting(device, "Host"), "the host box shows \"Host\"");
  Check(token != nullptr && (::GetWindowLongPtrW(token, GWL_STYLE) & ES_PASSWORD) != 0 &&
            ::SendMessageW(token, EM_GETPASSWORDCHAR, 0, 0) == 0x2022,
        "the token box masks every character with \"•\"");
  Check(WindowText(::GetDlgItem(dialog, IDOK)) == "ОК" &&
            WindowText(::GetDlgItem(dialog, IDCANCEL)) == "Отмена" &&
            WindowText(::GetDlgItem(dialog, kIdMoreButton)) == "Дополнительно",
        "the buttons \"Дополнительно\", \"ОК\" and \"Отмена\"");
  RECT client{};
  ::GetClientRect(dialog, &client);
  // 420 × 375 at 96 dots per inch: the default height, and the width of the 412-pixel page.
  Check(client.right == AtDpi(420) && client.bottom == AtDpi(375),
        "the client area fits the page at " + std::to_string(expectedDpi) + " dots per inch (" +
            std::to_string(client.right) + " × " + std::to_string(client.bottom) + ")");
  CheckLook(dialog, host);
  CheckTexts(dialog, "the dialog");
  Screenshot(L"dialog", {dialog});
  if (Check(ClickTab(dialog, 1), "a click on \"Информация\" shows the information tab"))
    Screenshot(L"information_tab", {dialog});
  Check(ClickTab(dialog, 0), "a click on \"Параметры\" shows the page again");
}

// The tabs switch with Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp wherever the focus is, and
// Tab stops on the tab strip between "Отмена" and the page.
void CheckKeyboard(HWND dialog) {
  HWND tabs = ::GetDlgItem(dialog, kIdPages);
  HWND host = FindChild(dialog, kIdFirstPageEdit);
  ::SetForegroundWindow(dialog);
  Focus(dialog, host);
  struct Switch {
    const char* keys;
    std::initializer_list<WORD> press;
    int tab;
  };
  const Switch switches[] = {{"Ctrl+Tab", {VK_CONTROL, VK_TAB}, 1},
                             {"Ctrl+Shift+Tab", {VK_CONTROL, VK_SHIFT, VK_TAB}, 0},
                             {"Ctrl+PgDn", {VK_CONTROL, VK_NEXT}, 1},
                             {"Ctrl+PgUp", {VK_CONTROL, VK_PRIOR}, 0},
                             {"Ctrl+PgUp at the first tab", {VK_CONTROL, VK_PRIOR}, 1},
                             {"Ctrl+Tab at the last tab", {VK_CONTROL, VK_TAB}, 0}};
  for (const Switch& change : switches) {
    TypeKeys(change.press);
    Check(PageShown(tabs, change.tab), std::string(change.keys) + " shows tab " + std::to_string(change.tab));
  }
  Focus(dialog, ::GetDlgItem(dialog, IDCANCEL));
  TypeKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(dialog) == tabs; }), "Tab from \"Отмена\" stops on the tab strip");
  TypeKeys({VK_RIGHT});
  Check(PageShown(tabs, 1), "Right on the tab strip shows \"Информация\"");
  TypeKeys({VK_LEFT});
  Check(PageShown(tabs, 0), "Left on the tab strip shows \"Параметры\" again");
  TypeKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(dialog) == host; }), "Tab from the tab strip goes into the page");
  TypeKeys({VK_SHIFT, VK_TAB});
  Check(WaitFor([&] { return FocusOf(dialog) == tabs; }),
        "Shift+Tab from the page goes back to the tab strip");
}

void CheckHelp(HWND dialog) {
  const std::string onOk = HelpPopupText(dialog, ::GetDlgItem(dialog, IDOK), nullptr, L"help_popup");
  Check(onOk == "Сохранить настройки и закрыть окно", "help on \"ОК\" explains it (" + onOk + ")");
  Check(HelpPopupText(dialog, ::GetDlgItem(dialog, kIdMoreButton)).rfind("Дополнительные функции: ", 0) == 0,
        "help on \"Дополнительно\" lists the extra functions");
  // The edit boxes have no help of their own: the help of the pages stands in.
  for (const int id : {kIdFirstPageEdit, kIdFirstPageEdit + 1}) {
    const std::string text = HelpPopupText(dialog, FindChild(dialog, id), nullptr,
                                           id == kIdFirstPageEdit ? L"help_host" : nullptr);
    Check(text == kPagesHint,
          "help on edit box " + std::to_string(id) + " shows the help of the pages (" + text + ")");
  }
  // Help on the tab area shows the hint of the control under the pointer, at its corner.
  HWND tabs = ::GetDlgItem(dialog, kIdPages);
  RECT strip{};
  TabCtrl_GetItemRect(tabs, 0, &strip);
  POINT onStrip{strip.left + 3, strip.top + 3};
  ::ClientToScreen(tabs, &onStrip);
  ::SetCursorPos(onStrip.x, onStrip.y);
  RECT tabsBounds{};
  ::GetWindowRect(tabs, &tabsBounds);
  POINT corner{};
  Check(HelpPopupText(dialog, tabs, &corner) == "Настройка параметров и подробная информация о драйвере" &&
            corner.x == tabsBounds.left && corner.y == tabsBounds.top,
        "help on the tabs shows the hint of the control under the pointer at its corner");
}

// Drops the command menu down with "Дополнительно", reads it and closes it again.
std::vector<std::string> CommandMenu(HWND dialog, const wchar_t* shotName = nullptr) {
  Click(::GetDlgItem(dialog, kIdMoreButton));
  HWND menuWindow = nullptr;
  if (!WaitFor([&] {
        menuWindow = ::FindWindowW(L"#32768", nullptr);
        return menuWindow != nullptr && ::IsWindowVisible(menuWindow);
      }))
    return {};
  const auto menu = reinterpret_cast<HMENU>(::SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
  std::vector<std::string> texts = MenuTexts(menu);
  if (shotName != nullptr) Screenshot(shotName, {dialog, menuWindow});
  PressKey(menuWindow, VK_ESCAPE);
  if (!WaitFor([&] { return ::IsWindowVisible(menuWindow) == FALSE; }))
    ::PostMessageW(dialog, WM_CANCELMODE, 0, 0);
  WaitFor([&] { return ::IsWindowVisible(menuWindow) == FALSE; });
  return texts;
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : " | ") + text;
  return joined;
}

void SetDebugLog(TestDevice& device, bool enabled) {
  uiThread->Run([&] { device.SetSettingValue("DebugLogEnabled", OleVariant::Boolean(enabled)); });
}

// The debug-log submenu follows the setting each time the menu opens; "Справка" is missing
// without a help file, and so is the separator before it.
void CheckCommandMenu(HWND dialog, TestDevice& device) {
  const std::vector<std::string> standard{"Установить значения по-умолчанию", "Выполнить тест устройства",
                                          "Показать полный список настроек"};
  SetDebugLog(device, false);
  const std::vector<std::string> withoutLogsShown = CommandMenu(dialog);
  Check(withoutLogsShown == standard,
        "with the debug log off the menu has no debug-log submenu and no help (" + Joined(withoutLogsShown) +
            ")");
  SetDebugLog(device, true);
  std::vector<std::string> withLogs = standard;
  withLogs.insert(withLogs.end(), {"Просмотр отладочных логов", ">Открыть текущий отладочный лог",
                                   ">Открыть папку с файлами отладочных логов"});
  const std::vector<std::string> withLogsShown = CommandMenu(dialog, L"command_menu");
  Check(withLogsShown == withLogs,
        "with the debug log on the menu shows the debug-log submenu (" + Joined(withLogsShown) + ")");

  // The device has no folder of its own here, so today's debug log is not found.
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kIdFirstMenuCommand + 4, 0), 0);
  HWND box = WaitForDialog(L"Ошибка");
  Check(box != nullptr && ::GetWindow(box, GW_OWNER) == dialog &&
            HasChildWithText(box, "Отладочный лог не найден!"),
        "a missing debug log is reported in an error box owned by the dialog");
  if (box != nullptr) {
    CheckTexts(box, "the error box");
    Screenshot(L"error_box", {dialog, box});
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    Check(WaitFor([&] { return ::IsWindow(box) == FALSE; }), "the error box closes");
  }
  SetDebugLog(device, false);
}

// The text of the hint the dialog's tooltip shows for `control`.
std::string ToolTipText(HWND dialog, HWND control) {
  for (HWND tip = ::FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); tip != nullptr;
       tip = ::FindWindowExW(nullptr, tip, TOOLTIPS_CLASSW, nullptr)) {
    if (::GetWindow(tip, GW_OWNER) != dialog) continue;
    wchar_t text[256] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = ::GetParent(control);
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = text;
    ::SendMessageW(tip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
    if (text[0] != L'\0') return Narrow(text);
  }
  return "";
}

// The device test passes and shows the driver's notice; once it is closed the dialog is in front
// again with the keyboard, so that Tab moves on without a click first.
void CheckDeviceTest(HWND dialog, TestDevice& device) {
  uiThread->Run([&] { device.showsNotice = true; });
  HWND host = FindChild(dialog, kIdFirstPageEdit);
  ::SetForegroundWindow(dialog);
  Focus(dialog, host);
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kIdFirstMenuCommand + 1, 0), 0);
  HWND notice = WaitForDialog(L"Информация");
  Check(notice != nullptr && HasChildWithText(notice, "Выполнено успешно"),
        "the test shows \"Выполнено успешно\"");
  if (notice != nullptr) {
    ::PostMessageW(notice, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return ::IsWindow(notice) == FALSE; });
  }
  Check(WaitFor([&] { return !TestedHost(device).empty(); }) &&
            TestedHost(device) == "https://typed.example" &&
            WaitFor([&] { return Setting(device, "Host") == "https://saved.example"; }),
        "the device test uses the typed host and puts the saved one back");
  Check(WaitFor([&] { return ::GetForegroundWindow() == dialog && FocusOf(dialog) == host; }),
        "after the notice the dialog is in front with the keyboard where it was");
  TypeKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(dialog) == FindChild(dialog, kIdFirstPageEdit + 1); }),
        "Tab then moves on at once, without a click");
  uiThread->Run([&] { device.showsNotice = false; });
}

using ui_probe::Clock;
using ui_probe::LongestAnswer;
using ui_probe::SecondsSince;

std::string Seconds(double value) {
  char text[32] = {};
  std::snprintf(text, sizeof(text), "%.2f s", value);
  return text;
}

HWND ErrorBox() {
  HWND box = ::FindWindowW(L"#32770", L"Ошибка");
  return box != nullptr && ::IsWindowVisible(box) ? box : nullptr;
}

// The device test against a server that never answers: the dialog answers all the while with only
// "Отмена" enabled, and the test ends by itself at its limit with an error box, or at once when
// the user gives up, without one.
void CheckDeviceTestWait(HWND dialog, TestDevice& device) {
  ui_probe::SilentServer server;
  if (!Check(server.Listening(), "a silent server listens")) return;
  uiThread->Run([&] { device.requestUrl = server.Url("/api/v2/ping"); });
  HWND ok = ::GetDlgItem(dialog, IDOK);
  HWND cancel = ::GetDlgItem(dialog, IDCANCEL);
  HWND host = FindChild(dialog, kIdFirstPageEdit);
  const double limit = std::chrono::duration<double>(kDeviceTestRequestLimit).count();
  HWND status = ::GetDlgItem(dialog, kIdDeviceTestStatus);
  HWND more = ::GetDlgItem(dialog, kIdMoreButton);
  Check(status != nullptr && !::IsWindowVisible(status) && ::IsWindowVisible(more) &&
            ToolTipText(dialog, cancel) == "Закрыть без сохранения",
        "before the test no running text, and \"Отмена\" closes without saving (" +
            ToolTipText(dialog, cancel) + ")");

  Clock::time_point start = Clock::now();
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kIdFirstMenuCommand + 1, 0), 0);
  // The controls are disabled one after the other.
  Check(WaitFor([&] {
          return !::IsWindowEnabled(ok) && !::IsWindowEnabled(host) &&
                 !::IsWindowEnabled(::GetDlgItem(dialog, kIdPages)) && !::IsWindowEnabled(more) &&
                 ::IsWindowEnabled(cancel);
        }),
        "while the test waits only \"Отмена\" is enabled");
  Check(::IsWindowVisible(status) && WindowText(status) == kDeviceTestRunning && !::IsWindowVisible(more),
        "while the test runs the dialog says \"" + WindowText(status) + "\" where \"Дополнительно\" was");
  Check(ToolTipText(dialog, cancel) == kStopDeviceTestHint,
        "the hint of \"Отмена\" says it stops the test (" + ToolTipText(dialog, cancel) + ")");
  const std::string stopHelp = HelpPopupText(dialog, cancel);
  Check(stopHelp == TfrmCommonSettings::GetHelpByID(kStopDeviceTestHelpID),
        "help on \"Отмена\" says it stops the test and keeps the dialog (" + stopHelp + ")");
  RECT pageArea{};
  ::GetWindowRect(host, &pageArea);
  ::SetCursorPos((pageArea.left + pageArea.right) / 2, (pageArea.top + pageArea.bottom) / 2);
  Check(WaitFor([&] {
          CURSORINFO cursor{};
          cursor.cbSize = sizeof(cursor);
          return ::GetCursorInfo(&cursor) && cursor.hCursor == ::LoadCursorW(nullptr, IDC_WAIT);
        }),
        "the pointer over the dialog is the wait cursor");
  CheckTexts(dialog, "the dialog while the test runs");
  Screenshot(L"device_test_wait", {dialog});
  const double longest = LongestAnswer(dialog, limit + 10, [] { return ErrorBox() != nullptr; });
  const double ended = SecondsSince(start);
  HWND box = ErrorBox();
  Check(longest < 0.5, "the dialog answers within " + Seconds(longest) + " while the test waits");
  // The first request takes its whole limit; the second is not started.
  Check(
      box != nullptr && ended >= limit - 0.5 && ended <= limit + 3,
      "the test ends by itself after " + Seconds(ended) + " (limit " + Seconds(limit) + " for each request)");
  if (box != nullptr) {
    std::string text;
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
      text += WindowText(child) + "|";
    Check(text.find("Истекло время ожидания ответа сервера") != std::string::npos,
          "the error box says the server did not answer (" + text + ")");
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return ::IsWindow(box) == FALSE; });
  }
  Check(
      WaitFor([&] { return ::IsWindowEnabled(ok) != FALSE && ::IsWindowEnabled(host) != FALSE; }) &&
          !::IsWindowVisible(status) && ::IsWindowVisible(more) &&
          ToolTipText(dialog, cancel) == "Закрыть без сохранения",
      "after the test the controls are enabled again, \"Дополнительно\" is back and \"Отмена\" closes again");

  struct GiveUp {
    const char* name;
    std::function<void()> act;
  };
  const GiveUp ways[] = {{"Escape", [&] { PressKey(cancel, VK_ESCAPE); }},
                         {"\"Отмена\"", [&] { Click(cancel); }}};
  for (const GiveUp& way : ways) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kIdFirstMenuCommand + 1, 0), 0);
    WaitFor([&] { return ::IsWindowEnabled(ok) == FALSE; });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    start = Clock::now();
    way.act();
    const bool back = WaitFor([&] { return ::IsWindowEnabled(ok) != FALSE; });
    const double gaveUp = SecondsSince(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Check(back && gaveUp < 0.5 && ErrorBox() == nullptr && ::IsWindowVisible(dialog),
          std::string(way.name) + " gives up the wait within " + Seconds(gaveUp) +
              ", without an error box, and the dialog stays open");
  }
  uiThread->Run([&] { device.requestUrl.clear(); });
}

// The info tip the list asks for while the pointer rests on `column` of `row`.
std::string InfoTipAt(HWND list, HWND table, int row, int column) {
  RECT cell{};
  // The bounds of the first column's "subitem" are the whole row's; its label is the column's cell.
  ListView_GetSubItemRect(table, row, column, column == 0 ? LVIR_LABEL : LVIR_BOUNDS, &cell);
  POINT centre{(cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2};
  ::ClientToScreen(table, &centre);
  ::SetCursorPos(centre.x, centre.y);
  // The pointer reaches its place through the X server: the list must not read the old one.
  WaitFor([&] {
    POINT at{};
    return ::GetCursorPos(&at) && at.x == centre.x && at.y == centre.y;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  wchar_t text[256] = L"row text";
  NMLVGETINFOTIPW tip{};
  tip.hdr = {table, static_cast<UINT_PTR>(kIdSettingsTable), LVN_GETINFOTIPW};
  tip.pszText = text;
  tip.cchTextMax = 256;
  tip.iItem = row;
  ::SendMessageW(list, WM_NOTIFY, kIdSettingsTable, reinterpret_cast<LPARAM>(&tip));
  return Narrow(text);
}

// The value column keeps its 90 pixels; a value it cuts shows in full as the info tip, and a value
// shown in full gets none.
void CheckInfoTips(HWND list, HWND table) {
  // A caption that 90 pixels would cut widens its column, at the cost of the name column.
  const int widths[] = {ListView_GetColumnWidth(table, 0), ListView_GetColumnWidth(table, 1),
                        ListView_GetColumnWidth(table, 2)};
  Check((ListView_GetExtendedListViewStyle(table) & LVS_EX_INFOTIP) != 0 && widths[1] == AtDpi(90) &&
            widths[2] >= AtDpi(90) && widths[0] + widths[2] == AtDpi(190) + AtDpi(90),
        "columns of " + std::to_string(widths[0]) + ", " + std::to_string(widths[1]) + " and " +
            std::to_string(widths[2]) + " pixels, as wide as 190, 90 and 90 together, with info tips");
  LOGFONTW rows{};
  LOGFONTW header{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(table, WM_GETFONT, 0, 0)), sizeof(rows), &rows);
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(ListView_GetHeader(table), WM_GETFONT, 0, 0)),
               sizeof(header), &header);
  Check(header.lfHeight == rows.lfHeight && std::wstring(header.lfFaceName) == rows.lfFaceName,
        "the header's captions are in the rows' font (height " + std::to_string(header.lfHeight) + " and " +
            std::to_string(rows.lfHeight) + ")");
  struct Case {
    const char* Row;
    int Column;
    const char* Tip;
  };
  const Case cases[] = {{"Хост", 1, "https://saved.example"},
                        {"Хост", 2, "https://default.example"},
                        {"Повторы", 1, ""},
                        {"Повторы", 2, ""},
                        {"Хост", 0, ""}};
  for (const Case& test : cases) {
    const std::string tip = InfoTipAt(list, table, RowOf(table, test.Row), test.Column);
    Check(tip == test.Tip, std::string("info tip over \"") + test.Row + "\" column " +
                               std::to_string(test.Column) + ": \"" + tip + "\"");
  }
}

// Edits in the settings list: a number from text, a flag from the drop-down, an edit dropped with
// Escape; then the list is confirmed.
void CheckSettingsList(HWND dialog, TestDevice& device) {
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kIdFirstMenuCommand + 2, 0), 0);
  HWND list = WaitForDialog(L"Список настроек");
  if (!Check(list != nullptr && ::GetWindow(list, GW_OWNER) == dialog,
             "the settings list opens, owned by the dialog"))
    return;
  HWND table = ::GetDlgItem(list, kIdSettingsTable);
  HWND edit = FindChild(table, kIdValueEdit);
  HWND combo = FindChild(table, kIdValueCombo);
  Check(ListView_GetItemCount(table) == device.SettingsCount(), "one row per setting");
  Check((::GetWindowLongPtrW(table, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0 &&
            (::GetWindowLongPtrW(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0,
        "the table and its edit box have the standard client edge");
  CheckInfoTips(list, table);

  const int token = RowOf(table, "Token");
  Check(CellText(table, token, 1) == "••••••••", "the token's value is masked in the list");
  SelectRow(table, token);
  PressKey(table, VK_RETURN);
  Check(WaitFor([&] { return ::IsWindowVisible(edit) != FALSE; }) && WindowText(edit) == "secret-1" &&
            ::SendMessageW(edit, EM_GETPASSWORDCHAR, 0, 0) == 0x2022,
        "the token's edit box holds the value and masks it");
  PressKey(edit, VK_ESCAPE);
  WaitFor([&] { return ::IsWindowVisible(edit) == FALSE; });

  const int retries = RowOf(table, "Повторы");
  SelectRow(table, retries);
  Check(WaitFor([&] { return WindowText(::GetDlgItem(list, kIdStatusText)) == "Число повторов запроса"; }),
        "selecting a row shows its description");
  PressKey(table, VK_RETURN);
  Check(WaitFor([&] { return ::IsWindowVisible(edit) != FALSE; }) && WindowText(edit) == "3",
        "Enter in the table opens the edit box with the value");
  ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"abc"));
  PressKey(edit, VK_RETURN);
  Check(WaitFor([&] { return ::IsWindowVisible(edit) == FALSE; }) && CellText(table, retries, 1) == "0" &&
            Setting(device, "Retries") == "0",
        "\"abc\" for a number and Enter store 0");

  const int strict = RowOf(table, "Строго");
  SelectRow(table, strict);
  PressKey(table, VK_F2);
  Check(WaitFor([&] { return ::IsWindowVisible(combo) != FALSE; }) &&
            ::SendMessageW(combo, CB_GETCURSEL, 0, 0) == 0,
        "F2 on a flag opens the drop-down with \"False\" chosen");
  ::SendMessageW(combo, CB_SETCURSEL, 1, 0);
  PressKey(combo, VK_RETURN);
  Check(WaitFor([&] { return CellText(table, strict, 1) == "True"; }) && Setting(device, "Strict") == "True",
        "choosing \"True\" and Enter store the boolean true");

  const int host = RowOf(table, "Хост");
  SelectRow(table, host);
  PressKey(table, VK_RETURN);
  WaitFor([&] { return ::IsWindowVisible(edit) != FALSE; });
  ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"https://dropped.example"));
  PressKey(edit, VK_ESCAPE);
  Check(WaitFor([&] { return ::IsWindowVisible(edit) == FALSE; }) && ::IsWindow(list) &&
            Setting(device, "Host") == "https://saved.example",
        "Escape in the edit box drops the edit and keeps the list open");

  // Help on the list's controls reaches the dialog through the list, its owner, with their contexts.
  const std::string tableHelp = HelpPopupText(list, table);
  Check(tableHelp == TfrmCommonSettings::GetHelpByID(kSettingsTableHelpID),
        "help on the settings table explains the table (" + tableHelp + ")");
  const std::string resetHelp = HelpPopupText(list, ::GetDlgItem(list, kIdResetAllButton));
  Check(resetHelp == "Установить все значения по-умолчанию",
        "help on \"По-умолчанию\" shows that button's hint (" + resetHelp + ")");

  CheckTexts(list, "the settings list");
  Screenshot(L"settings_list", {list});
  Click(::GetDlgItem(list, IDOK));
  Check(WaitFor([&] { return ::IsWindow(list) == FALSE; }), "\"ОК\" closes the list");
}

// Why a file could not be opened, in words the user reads: no "%1" left in them, the file named.
void CheckOpenFailures() {
  struct Case {
    const char* name;
    INT_PTR answer;
    DWORD error;
    const char* says;
  };
  const Case cases[] = {
      {"no association", SE_ERR_NOASSOC, ERROR_SUCCESS, "нет программы, которая открывает файлы этого типа"},
      {"no association as the last error", 0, ERROR_NO_ASSOCIATION, "нет программы"},
      {"a file not found", SE_ERR_FNF, ERROR_FILE_NOT_FOUND, "файл не найден"},
      {"a system message with a place for the file", 0, ERROR_BAD_EXE_FORMAT, "«C:\\logs\\Debug.log»"}};
  for (const Case& test : cases) {
    const std::string text = OpenFailureText("C:\\logs\\Debug.log", test.answer, test.error);
    Check(text.rfind("Не удалось открыть «C:\\logs\\Debug.log»: ", 0) == 0 &&
              text.find(test.says) != std::string::npos && text.find('%') == std::string::npos,
          std::string("opening fails with ") + test.name + ": " + text);
  }
  // The real thing: a file of a type no program is registered for.
  wchar_t folder[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, folder);
  const std::wstring file = std::wstring(folder) + L"ls_tallowmer_probe.unopenable-kind";
  ::CloseHandle(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  SettingsDialogWindow view;
  std::thread opener([&] { view.OpenWithAssociatedProgram(Narrow(file), TShowWindow::Restored); });
  HWND box = WaitForDialog(L"Ошибка");
  std::string text;
  for (HWND child = box != nullptr ? ::GetWindow(box, GW_CHILD) : nullptr; child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT))
    text += WindowText(child) + "|";
  if (box != nullptr) ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  opener.join();
  ::DeleteFileW(file.c_str());
  Check(box != nullptr && text.find(Narrow(file)) != std::string::npos && text.find('%') == std::string::npos,
        "a file no program opens is reported with its name and without a raw \"%1\" (" + text + ")");
}

// One showing of the dialog; `user` plays the user on its own thread and closes the dialog.
bool RunDialog(TestDevice& device, const std::function<void(HWND)>& user) {
  std::thread player([&] {
    HWND dialog = WaitForDialog(L"Настройки");
    if (!Check(dialog != nullptr, "the dialog \"Настройки\" opens")) return;
    user(dialog);
    // Whatever happened, the dialog must not stay open.
    if (!WaitFor([&] { return ::IsWindow(dialog) == FALSE; }))
      ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  SettingsDialogWindow view;
  const bool confirmed = ShowSettingsForm(device, {&TfrmBaseSettings::Create<TfrmMainSettings>}, false, view);
  player.join();
  return confirmed;
}

void TypeHost(HWND dialog, const wchar_t* host) {
  ::SendMessageW(FindChild(dialog, kIdFirstPageEdit), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(host));
}

void Run() {
  if (expectedDpi == 96) CheckOpenFailures();
  const UiThread thread;
  uiThread = &thread;
  auto* device = new TestDevice;
  device->Initialize();
  const DispatchPtr holder = DispatchPtr::Attach(device);
  device->SetSettingValue("Host", OleVariant::Text("https://saved.example"));
  device->SetSettingValue("Token", OleVariant::Text("secret-1"));

  const bool confirmed = RunDialog(*device, [&](HWND dialog) {
    CheckDialogLayout(dialog, *device);
    CheckKeyboard(dialog);
    CheckHelp(dialog);
    CheckCommandMenu(dialog, *device);
    TypeHost(dialog, L"https://typed.example");
    CheckDeviceTest(dialog, *device);
    // The same at every resolution and in every font: measured once per font.
    if (expectedDpi == 96) CheckDeviceTestWait(dialog, *device);
    CheckSettingsList(dialog, *device);
    Check(WindowText(FindChild(dialog, kIdFirstPageEdit)) == "https://saved.example",
          "after the list the page shows the stored values again");
    TypeHost(dialog, L"https://typed.example");
    Click(::GetDlgItem(dialog, IDOK));
  });
  Check(
      confirmed && Setting(*device, "Host") == "https://typed.example" && Setting(*device, "Retries") == "0",
      "\"ОК\" confirms: the typed host and the list's edits are kept (" + std::to_string(confirmed) + " " +
          Setting(*device, "Host") + " " + Setting(*device, "Retries") + ")");

  device->SetSettingValue("Retries", OleVariant::Int32(5));
  const bool cancelled = !RunDialog(*device, [&](HWND dialog) {
    TypeHost(dialog, L"https://discarded.example");
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kIdFirstMenuCommand + 2, 0), 0);
    HWND list = WaitForDialog(L"Список настроек");
    HWND table = ::GetDlgItem(list, kIdSettingsTable);
    SelectRow(table, RowOf(table, "Повторы"));
    PressKey(table, VK_RETURN);
    HWND edit = FindChild(table, kIdValueEdit);
    WaitFor([&] { return ::IsWindowVisible(edit) != FALSE; });
    ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"9"));
    PressKey(edit, VK_RETURN);
    WaitFor([&] { return Setting(*device, "Retries") == "9"; });
    Click(::GetDlgItem(list, IDOK));
    WaitFor([&] { return ::IsWindow(list) == FALSE; });
    Click(::GetDlgItem(dialog, IDCANCEL));
  });
  Check(
      cancelled && Setting(*device, "Host") == "https://typed.example" && Setting(*device, "Retries") == "5",
      "\"Отмена\" discards the typed host and puts back the values of before the list");
}

}  // namespace
}  // namespace tallowmer

// Arguments: the screen's dots per inch that the run was set up with (96 when not given), the
// folder for the pictures (none when not given) and the end of their names.
int main(int argc, char** argv) {
  if (argc > 1) tallowmer::expectedDpi = std::atoi(argv[1]);
  if (argc > 2) tallowmer::shotFolder = tallowmer::platform::windows::Widen(argv[2]);
  if (argc > 3) tallowmer::shotTag = L"_" + tallowmer::platform::windows::Widen(argv[3]);
  tallowmer::Run();
  std::printf("%d passed, %d failed\n", tallowmer::passed.load(), tallowmer::failed.load());
  return tallowmer::failed == 0 ? 0 : 1;
}
