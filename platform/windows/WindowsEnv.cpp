// Windows side of the environment: shell folders, the DLL's own module file, the Everyone ACL
// grant, share-mode appends in the ANSI code page, regional formats from the user's locale.

#include <windows.h>

#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "platform/windows/WindowsHandles.h"
#include "platform/windows/WindowsSystem.h"

namespace tallowmer::platform {
namespace {

using windows::ModuleInstance;
using windows::UniqueFile;
using windows::UniqueLocal;
using windows::UniqueSid;

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

// Opens a file for appending, creating it when missing. A file that another writer holds with
// writing refused is waited for a moment, since that writer only holds it for one line.
OsResult OpenWhenFree(const std::string& path, DWORD share, UniqueFile& file) {
  const std::wstring name = Widen(path);
  return RetryWhileBusy(
      [&] {
        file.reset(::CreateFileW(name.c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
          const DWORD code = ::GetLastError();
          return Failure(
              code, (code == ERROR_SHARING_VIOLATION ? "Файл занят: " : "Не удалось открыть файл ") + path);
        }
        return OsResult::Success();
      },
      [](const OsResult& result) {
        return result.errorCode == ERROR_SHARING_VIOLATION || result.errorCode == ERROR_LOCK_VIOLATION;
      });
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
      if (!parent.ok) return parent;
    }
    if (!::CreateDirectoryW(Widen(trimmed).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return LastFailure("Не удалось создать папку " + trimmed);
    }
    return OsResult::Success();
  }

  OsResult GrantEveryoneFullAccess(const std::string& folder) override {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    UniqueSid everyone;
    if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                    everyone.put())) {
      return LastFailure("AllocateAndInitializeSid");
    }
    std::wstring path = Widen(folder);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    const DWORD readResult = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                     nullptr, nullptr, &dacl, nullptr, &rawDescriptor);
    const UniqueLocal descriptor(rawDescriptor);
    if (readResult != ERROR_SUCCESS) return Failure(readResult, "GetNamedSecurityInfo " + folder);
    if (dacl == nullptr) return OsResult::Success();  // a null list already grants everyone everything
    if (HasEveryoneFullAccess(dacl, everyone.get())) return OsResult::Success();

    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());
    PACL rawMerged = nullptr;
    const DWORD mergeResult = ::SetEntriesInAclW(1, &access, dacl, &rawMerged);
    const UniqueLocal merged(rawMerged);
    if (mergeResult != ERROR_SUCCESS) return Failure(mergeResult, "SetEntriesInAcl " + folder);
    // A user without the right to change permissions keeps the folder as it is, without an error.
    ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            rawMerged, nullptr);
    return OsResult::Success();
  }

  OsResult AppendToSharedFile(const std::string& path, std::string_view text) override {
    UniqueFile file;
    const OsResult opened = OpenWhenFree(path, FILE_SHARE_READ, file);
    if (!opened.ok) return opened;
    const std::string ansi = Narrow(Widen(text), CP_ACP);
    const OsResult written = WriteAll(file.get(), ansi, path);
    if (!written.ok) return written;
    if (!::CloseHandle(file.release())) return LastFailure("Не удалось закрыть файл " + path);
    return OsResult::Success();
  }

  std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, OsResult& failure) override {
    UniqueFile file;
    failure = OpenWhenFree(path, FILE_SHARE_READ | FILE_SHARE_WRITE, file);
    if (!failure.ok) return nullptr;
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
    static const ATOM windowClass = [] {
      WNDCLASSW description{};
      description.lpfnWndProc = MessageWindowProc;
      description.hInstance = ModuleInstance();
      description.lpszClassName = kMessageWindowClass;
      return ::RegisterClassW(&description);
    }();
    if (windowClass == 0) return 0;
    const HWND window = ::CreateWindowExW(0, kMessageWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          ModuleInstance(), nullptr);
    if (window == nullptr) return 0;
    ::SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(new MessageHandler(std::move(handler))));
    return reinterpret_cast<uintptr_t>(window);
  }

  void DestroyMessageWindow(uintptr_t window) override {
    const HWND handle = reinterpret_cast<HWND>(window);
    if (handle == nullptr || !::IsWindow(handle)) return;
    std::unique_ptr<MessageHandler> handler(
        reinterpret_cast<MessageHandler*>(::SetWindowLongPtrW(handle, GWLP_USERDATA, 0)));
    ::DestroyWindow(handle);
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
  static bool HasEveryoneFullAccess(PACL dacl, PSID everyone) {
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
      void* entry = nullptr;
      if (!::GetAce(dacl, index, &entry)) continue;
      // Every standard ACE starts with the header, the mask and the SID; the type is not looked at.
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      if (allowed->Mask == GENERIC_ALL && ::EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), everyone)) {
        return true;
      }
    }
    return false;
  }
};

}  // namespace

Env& DefaultEnv() {
  static WindowsEnv env;
  return env;
}

}  // namespace tallowmer::platform
