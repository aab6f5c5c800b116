#include "platform/windows/WindowsLogFile.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/windows/WindowsSystem.h"

namespace tallowmer::platform::windows {
namespace {

// Runs `attempt` until it succeeds, fails for another reason than `isBusy`, or kBusyFileWait has
// passed (at once when `wait` is false); the last outcome stands.
template <typename Attempt, typename IsBusy>
OsResult RetryWhileBusy(bool wait, Attempt attempt, IsBusy isBusy) {
  const auto deadline = std::chrono::steady_clock::now() + kBusyFileWait;
  auto pause = std::chrono::milliseconds(1);
  OsResult result = attempt();
  while (wait && !result.ok() && isBusy(result) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(8));
    result = attempt();
  }
  return result;
}

bool IsBusy(const OsResult& result) {
  return result.errorCode() == ERROR_SHARING_VIOLATION || result.errorCode() == ERROR_LOCK_VIOLATION;
}

// What another program can do to a log file to keep this user from writing it: hold it without
// sharing writing or lock it past the wait, make it read-only, put a folder under its name.
bool IsRefusal(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_FILE_EXISTS || code == ERROR_FILE_TOO_LARGE;
}

// A failure that another program caused, as a refusal of the file; any other as it is.
OsResult RefusedOrFailed(const OsResult& failure, const std::string& path) {
  const auto code = static_cast<DWORD>(failure.errorCode());
  if (failure.ok() || !IsRefusal(code)) return failure;
  return OsResult::Refused("файл " + path + ": " + ErrorDescription(code));
}

// The user this process runs as.
PSID CurrentUser() {
  static const std::vector<BYTE> user = [] {
    std::vector<BYTE> buffer;
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return buffer;
    const UniqueReleasedBy<HANDLE, ::CloseHandle> token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    buffer.resize(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
      buffer.clear();
    return buffer;
  }();
  return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "?";
  const UniqueLocal owner(text);
  return Narrow(text);
}

// Holds a log folder while a file in it is opened. The folder is held without letting anyone delete
// or rename it, so that its name keeps leading to it, and it must be the folder its name stands for:
// no junction, no symbolic link, and no swapped folder on the way to it (its final path tells). It
// must belong to the user, the administrators or the system: anyone else who made it could read
// every log in it and replace them at will.
OsResult HoldLogFolder(const std::string& folder, UniqueFile& handle, std::wstring& finalPath,
                       ObjectOwner& owner) {
  const std::wstring name = Widen(folder);
  handle.reset(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) {
    const DWORD code = ::GetLastError();
    // Only a program that may remove or rename the folder can hold it so that it cannot be held
    // this way: the logs then keep away from it, as from a folder swapped for a link.
    if (code == ERROR_SHARING_VIOLATION) {
      return OsResult::Refused("папку " + folder +
                               " держит открытой другая программа, которая может её подменить");
    }
    if (code == ERROR_ACCESS_DENIED) return OsResult::Refused("нет доступа к папке " + folder);
    return ErrorResult(code, "Не удалось открыть папку " + folder);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle.get(), &information)) {
    return ErrorResult(::GetLastError(), "Не удалось открыть папку " + folder);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return OsResult::Refused("папка " + folder + " — это ссылка или точка подключения");
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return OsResult::Refused(folder + " — это не папка");
  }
  finalPath = FinalPath(handle.get());
  if (finalPath.empty()) return ErrorResult(::GetLastError(), "Не удалось открыть папку " + folder);
  if (!SamePath(finalPath, IntendedPath(name))) {
    return OsResult::Refused("папка " + folder + " ведёт в " + Narrow(finalPath));
  }
  if (!owner.Read(handle.get())) return OsResult::Refused("не удалось узнать владельца папки " + folder);
  if (const std::string distrust = DistrustOfOwner(owner.Get()); !distrust.empty()) {
    return OsResult::Refused("папке " + folder + " нельзя доверять: " + distrust);
  }
  return OsResult::Success();
}

// Why an opened log file is not ours to write: a link or junction opened as itself, a second name
// (a hard link that a user made to a file elsewhere), a read-only file (which only a program running
// with the right to pass over that, or Wine under root, opens for writing), a path that ends outside
// the held folder, or an owner who could read what is written or change the file's permissions.
// Empty when the file is fine.
std::string RefusalOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& information,
                      const std::wstring& expected, PSID folderOwner) {
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return "это ссылка или точка подключения";
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "это папка";
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return "файл только для чтения";
  if (information.nNumberOfLinks != 1) {
    return "у файла есть другие имена (жёстких ссылок: " + std::to_string(information.nNumberOfLinks) + ")";
  }
  const std::wstring finalPath = FinalPath(file);
  if (!SamePath(finalPath, expected)) return "файл ведёт в " + Narrow(finalPath);
  ObjectOwner owner;
  if (!owner.Read(file)) return "не удалось узнать владельца файла";
  return DistrustOfOwner(owner.Get(), folderOwner);
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
// since an honest writer only holds it for one line.
OsResult OpenInFolder(const std::string& path, const std::wstring& expected, PSID folderOwner, DWORD share,
                      bool waitWhileBusy, UniqueFile& file) {
  constexpr DWORD kAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL;
  const std::wstring name = Widen(path);
  bool created = false;
  const OsResult opened = RetryWhileBusy(
      waitWhileBusy,
      [&] {
        for (int attempt = 0; attempt < 3; ++attempt) {
          file.reset(::CreateFileW(name.c_str(), kAccess, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
          created = false;
          if (!file && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
            file.reset(::CreateFileW(name.c_str(), kAccess, share, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            created = static_cast<bool>(file);
            if (!file && ::GetLastError() == ERROR_FILE_EXISTS) continue;  // another writer was quicker
          }
          break;
        }
        if (file) return OsResult::Success();
        const DWORD code = ::GetLastError();
        return ErrorResult(
            code, (code == ERROR_SHARING_VIOLATION ? "Файл занят: " : "Не удалось открыть файл ") + path);
      },
      IsBusy);
  if (!opened.ok()) return RefusedOrFailed(opened, path);
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.get(), &information))
    return ErrorResult(::GetLastError(), "Не удалось открыть файл " + path);
  const std::string refusal = RefusalOf(file.get(), information, expected, folderOwner);
  if (refusal.empty()) return OsResult::Success();
  file.reset();
  if (created && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    DeleteCreatedFile(name, information);
  }
  return OsResult::Refused("файл " + path + ": " + refusal);
}

}  // namespace

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

bool SamePath(std::wstring_view left, std::wstring_view right) {
  return ::CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

bool ObjectOwner::Read(HANDLE object) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  owner_ = nullptr;
  const DWORD read = ::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner_, nullptr,
                                       nullptr, nullptr, &raw);
  descriptor_.reset(raw);
  if (read == ERROR_SUCCESS) return true;
  owner_ = nullptr;
  ::SetLastError(read);
  return false;
}

std::string DistrustOfOwner(PSID owner, PSID alsoTrusted) {
  if (owner == nullptr) return {};
  const PSID user = CurrentUser();
  if ((user != nullptr && ::EqualSid(owner, user)) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
      ::IsWellKnownSid(owner, WinLocalSystemSid) ||
      (alsoTrusted != nullptr && ::EqualSid(owner, alsoTrusted))) {
    return {};
  }
  return "владелец — другой пользователь (" + SidText(owner) + ")";
}

OsResult WindowsLogFile::Open(const std::string& path, DWORD share, bool waitWhileBusy) {
  path_ = path;
  waitWhileBusy_ = waitWhileBusy;
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ErrorResult(ERROR_INVALID_NAME, "Не удалось открыть файл " + path);
  UniqueFile folder;
  std::wstring folderPath;
  ObjectOwner folderOwner;
  if (OsResult held = HoldLogFolder(path.substr(0, slash + 1), folder, folderPath, folderOwner); !held.ok())
    return held;
  if (folderPath.back() != L'\\') folderPath += L'\\';
  return OpenInFolder(path, folderPath + Widen(path.substr(slash + 1)), folderOwner.Get(), share,
                      waitWhileBusy, file_);
}

OsResult WindowsLogFile::Append(std::string_view bytes) {
  const OsResult written = RetryWhileBusy(
      waitWhileBusy_,
      [&] {
        DWORD count = 0;
        if (::WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) &&
            count == bytes.size()) {
          return OsResult::Success();
        }
        return ErrorResult(::GetLastError(), "Не удалось записать в файл " + path_);
      },
      IsBusy);
  return RefusedOrFailed(written, path_);
}

OsResult WindowsLogFile::Close() {
  if (!::CloseHandle(file_.release()))
    return ErrorResult(::GetLastError(), "Не удалось закрыть файл " + path_);
  return OsResult::Success();
}

}  // namespace tallowmer::platform::windows
