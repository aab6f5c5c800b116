// Plays the user of the settings dialog from another process of the same Wine prefix: waits for
// the dialog that "ShowSettingsDlg" opens, checks its windows, types a host address, opens the full
// settings list, takes screenshots and closes everything with OK or Cancel.
// Usage: settings_robot.exe ok|cancel HOST SHOT_DIR [LISTED_HOST] [--wait=SECONDS] [--tag=NAME]
//        [--device-test]
// LISTED_HOST is the Host value the settings list has to show (the one saved before the dialog);
// NAME ends the screenshots' names (the font and the resolution of the run, say).
// --device-test first runs the driver's device test against a server that answers in six seconds.
// Every static text, button, tab and column caption of the dialog and of the list is measured in
// its own font: a text that its control cuts short fails the run, named.
// Prints one line per check and exits with 0 only when every check passed.

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/ui/windows/SilentServer.h"
#include "tests/ui/windows/UiProbe.h"
#include "ui/windows/SettingsDialogWindow.h"
#include "ui/windows/SettingsListWindow.h"
#include "ui/windows/WinUi.h"

namespace {

namespace probe = tallowmer::ui_probe;

// The dialog's own control identifiers: the robot drives the windows the driver builds.
constexpr int kTabControlId = tallowmer::ui_windows::kIdPages;
constexpr int kHostEditId = tallowmer::ui_windows::kIdFirstPageEdit;
constexpr int kTokenEditId = tallowmer::ui_windows::kIdFirstPageEdit + 1;
constexpr int kMoreButtonId = tallowmer::ui_windows::kIdMoreButton;
// "Выполнить тест устройства", the second item of the command menu.
constexpr int kDeviceTestCommand = tallowmer::ui_windows::kIdFirstMenuCommand + 1;
// "Показать полный список настроек", the third item of the command menu.
constexpr int kSettingsListCommand = tallowmer::ui_windows::kIdFirstMenuCommand + 2;
constexpr int kListViewId = tallowmer::ui_windows::kIdSettingsTable;
constexpr int kListDefaultButtonId = tallowmer::ui_windows::kIdResetAllButton;
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kDialogCaption[] = L"Настройки";
constexpr wchar_t kListCaption[] = L"Список настроек";
constexpr wchar_t kParametersTab[] = L"Параметры";
constexpr wchar_t kInformationTab[] = L"Информация";
constexpr wchar_t kPasswordChar = L'\x2022';
// The list names a setting by its caption, not its identifier: "Host" shows as "Хост".
constexpr wchar_t kHostRowName[] = L"Хост";
// A cross-process message that takes longer than this means the dialog's thread is stuck. Both
// limits only decide when a broken dialog is given up on, so they are sized for a loaded machine,
// where Wine's processes may wait seconds for a core.
constexpr UINT kSendTimeoutMs = 20000;
constexpr DWORD kCloseWaitMs = 30000;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
  return result;
}

// Output goes out as UTF-8 bytes: the test script reads it from a file, not from a console.
void Print(const std::wstring& line) {
  const std::string text = Utf8(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

class Report {
 public:
  bool Check(bool condition, const std::wstring& what) {
    Print(std::wstring(condition ? L"ok: " : L"FAILED: ") + what);
    (condition ? passed_ : failed_)++;
    return condition;
  }
  void Note(const std::wstring& what) { Print(L"    " + what); }
  int Failed() const { return failed_; }
  int Passed() const { return passed_; }

 private:
  int passed_ = 0;
  int failed_ = 0;
};

// Owns a kernel handle.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Memory inside the dialog's process: common controls read and write their structures there.
class RemoteBuffer {
 public:
  RemoteBuffer(HANDLE process, size_t size)
      : process_(process), address_(::VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {}
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  ~RemoteBuffer() {
    if (address_ != nullptr) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  explicit operator bool() const { return address_ != nullptr; }
  char* At(size_t offset) const { return static_cast<char*>(address_) + offset; }
  bool Write(size_t offset, const void* data, size_t size) const {
    SIZE_T written = 0;
    return ::WriteProcessMemory(process_, At(offset), data, size, &written) && written == size;
  }
  bool Read(const void* remote, void* data, size_t size) const {
    SIZE_T read = 0;
    return ::ReadProcessMemory(process_, remote, data, size, &read) && read == size;
  }

 private:
  HANDLE process_;
  void* address_;
};

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (!done()) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(100);
  }
  return true;
}

std::wstring ClassOf(HWND window) {
  return probe::WindowClass(window);
}

std::optional<std::wstring> TextOf(HWND window) {
  return probe::ControlText(window);
}

// Button captions may carry "&" before an access key.
std::wstring WithoutAccessKeys(const std::wstring& text) {
  std::wstring plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'&' && i + 1 < text.size()) ++i;
    plain += text[i];
  }
  return plain;
}

std::optional<LRESULT> Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &answer)) {
    return std::nullopt;
  }
  return static_cast<LRESULT>(answer);
}

bool SetText(HWND window, const std::wstring& text) {
  return Ask(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())).value_or(FALSE) == TRUE;
}

HWND TopLevelDialog(const wchar_t* caption) {
  const HWND window = ::FindWindowW(kDialogClass, caption);
  return window != nullptr && ::IsWindowVisible(window) ? window : nullptr;
}

// Asks a common control for a text through an item structure (TCITEMW, LVITEMW, LVCOLUMNW) that
// has to live in the control's process, with the text buffer right behind it.
template <typename Item>
std::optional<std::wstring> AskItemText(HANDLE process, HWND control, UINT message, WPARAM wParam,
                                        Item item) {
  constexpr size_t kChars = 512;
  const RemoteBuffer buffer(process, sizeof(Item) + kChars * sizeof(wchar_t));
  if (!buffer) return std::nullopt;
  item.pszText = reinterpret_cast<LPWSTR>(buffer.At(sizeof(Item)));
  item.cchTextMax = kChars;
  const std::vector<wchar_t> blank(kChars, L'\0');
  if (!buffer.Write(0, &item, sizeof(Item)) ||
      !buffer.Write(sizeof(Item), blank.data(), kChars * sizeof(wchar_t)))
    return std::nullopt;
  if (!Ask(control, message, wParam, reinterpret_cast<LPARAM>(buffer.At(0)))) return std::nullopt;
  // A control may point the item at its own text instead of copying it.
  Item answered{};
  std::vector<wchar_t> text(kChars, L'\0');
  if (!buffer.Read(buffer.At(0), &answered, sizeof(Item)) || answered.pszText == nullptr ||
      !buffer.Read(answered.pszText, text.data(), (kChars - 1) * sizeof(wchar_t))) {
    return std::nullopt;
  }
  return std::wstring(text.data());
}

std::optional<std::wstring> TabText(HANDLE process, HWND tab, int index) {
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  return AskItemText(process, tab, TCM_GETITEMW, index, item);
}

std::optional<std::wstring> ColumnText(HANDLE process, HWND list, int index) {
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT;
  return AskItemText(process, list, LVM_GETCOLUMNW, index, column);
}

std::optional<std::wstring> CellText(HANDLE process, HWND list, int row, int column) {
  LVITEMW item{};
  item.iSubItem = column;
  return AskItemText(process, list, LVM_GETITEMTEXTW, row, item);
}

bool IsWow64(HANDLE process) {
  BOOL wow64 = FALSE;
  return ::IsWow64Process(process, &wow64) && wow64;
}

// Measures the static texts of a window of another process inside that process: text_probe.dll,
// beside this program, is hooked into the window's thread and sends the measures back.
class RemoteTextMeasure {
 public:
  RemoteTextMeasure() : request_(::RegisterWindowMessageW(probe::kMeasureTextsMessage)) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Receive;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kReceiverClass;
    ::RegisterClassW(&windowClass);
    receiver_ = ::CreateWindowExW(0, kReceiverClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, this);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    folder.resize(folder.find_last_of(L'\\') + 1);
    module_ = ::LoadLibraryW((folder + L"text_probe.dll").c_str());
  }
  RemoteTextMeasure(const RemoteTextMeasure&) = delete;
  RemoteTextMeasure& operator=(const RemoteTextMeasure&) = delete;
  ~RemoteTextMeasure() {
    if (receiver_ != nullptr) ::DestroyWindow(receiver_);
    if (module_ != nullptr) ::FreeLibrary(module_);
  }

  std::optional<std::vector<probe::TextFit>> Measure(HWND window) {
    const auto hook = module_ != nullptr ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(
                                               ::GetProcAddress(module_, "MeasureTextsHook")))
                                         : nullptr;
    if (hook == nullptr || receiver_ == nullptr) return std::nullopt;
    HHOOK installed =
        ::SetWindowsHookExW(WH_CALLWNDPROC, hook, module_, ::GetWindowThreadProcessId(window, nullptr));
    if (installed == nullptr) return std::nullopt;
    answer_.reset();
    // The answer arrives as a sent message while this thread waits for its own to return.
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, request_, reinterpret_cast<WPARAM>(receiver_), 0, SMTO_NORMAL,
                          kSendTimeoutMs, &ignored);
    ::UnhookWindowsHookEx(installed);
    if (!answer_) return std::nullopt;
    return probe::Deserialize(*answer_);
  }

 private:
  static constexpr const wchar_t* kReceiverClass = L"LsTallowmerTextMeasures";

  static LRESULT CALLBACK Receive(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      ::SetWindowLongPtrW(
          window, GWLP_USERDATA,
          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    } else if (message == WM_COPYDATA) {
      auto* self = reinterpret_cast<RemoteTextMeasure*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (self != nullptr && data->dwData == self->request_ && data->lpData != nullptr) {
        self->answer_ =
            std::wstring(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
        while (!self->answer_->empty() && self->answer_->back() == L'\0') self->answer_->pop_back();
        return TRUE;
      }
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }

  UINT request_;
  HWND receiver_ = nullptr;
  HMODULE module_ = nullptr;
  std::optional<std::wstring> answer_;
};

class Robot {
 public:
  Robot(std::wstring mode, std::wstring host, std::wstring shotDir, std::optional<std::wstring> listedHost,
        DWORD waitMs, std::wstring tag, bool deviceTest)
      : mode_(std::move(mode)),
        host_(std::move(host)),
        shotDir_(std::move(shotDir)),
        listedHost_(std::move(listedHost)),
        waitMs_(waitMs),
        tag_(std::move(tag)),
        deviceTest_(deviceTest) {}

  int Run() {
    if (!FindDialog() || !CheckDialog() || (deviceTest_ && !CheckDeviceTest()) || !TypeHost() ||
        !RunSettingsList() || !CloseDialog())
      Abandon();
    Print(std::to_wstring(report_.Passed()) + L" passed, " + std::to_wstring(report_.Failed()) + L" failed");
    return report_.Failed() == 0 ? 0 : 1;
  }

 private:
  bool FindDialog() {
    Print(L"waiting up to " + std::to_wstring(waitMs_ / 1000) + L" s for the settings dialog");
    const bool found =
        WaitFor([this] { return (dialog_ = TopLevelDialog(kDialogCaption)) != nullptr; }, waitMs_);
    if (!report_.Check(found,
                       L"the settings dialog appears within " + std::to_wstring(waitMs_ / 1000) + L" s"))
      return false;
    DWORD processId = 0;
    ::GetWindowThreadProcessId(dialog_, &processId);
    process_ = std::make_unique<Handle>(
        ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                      FALSE, processId));
    if (!report_.Check(process_->get() != nullptr, L"the dialog's process opens for reading its controls"))
      return false;
    // Item structures hold pointers: their layout is the one of the dialog's process.
    return report_.Check(IsWow64(process_->get()) == IsWow64(::GetCurrentProcess()),
                         L"this program has the bitness of the dialog's process");
  }

  static std::wstring Seconds(double value) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%.2f s", value);
    return text;
  }

  static HWND ErrorBox() {
    const HWND box = ::FindWindowW(kDialogClass, L"Ошибка");
    return box != nullptr && ::IsWindowVisible(box) ? box : nullptr;
  }

  std::wstring TextsOf(HWND window) {
    std::wstring texts;
    for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT))
      texts += TextOf(child).value_or(L"") + L"|";
    return texts;
  }

  static HWND InformationBox() {
    const HWND box = ::FindWindowW(kDialogClass, L"Информация");
    return box != nullptr && ::IsWindowVisible(box) ? box : nullptr;
  }

  // The driver's own device test against a slow but working service, one that answers each
  // request after six seconds: the dialog says the test is running and answers all the while with
  // only "Отмена" enabled; the test passes (two requests, twelve seconds, more than a sale's
  // single request would wait but within what each request is allowed), and once its notice is
  // closed the dialog is in front again. The page gets its host back afterwards.
  bool CheckDeviceTest() {
    constexpr double kAnswerSeconds = 6.0;
    probe::SlowServer server(std::chrono::milliseconds(static_cast<int>(kAnswerSeconds * 1000)));
    if (!report_.Check(server.Listening(), L"a server answering in 6 s listens")) return false;
    const std::wstring before = TextOf(hostEdit_).value_or(L"");
    const std::string slow = server.Url("/api/v2");
    if (!report_.Check(SetText(hostEdit_, std::wstring(slow.begin(), slow.end())),
                       L"edHost takes the slow server"))
      return false;
    const HWND ok = ::GetDlgItem(dialog_, IDOK);
    const HWND cancel = ::GetDlgItem(dialog_, IDCANCEL);
    const HWND status = ::GetDlgItem(dialog_, tallowmer::ui_windows::kIdDeviceTestStatus);
    const HWND more = ::GetDlgItem(dialog_, kMoreButtonId);
    const auto onlyCancel = [&] {
      return !::IsWindowEnabled(ok) && !::IsWindowEnabled(hostEdit_) && ::IsWindowEnabled(cancel);
    };

    const probe::Clock::time_point start = probe::Clock::now();
    ::PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(kDeviceTestCommand, 0), 0);
    report_.Check(WaitFor(onlyCancel, 5000), L"while the driver's test runs only \"Отмена\" is enabled");
    const std::wstring running = status != nullptr ? TextOf(status).value_or(L"") : L"";
    report_.Check(status != nullptr && ::IsWindowVisible(status) &&
                      running == L"Выполняется тест устройства…" && !::IsWindowVisible(more),
                  L"the dialog says \"" + running + L"\" in the place of \"Дополнительно\"");
    Screenshot(dialog_, L"device_test_running" + tag_);
    HWND box = nullptr;
    const double longest = probe::LongestAnswer(
        dialog_, 40, [&] { return (box = InformationBox()) != nullptr || ErrorBox() != nullptr; });
    const double ended = probe::SecondsSince(start);
    report_.Check(longest < 0.5, L"the dialog answers within " + Seconds(longest) + L" while the test runs");
    const HWND error = ErrorBox();
    if (error != nullptr) report_.Note(L"error box: " + TextsOf(error));
    report_.Check(box != nullptr && TextsOf(box).find(L"Выполнено успешно") != std::wstring::npos &&
                      ended >= 2 * kAnswerSeconds && server.Answered() == 2,
                  L"the test passes against the slow service after " + Seconds(ended) + L" (" +
                      std::to_wstring(server.Answered()) + L" answers of 6 s each)");
    if (box != nullptr) {
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      WaitFor([box] { return !::IsWindow(box); }, kCloseWaitMs);
    }
    report_.Check(WaitFor([&] { return ::IsWindowEnabled(ok) != FALSE && ::IsWindowVisible(more) != FALSE; },
                          kCloseWaitMs) &&
                      !::IsWindowVisible(status),
                  L"after the test the controls are enabled again and \"Дополнительно\" is back");
    report_.Check(WaitFor([&] { return ::GetForegroundWindow() == dialog_; }, kCloseWaitMs),
                  L"after the notice the dialog is the foreground window again");
    return report_.Check(SetText(hostEdit_, before), L"edHost gets its host back");
  }

  bool CheckDialog() {
    report_.Check(::GetWindow(dialog_, GW_OWNER) == nullptr, L"the dialog has no owner");
    report_.Check(::GetAncestor(dialog_, GA_PARENT) == ::GetDesktopWindow(),
                  L"the dialog is a top-level window");
    CheckButton(dialog_, kMoreButtonId, L"Дополнительно");
    CheckButton(dialog_, IDOK, L"ОК");
    CheckButton(dialog_, IDCANCEL, L"Отмена");
    const bool found = CheckTabs() && FindEdits();
    CheckTexts(dialog_, L"the dialog");
    return found;
  }

  // Each static text, button, tab and column caption needs, in its own font, no more than its
  // control gives it. The measure runs inside the window's process: fonts are objects of their process.
  void CheckTexts(HWND window, const std::wstring& name) {
    const std::optional<std::vector<probe::TextFit>> measured = texts_.Measure(window);
    if (!report_.Check(measured.has_value(), L"the texts of " + name + L" are measured in its own process"))
      return;
    const std::vector<probe::TextFit>& fits = *measured;
    int clipped = 0;
    for (const probe::TextFit& fit : fits) {
      report_.Note((fit.Clipped() ? L"CLIPPED " : L"fits ") + fit.Describe());
      if (fit.Clipped()) ++clipped;
    }
    report_.Check(!fits.empty() && clipped == 0, L"no text of " + name + L" is clipped (" +
                                                     std::to_wstring(fits.size()) + L" measured, " +
                                                     std::to_wstring(clipped) + L" clipped)");
  }

  void CheckButton(HWND parent, int id, const std::wstring& caption) {
    const HWND button = ::GetDlgItem(parent, id);
    const std::wstring text = button != nullptr ? WithoutAccessKeys(TextOf(button).value_or(L"")) : L"";
    report_.Check(
        button != nullptr && ClassOf(button) == L"Button" && ::GetParent(button) == parent && text == caption,
        L"button " + std::to_wstring(id) + L" \"" + caption + L"\" (found \"" + text + L"\")");
  }

  bool CheckTabs() {
    tab_ = ::GetDlgItem(dialog_, kTabControlId);
    if (!report_.Check(tab_ != nullptr && ClassOf(tab_) == L"SysTabControl32" && ::GetParent(tab_) == dialog_,
                       L"tab control 1100 is a SysTabControl32 on the dialog"))
      return false;
    const LRESULT count = Ask(tab_, TCM_GETITEMCOUNT, 0, 0).value_or(-1);
    report_.Check(count == 2, L"two tabs (found " + std::to_wstring(count) + L")");
    const std::wstring first = TabText(process_->get(), tab_, 0).value_or(L"?");
    const std::wstring second = TabText(process_->get(), tab_, 1).value_or(L"?");
    report_.Check(first == kParametersTab && second == kInformationTab,
                  L"tabs \"Параметры\", \"Информация\" (found \"" + first + L"\", \"" + second + L"\")");
    report_.Check(Ask(tab_, TCM_GETCURSEL, 0, 0).value_or(-1) == 0, L"the first tab is selected");
    // The pages lie over the tab control as the dialog's own children, as in a property sheet.
    parameters_ = ::FindWindowExW(dialog_, nullptr, kDialogClass, kParametersTab);
    const HWND information = ::FindWindowExW(dialog_, nullptr, kDialogClass, kInformationTab);
    report_.Check(information != nullptr, L"the page \"Информация\" is a child dialog of the dialog");
    if (!report_.Check(parameters_ != nullptr, L"the page \"Параметры\" is a child dialog of the dialog"))
      return false;
    report_.Check(
        ::IsWindowVisible(parameters_) && (information == nullptr || !::IsWindowVisible(information)),
        L"only the selected page is shown");
    return true;
  }

  bool FindEdits() {
    hostEdit_ = ::GetDlgItem(parameters_, kHostEditId);
    const HWND token = ::GetDlgItem(parameters_, kTokenEditId);
    report_.Check(hostEdit_ != nullptr && ClassOf(hostEdit_) == L"Edit", L"edHost (1200) is an edit box");
    const bool masked = token != nullptr && (::GetWindowLongW(token, GWL_STYLE) & ES_PASSWORD) != 0;
    const LRESULT shown = token != nullptr ? Ask(token, EM_GETPASSWORDCHAR, 0, 0).value_or(0) : 0;
    report_.Check(masked, L"edToken (1201) has the password style");
    report_.Check(shown == kPasswordChar, L"edToken shows \"•\" (found U+" + Hex(shown) + L")");
    return hostEdit_ != nullptr;
  }

  static std::wstring Hex(LRESULT value) {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%04X", static_cast<unsigned>(value));
    return text;
  }

  bool TypeHost() {
    const std::wstring before = TextOf(hostEdit_).value_or(L"?");
    if (listedHost_) {
      report_.Check(before == *listedHost_, L"edHost shows the saved host (found \"" + before + L"\")");
    }
    const bool typed = SetText(hostEdit_, host_) && TextOf(hostEdit_).value_or(L"") == host_;
    report_.Check(typed, L"edHost takes \"" + host_ + L"\"");
    Screenshot(dialog_, L"settings_dialog_" + mode_ + tag_);
    return typed;
  }

  void Screenshot(HWND window, const std::wstring& name) {
    // The window paints once its queue is empty: a sent message comes back when the thread asks
    // for messages again, and a moment later the paint has reached the screen.
    Ask(window, WM_NULL, 0, 0);
    ::Sleep(300);
    Ask(window, WM_NULL, 0, 0);
    RECT area{};
    ::GetWindowRect(window, &area);
    const std::wstring path = shotDir_ + L"\\" + name + L".bmp";
    report_.Check(probe::SaveScreenshot(window, path), L"screenshot " + path + L" (" +
                                                           std::to_wstring(area.right - area.left) + L"x" +
                                                           std::to_wstring(area.bottom - area.top) + L")");
  }

  bool RunSettingsList() {
    if (!report_.Check(::PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(kSettingsListCommand, 0), 0),
                       L"command 1302 posted to the dialog"))
      return false;
    const bool opened =
        WaitFor([this] { return (list_ = TopLevelDialog(kListCaption)) != nullptr; }, kCloseWaitMs);
    if (!report_.Check(opened, L"the settings list appears")) return false;
    report_.Check(::GetWindow(list_, GW_OWNER) == dialog_, L"the settings list is owned by the dialog");
    report_.Check(!::IsWindowEnabled(dialog_), L"the dialog is disabled while the list is open");
    CheckButton(list_, kListDefaultButtonId, L"По-умолчанию");
    CheckButton(list_, IDOK, L"ОК");
    CheckButton(list_, IDCANCEL, L"Отмена");
    const std::optional<std::wstring> listed = CheckListView();
    CheckTexts(list_, L"the settings list");
    Screenshot(list_, L"settings_list_" + mode_ + tag_);
    if (!CloseList()) return false;
    return CheckPagesReadAgain(listed);
  }

  std::optional<std::wstring> CheckListView() {
    const HWND view = ::GetDlgItem(list_, kListViewId);
    if (!report_.Check(view != nullptr && ClassOf(view) == L"SysListView32",
                       L"list view 1400 is a SysListView32"))
      return std::nullopt;
    const LONG style = ::GetWindowLongW(view, GWL_STYLE);
    report_.Check((style & LVS_TYPEMASK) == LVS_REPORT && (style & LVS_OWNERDATA) != 0,
                  L"the list view is an owner-data report view");
    CheckColumns(view);
    const LRESULT rows = Ask(view, LVM_GETITEMCOUNT, 0, 0).value_or(0);
    if (!report_.Check(rows > 0, L"the list has rows (" + std::to_wstring(rows) + L")")) return std::nullopt;
    return FindHostRow(view, static_cast<int>(rows));
  }

  void CheckColumns(HWND view) {
    const wchar_t* expected[] = {L"Наименование", L"Значение", L"По-умолчанию"};
    std::wstring found;
    bool all = true;
    for (int column = 0; column < 3; ++column) {
      const std::wstring text = ColumnText(process_->get(), view, column).value_or(L"?");
      all = all && text == expected[column];
      found += (column == 0 ? L"\"" : L", \"") + text + L"\"";
    }
    report_.Check(all, L"columns \"Наименование\", \"Значение\", \"По-умолчанию\" (found " + found + L")");
  }

  std::optional<std::wstring> FindHostRow(HWND view, int rows) {
    int row = 0;
    std::wstring names;
    for (; row < rows; ++row) {
      const std::wstring name = CellText(process_->get(), view, row, 0).value_or(L"?");
      if (name == kHostRowName) break;
      names += L" \"" + name + L"\"";
    }
    if (!report_.Check(row < rows, L"a row named \"Хост\" (the setting Host)")) {
      report_.Note(L"rows:" + names);
      return std::nullopt;
    }
    const std::wstring value = CellText(process_->get(), view, row, 1).value_or(L"?");
    const std::wstring fallback = CellText(process_->get(), view, row, 2).value_or(L"?");
    report_.Note(L"row " + std::to_wstring(row) + L": value \"" + value + L"\", default \"" + fallback +
                 L"\"");
    if (listedHost_) {
      report_.Check(value == *listedHost_, L"the list shows the saved host, not the one typed in the page");
    }
    return value;
  }

  bool CloseList() {
    const HWND ok = ::GetDlgItem(list_, IDOK);
    report_.Check(ok != nullptr && ::PostMessageW(ok, BM_CLICK, 0, 0), L"\"ОК\" of the list clicked");
    const bool closed = WaitFor([this] { return !::IsWindow(list_); }, kCloseWaitMs);
    if (!report_.Check(closed, L"the settings list closes")) return false;
    list_ = nullptr;
    return report_.Check(WaitFor([this] { return ::IsWindowEnabled(dialog_) != FALSE; }, kCloseWaitMs),
                         L"the dialog is enabled again");
  }

  // Closing the list with OK loads the pages again from the settings it edited: the page shows the
  // listed host, and the address has to be typed once more.
  bool CheckPagesReadAgain(const std::optional<std::wstring>& listed) {
    if (listed) {
      const std::wstring shown = TextOf(hostEdit_).value_or(L"?");
      report_.Check(shown == *listed,
                    L"after the list's OK edHost shows the listed host (found \"" + shown + L"\")");
    }
    const bool typed = SetText(hostEdit_, host_) && TextOf(hostEdit_).value_or(L"") == host_;
    return report_.Check(typed, L"edHost takes \"" + host_ + L"\" again");
  }

  bool CloseDialog() {
    const int id = mode_ == L"ok" ? IDOK : IDCANCEL;
    const HWND button = ::GetDlgItem(dialog_, id);
    report_.Check(button != nullptr && ::PostMessageW(button, BM_CLICK, 0, 0),
                  std::wstring(id == IDOK ? L"\"ОК\"" : L"\"Отмена\"") + L" of the dialog clicked");
    const bool closed = WaitFor([this] { return !::IsWindow(dialog_); }, kCloseWaitMs);
    if (closed) dialog_ = nullptr;
    return report_.Check(closed, L"the dialog closes");
  }

  // After a failure: a picture of the whole screen for whoever reads the artefacts, then Cancel
  // everywhere so that the host's call returns and the run goes on.
  void Abandon() {
    const RECT screen{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    const std::optional<probe::Capture> capture = probe::CaptureScreen(screen);
    const std::wstring path = shotDir_ + L"\\failure_" + mode_ + tag_ + L".bmp";
    if (capture && probe::WriteBmp(path, *capture)) report_.Note(L"screen saved as " + path);
    for (HWND window : {list_, dialog_}) Cancel(window);
  }

  static void Cancel(HWND window) {
    if (window == nullptr || !::IsWindow(window)) return;
    const HWND button = ::GetDlgItem(window, IDCANCEL);
    if (button != nullptr) {
      ::PostMessageW(button, BM_CLICK, 0, 0);
    } else {
      ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    WaitFor([window] { return !::IsWindow(window); }, kCloseWaitMs);
  }

  Report report_;
  RemoteTextMeasure texts_;
  std::wstring mode_;
  std::wstring host_;
  std::wstring shotDir_;
  std::optional<std::wstring> listedHost_;
  DWORD waitMs_;
  std::wstring tag_;
  bool deviceTest_;
  std::unique_ptr<Handle> process_;
  HWND dialog_ = nullptr;
  HWND tab_ = nullptr;
  HWND parameters_ = nullptr;
  HWND hostEdit_ = nullptr;
  HWND list_ = nullptr;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> positional;
  DWORD waitMs = 30000;
  std::wstring tag;
  bool deviceTest = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--device-test") {
      deviceTest = true;
    } else if (arg.rfind(L"--wait=", 0) == 0) {
      waitMs = static_cast<DWORD>(std::wcstoul(arg.c_str() + 7, nullptr, 10)) * 1000;
    } else if (arg.rfind(L"--tag=", 0) == 0) {
      tag = L"_" + arg.substr(6);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 3 || positional.size() > 4 ||
      (positional[0] != L"ok" && positional[0] != L"cancel")) {
    std::fputs(
        "usage: settings_robot.exe ok|cancel HOST SHOT_DIR [LISTED_HOST] [--wait=SECONDS] [--tag=NAME] "
        "[--device-test]\n",
        stderr);
    return 2;
  }
  std::optional<std::wstring> listedHost;
  if (positional.size() == 4) listedHost = positional[3];
  Robot robot(positional[0], positional[1], positional[2], listedHost, waitMs, tag, deviceTest);
  return robot.Run();
}
