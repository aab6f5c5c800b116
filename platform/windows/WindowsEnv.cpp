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
#include "platform/windows/WindowsSystem.h"

namespace tallowmer::platform {
namespace {

using windows::ModuleInstance;
using windows::UniqueFile;
using windows::UniqueLocal;

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

std::string Narrow(std::wstring_view text, UINT codePage = CP_UTF8) {
  if (text.empty()) return {};
  const int length = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                           0, nullptr, nullptr);
  std::string result(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                        nullptr, nullptr);
  return result;
}

OsResult Failure(DWORD code, const std::string& what) {
  std::wstring text = windows::SystemErrorText(code);
  while (!text.empty() && text.back() == L'.') text.pop_back();
  return OsResult::Failure(static_cast<int>(code),
                           what + ": " + Narrow(text) + " (" + std::to_string(code) + ")");
}

OsResult LastFailure(const std::string& what) {
  return Failure(::GetLastError(), what);
}

bool SamePath(std::wstring_view left, std::wstring_view right) {
  return ::CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// The path that a handle was opened on, after every link, junction and mount point on the way, in
// the form of a DOS path ("C:\ProgramData\...", "\\server\share\..."); empty when it cannot be read.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(length + 1);
  }
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

// The path a folder name stands for, in full and in its long form, without a trailing delimiter: what
// the final path of the folder must be when nothing on the way was swapped for a link.
std::wstring IntendedPath(const std::wstring& folder) {
  std::wstring full(MAX_PATH, L'\0');
  DWORD length = ::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = ::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  full.resize(length < full.size() ? length : 0);
  std::wstring longPath(full.size() + MAX_PATH, L'\0');
  length = ::GetLongPathNameW(full.c_str(), longPath.data(), static_cast<DWORD>(longPath.size()));
  std::wstring result = length > 0 && length < longPath.size() ? longPath.substr(0, length) : full;
  while (result.size() > 3 && (result.back() == L'\\' || result.back() == L'/')) result.pop_back();
  return result;
}

// Holds a log folder while a file in it is opened. The folder is held without letting anyone delete
// or rename it, so that its name keeps leading to it, and it must be the folder its name stands for:
// no junction, no symbolic link, and no swapped folder on the way to it (its final path tells).
OsResult OpenLogFolder(const std::string& folder, UniqueFile& handle, std::wstring& finalPath) {
  const std::wstring name = Widen(folder);
  handle.reset(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
  if (!handle) {
    // Only a program that may remove or rename the folder can hold it so that it cannot be held
    // this way: the logs then keep away from it, as from a folder swapped for a link.
    if (::GetLastError() == ERROR_SHARING_VIOLATION) {
      return OsResult::Refused("папку " + folder +
                               " держит открытой другая программа, которая может её подменить");
    }
    return LastFailure("Не удалось открыть папку " + folder);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle.get(), &information)) {
    return LastFailure("Не удалось открыть папку " + folder);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return OsResult::Refused("папка " + folder + " — это ссылка или точка подключения");
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return OsResult::Refused(folder + " — это не папка");
  }
  finalPath = FinalPath(handle.get());
  if (finalPath.empty()) return LastFailure("Не удалось открыть папку " + folder);
  if (!SamePath(finalPath, IntendedPath(name))) {
    return OsResult::Refused("папка " + folder + " ведёт в " + Narrow(finalPath));
  }
  return OsResult::Success();
}

// Why an opened log file is not ours to write: a link or junction opened as itself, a second name
// (a hard link that a user made to a file elsewhere), or a path that ends outside the held folder.
// Empty when the file is fine.
std::string RefusalOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& information,
                      const std::wstring& expected) {
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return "это ссылка или точка подключения";
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "это папка";
  if (information.nNumberOfLinks != 1) {
    return "у файла есть другие имена (жёстких ссылок: " + std::to_string(information.nNumberOfLinks) + ")";
  }
  const std::wstring finalPath = FinalPath(file);
  if (!SamePath(finalPath, expected)) return "файл ведёт в " + Narrow(finalPath);
  return {};
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& left, const BY_HANDLE_FILE_INFORMATION& right) {
  return left.dwVolumeSerialNumber == right.dwVolumeSerialNumber &&
         left.nFileIndexHigh == right.nFileIndexHigh && left.nFileIndexLow == right.nFileIndexLow;
}

// Takes away a file that this call created in the held folder and then refused, when its name still
// leads to that very file.
void DeleteCreatedFile(const std::wstring& name, const BY_HANDLE_FILE_INFORMATION& created) {
  const UniqueFile file(::CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  if (!file || !::GetFileInformationByHandle(file.get(), &information) || !SameFile(information, created))
    return;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition));
}

// Opens the file in the held folder: an existing one as it is, a missing one created anew (never
// through a link that leads nowhere: CREATE_NEW fails on any name that is taken). A link, junction
// or mount point is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), and what was opened is judged
// by its handle. A file that another writer holds with writing refused is waited for a moment,
// since that writer only holds it for one line.
OsResult OpenInFolder(const std::string& path, const std::wstring& expected, DWORD share, UniqueFile& file) {
  const std::wstring name = Widen(path);
  bool created = false;
  const OsResult opened = RetryWhileBusy(
      [&] {
        for (int attempt = 0; attempt < 3; ++attempt) {
          file.reset(::CreateFileW(name.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, share, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
          created = false;
          if (!file && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
            file.reset(::CreateFileW(name.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, share, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
            created = static_cast<bool>(file);
            if (!file && ::GetLastError() == ERROR_FILE_EXISTS) continue;  // another writer was quicker
          }
          break;
        }
        if (!file) {
          const DWORD code = ::GetLastError();
          return Failure(
              code, (code == ERROR_SHARING_VIOLATION ? "Файл занят: " : "Не удалось открыть файл ") + path);
        }
        return OsResult::Success();
      },
      [](const OsResult& result) {
        return result.errorCode() == ERROR_SHARING_VIOLATION || result.errorCode() == ERROR_LOCK_VIOLATION;
      });
  if (!opened.ok()) return opened;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.get(), &information))
    return LastFailure("Не удалось открыть файл " + path);
  const std::string refusal = RefusalOf(file.get(), information, expected);
  if (refusal.empty()) return OsResult::Success();
  file.reset();
  if (created && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    DeleteCreatedFile(name, information);
  }
  return OsResult::Refused("файл " + path + ": " + refusal);
}

// Opens a log file for appending, creating it when missing, under the rules of
// Env::AppendToSharedFile. The folder is held until the file is open.
OsResult OpenForAppending(const std::string& path, DWORD share, UniqueFile& file) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return Failure(ERROR_INVALID_NAME, "Не удалось открыть файл " + path);
  UniqueFile folder;
  std::wstring folderPath;
  if (OsResult held = OpenLogFolder(path.substr(0, slash + 1), folder, folderPath); !held.ok()) return held;
  if (folderPath.back() != L'\\') folderPath += L'\\';
  return OpenInFolder(path, folderPath + Widen(path.substr(slash + 1)), share, file);
}

OsResult WriteAll(HANDLE file, std::string_view bytes, const std::string& path) {
  DWORD written = 0;
  if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    return LastFailure("Не удалось записать в файл " + path);
  }
  return OsResult::Success();
}

// Appending access puts every write at the end of the file as one piece, whoever else appends.
class WindowsAppendFile final : public AppendFile {
 public:
  WindowsAppendFile(UniqueFile file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  OsResult Append(std::string_view bytes) override { return WriteAll(file_.get(), bytes, path_); }

 private:
  UniqueFile file_;
  std::string path_;
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
    if (path.empty()) return Failure(ERROR_PATH_NOT_FOUND, "Не удалось создать папку");
    std::string trimmed = path;
    while (trimmed.size() > 3 && (trimmed.back() == '\\' || trimmed.back() == '/')) trimmed.pop_back();
    if (DirectoryExists(trimmed)) return OsResult::Success();
    const size_t parentEnd = trimmed.find_last_of("\\/");
    if (parentEnd != std::string::npos && parentEnd > 2) {
      const OsResult parent = ForceDirectories(trimmed.substr(0, parentEnd));
      if (!parent.ok()) return parent;
    }
    if (!::CreateDirectoryW(Widen(trimmed).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return LastFailure("Не удалось создать папку " + trimmed);
    }
    return OsResult::Success();
  }

  OsResult GrantEveryoneFullAccess(const std::string& folder) override {
    const std::wstring name = Widen(folder);
    // The folder itself, never what a link or junction in its place leads to; without the right to
    // change its permissions the folder stays as it is, without an error.
    const UniqueFile handle(::CreateFileW(
        name.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_ACCESS_DENIED) return OsResult::Success();
      return Failure(code, "Нет доступа к папке " + folder);
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle.get(), &information))
      return LastFailure("Нет доступа к папке " + folder);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !SamePath(FinalPath(handle.get()), IntendedPath(name))) {
      return OsResult::Success();
    }
    windows::SharedFolderAcl wanted;
    if (!wanted.Build()) return LastFailure("Не удалось составить список доступа папки " + folder);
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    const DWORD readResult = ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, &current, nullptr, &rawDescriptor);
    const UniqueLocal descriptor(rawDescriptor);
    if (readResult != ERROR_SUCCESS) return Failure(readResult, "GetSecurityInfo " + folder);
    if (current != nullptr && wanted.Matches(current)) return OsResult::Success();
    // Protected: what the parent folder grants is not inherited on top of this list.
    ::SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      wanted.Get(), nullptr);
    return OsResult::Success();
  }

  OsResult AppendToSharedFile(const std::string& path, std::string_view text) override {
    UniqueFile file;
    const OsResult opened = OpenForAppending(path, FILE_SHARE_READ, file);
    if (!opened.ok()) return opened;
    const std::string ansi = Narrow(Widen(text), CP_ACP);
    const OsResult written = WriteAll(file.get(), ansi, path);
    if (!written.ok()) return written;
    if (!::CloseHandle(file.release())) return LastFailure("Не удалось закрыть файл " + path);
    return OsResult::Success();
  }

  std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, OsResult& failure) override {
    UniqueFile file;
    failure = OpenForAppending(path, FILE_SHARE_READ | FILE_SHARE_WRITE, file);
    if (!failure.ok()) return nullptr;
    return std::make_unique<WindowsAppendFile>(std::move(file), path);
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
