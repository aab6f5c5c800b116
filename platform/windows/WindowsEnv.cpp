// Windows side of the environment: shell folders, the DLL's own module file, the shared log
// folders' access list, share-mode appends in the ANSI code page to log files opened only where
// they are meant to be, regional formats from the user's locale.

#include <windows.h>

#include <shlobj.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/windows/SharedFolderAcl.h"
#include "platform/windows/WindowsHandles.h"
#include "platform/windows/WindowsLogFile.h"
#include "platform/windows/WindowsSystem.h"

namespace tallowmer::platform {
namespace {

using windows::ErrorResult;
using windows::ModuleInstance;
using windows::Narrow;
using windows::UniqueFile;
using windows::UniqueLocal;
using windows::Widen;

// Appending access puts every write at the end of the file as one piece, whoever else appends.
class WindowsAppendFile final : public AppendFile {
 public:
  explicit WindowsAppendFile(windows::WindowsLogFile file) : file_(std::move(file)) {}
  OsResult Append(std::string_view bytes) override { return file_.Append(bytes); }

 private:
  windows::WindowsLogFile file_;
};

std::string LocaleInfo(LCTYPE type) {
  wchar_t buffer[100] = {};
  if (::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buffer, 100) == 0) return {};
  return Narrow(buffer);
}

// Windows pattern letters ("dd.MM.yyyy", "H:mm:ss") in FormatDateTime notation, with the literal
// separators replaced by the "/" and ":" placeholders.
std::string TranslateLocalePattern(const std::string& pattern, const std::string& separator,
                                   char placeholder) {
  std::string result;
  for (size_t i = 0; i < pattern.size();) {
    if (!separator.empty() && pattern.compare(i, separator.size(), separator) == 0) {
      result += placeholder;
      i += separator.size();
      continue;
    }
    const char letter = pattern[i];
    switch (letter) {
      case 'M':
        result += 'm';
        break;
      case 'H':
        result += 'h';
        break;
      case 'm':
        result += 'n';
        break;
      case 't':
        break;  // AM/PM: a 24-hour clock is used instead.
      default:
        result += letter;
        break;
    }
    ++i;
  }
  while (!result.empty() && result.back() == ' ') result.pop_back();
  return result;
}

constexpr const wchar_t* kMessageWindowClass = L"TallowmerDeviceMessageWindow";

LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* handler = reinterpret_cast<Env::MessageHandler*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (handler != nullptr && *handler) (*handler)(message, wParam, lParam);
  return ::DefWindowProcW(window, message, wParam, lParam);
}

// The hidden windows' class, registered while a window of it lives. Windows does not unregister a
// module's classes when it unloads the module: a class left registered made the next load of the
// module at the same address fail to register it, and so to create any window.
class MessageWindowClass {
 public:
  bool Acquire() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (windows_ == 0) {
      WNDCLASSW description{};
      description.lpfnWndProc = MessageWindowProc;
      description.hInstance = ModuleInstance();
      description.lpszClassName = kMessageWindowClass;
      if (::RegisterClassW(&description) == 0) return false;
    }
    ++windows_;
    return true;
  }

  void Release() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (windows_ > 0 && --windows_ == 0) ::UnregisterClassW(kMessageWindowClass, ModuleInstance());
  }

 private:
  std::mutex mutex_;
  size_t windows_ = 0;
};

class WindowsEnv final : public Env {
 public:
  LocalTime Now() override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  }

  std::string SpecialFolderPath(int folderId) override {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, buffer, folderId, TRUE)) return "";
    return Narrow(buffer);
  }

  // A host loads the module by the short path that the registration holds when the folder has a
  // space in it (as "Program Files" has), and the loader reports the name it was given. The
  // module's own name names the default log folder, so it is taken in its long form.
  std::string ModuleFilePath() override {
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(ModuleInstance(), buffer, MAX_PATH);
    wchar_t longPath[MAX_PATH + 1] = {};
    const DWORD length = ::GetLongPathNameW(buffer, longPath, MAX_PATH + 1);
    return Narrow(length > 0 && length <= MAX_PATH ? longPath : buffer);
  }

  FileVersion ModuleVersion(const std::string& fileName) override {
    const std::wstring path = Widen(fileName.empty() ? ModuleFilePath() : fileName);
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return {};
    std::vector<char> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) {
      return {};
    }
    return FileVersion{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                       HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
  }

  bool DirectoryExists(const std::string& path) override {
    if (path.empty()) return false;
    const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool FileExists(const std::string& path) override {
    if (path.empty()) return false;
    const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  OsResult ForceDirectories(const std::string& path) override {
    if (path.empty()) return ErrorResult(ERROR_PATH_NOT_FOUND, "Не удалось создать папку");
    std::string trimmed = path;
    while (trimmed.size() > 3 && (trimmed.back() == '\\' || trimmed.back() == '/')) trimmed.pop_back();
    if (DirectoryExists(trimmed)) return OsResult::Success();
    const size_t parentEnd = trimmed.find_last_of("\\/");
    if (parentEnd != std::string::npos && parentEnd > 2) {
      const OsResult parent = ForceDirectories(trimmed.substr(0, parentEnd));
      if (!parent.ok()) return parent;
    }
    if (!::CreateDirectoryW(Widen(trimmed).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return ErrorResult(::GetLastError(), "Не удалось создать папку " + trimmed);
    }
    return OsResult::Success();
  }

  OsResult GrantEveryoneFullAccess(const std::string& folder) override {
    const std::wstring name = Widen(folder);
    // The folder itself, never what a link or junction in its place leads to. Without the right to
    // change its permissions, or when it is another user's, the folder is not this user's to share:
    // a refusal, which leaves the folder as it is; its logs are refused too unless its owner is one
    // the user can trust.
    const UniqueFile handle(::CreateFileW(
        name.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        return OsResult::Refused("папку " + folder + " нельзя открыть для других пользователей: " +
                                 windows::ErrorDescription(code));
      }
      return ErrorResult(code, "Нет доступа к папке " + folder);
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle.get(), &information))
      return ErrorResult(::GetLastError(), "Нет доступа к папке " + folder);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !windows::SamePath(windows::FinalPath(handle.get()), windows::IntendedPath(name))) {
      return OsResult::Refused("папка " + folder + " — это ссылка или ведёт в другую папку");
    }
    windows::ObjectOwner owner;
    if (!owner.Read(handle.get()))
      return ErrorResult(::GetLastError(), "Не удалось узнать владельца папки " + folder);
    if (const std::string distrust = windows::DistrustOfOwner(owner.Get()); !distrust.empty()) {
      return OsResult::Refused("папка " + folder + ": " + distrust);
    }
    windows::SharedFolderAcl wanted;
    if (!wanted.Build())
      return ErrorResult(::GetLastError(), "Не удалось составить список доступа папки " + folder);
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    const DWORD readResult = ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, &current, nullptr, &rawDescriptor);
    const UniqueLocal descriptor(rawDescriptor);
    if (readResult != ERROR_SUCCESS) return ErrorResult(readResult, "GetSecurityInfo " + folder);
    if (current != nullptr && wanted.Matches(current)) return OsResult::Success();
    // Protected: what the parent folder grants is not inherited on top of this list.
    const DWORD written = ::SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, wanted.Get(), nullptr);
    if (written != ERROR_SUCCESS) {
      return OsResult::Refused("папку " + folder + " нельзя открыть для других пользователей: " +
                               windows::ErrorDescription(written));
    }
    return OsResult::Success();
  }

  // The user's own application data is the user's alone already: the profile's access list says so.
  OsResult ForcePrivateDirectories(const std::string& path) override { return ForceDirectories(path); }

  OsResult AppendToLogFile(const std::string& path, std::string_view text, LogFileOptions options) override {
    windows::WindowsLogFile file;
    // Others may read the file meanwhile, not write it: the writer of one line holds it alone.
    if (OsResult opened = file.Open(path, FILE_SHARE_READ, options.waitWhileBusy); !opened.ok())
      return opened;
    if (OsResult written = file.Append(Narrow(Widen(text), CP_ACP)); !written.ok()) return written;
    return file.Close();
  }

  std::unique_ptr<AppendFile> OpenLogFile(const std::string& path, LogFileOptions options,
                                          OsResult& failure) override {
    windows::WindowsLogFile file;
    failure = file.Open(path, FILE_SHARE_READ | FILE_SHARE_WRITE, options.waitWhileBusy);
    if (!failure.ok()) return nullptr;
    return std::make_unique<WindowsAppendFile>(std::move(file));
  }

  RegionalFormats UserRegionalFormats() override {
    RegionalFormats formats;
    formats.decimalSeparator = LocaleInfo(LOCALE_SDECIMAL);
    if (formats.decimalSeparator.empty()) formats.decimalSeparator = ".";
    formats.dateSeparator = LocaleInfo(LOCALE_SDATE);
    if (formats.dateSeparator.empty()) formats.dateSeparator = ".";
    formats.timeSeparator = LocaleInfo(LOCALE_STIME);
    if (formats.timeSeparator.empty()) formats.timeSeparator = ":";
    const std::string shortDate =
        TranslateLocalePattern(LocaleInfo(LOCALE_SSHORTDATE), formats.dateSeparator, '/');
    const std::string longTime =
        TranslateLocalePattern(LocaleInfo(LOCALE_STIMEFORMAT), formats.timeSeparator, ':');
    if (!shortDate.empty()) formats.shortDateFormat = shortDate;
    if (!longTime.empty()) formats.longTimeFormat = longTime;
    return formats;
  }

  uintptr_t CreateMessageWindow(MessageHandler handler) override {
    if (!messageWindowClass_.Acquire()) return 0;
    const HWND window = ::CreateWindowExW(0, kMessageWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          ModuleInstance(), nullptr);
    if (window == nullptr) {
      messageWindowClass_.Release();
      return 0;
    }
    ::SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(new MessageHandler(std::move(handler))));
    return reinterpret_cast<uintptr_t>(window);
  }

  void DestroyMessageWindow(uintptr_t window) override {
    const HWND handle = reinterpret_cast<HWND>(window);
    if (handle == nullptr || !::IsWindow(handle)) return;
    std::unique_ptr<MessageHandler> handler(
        reinterpret_cast<MessageHandler*>(::SetWindowLongPtrW(handle, GWLP_USERDATA, 0)));
    if (::DestroyWindow(handle)) messageWindowClass_.Release();
  }

  uintptr_t ForegroundWindow() override { return reinterpret_cast<uintptr_t>(::GetForegroundWindow()); }

  void SetWindowEnabled(uintptr_t window, bool enabled) override {
    ::EnableWindow(reinterpret_cast<HWND>(window), enabled ? TRUE : FALSE);
  }

  void ActivateWindow(uintptr_t window) override {
    const HWND handle = reinterpret_cast<HWND>(window);
    ::SetForegroundWindow(handle);
    ::SendMessageW(handle, WM_SETFOCUS, 0, 0);
  }

  void ShowInformation(const std::string& caption, const std::string& text) override {
    ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(caption).c_str(),
                  MB_OK | MB_ICONINFORMATION | MB_TASKMODAL);
  }

 private:
  MessageWindowClass messageWindowClass_;
};

}  // namespace

Env& DefaultEnv() {
  static WindowsEnv env;
  return env;
}

}  // namespace tallowmer::platform
