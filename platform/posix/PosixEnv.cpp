// POSIX side of the environment: XDG-style data folders, a group and mode bits instead of ACLs.

#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "platform/Env.h"
#include "platform/posix/FileDescriptor.h"
#include "platform/posix/FolderWalk.h"
#include "platform/posix/PosixLogFile.h"

namespace tallowmer::platform {
namespace {

class LocaleHandle {
 public:
  LocaleHandle() : locale_(newlocale(LC_NUMERIC_MASK | LC_TIME_MASK, "", static_cast<locale_t>(0))) {
    if (locale_ == static_cast<locale_t>(0)) locale_ = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  }
  LocaleHandle(const LocaleHandle&) = delete;
  LocaleHandle& operator=(const LocaleHandle&) = delete;
  ~LocaleHandle() {
    if (locale_ != static_cast<locale_t>(0)) freelocale(locale_);
  }
  std::string Info(nl_item item) const { return nl_langinfo_l(item, locale_); }

 private:
  locale_t locale_;
};

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool IsWritableDirectory(const std::string& path) {
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

// The home folder that the user database names for the effective user: $HOME may be anything that
// whoever started the process chose, or missing. Empty when the user has none.
std::string UserHome() {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr) return "";
  return found->pw_dir;
}

std::string UserDataFolder() {
  std::string xdg = EnvironmentValue("XDG_DATA_HOME");
  if (!xdg.empty()) return xdg;
  std::string home = EnvironmentValue("HOME");
  if (home.empty()) home = UserHome();
  return home.empty() ? "" : home + "/.local/share";
}

// The user's own state folder, where the lines of refused shared logs go. Under
// LS_TALLOWMER_DATA_DIR a folder of the user's id below its "user" folder, so that users do not share
// it there either. Else $XDG_STATE_HOME when it is an absolute path through folders that nobody but
// the user and root can change; else ~/.local/state in the home that the user database names. Never
// a folder that every user shares, such as /tmp.
std::string UserStateFolder() {
  const std::string data = EnvironmentValue("LS_TALLOWMER_DATA_DIR");
  if (!data.empty()) return data + "/user/" + std::to_string(::geteuid());
  const std::string xdg = EnvironmentValue("XDG_STATE_HOME");
  HeldFolder folder;
  if (!xdg.empty() && xdg.front() == '/' &&
      WalkToFolder(xdg, {FolderTrust::PrivateLogFolder, MissingFolder::CreatePrivate, true}, folder).ok()) {
    return xdg;
  }
  const std::string home = UserHome();
  return home.empty() ? "" : home + "/.local/state";
}

// Translates a strftime pattern ("%d.%m.%Y") into FormatDateTime notation ("dd.mm.yyyy") and
// reports the first separator it meets between fields.
std::string TranslateTimePattern(const std::string& pattern, std::string& separator) {
  std::string result;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      if (separator.empty()) separator = std::string(1, pattern[i]);
      result += pattern[i];
      continue;
    }
    switch (pattern[++i]) {
      case 'd':
      case 'e':
        result += "dd";
        break;
      case 'm':
        result += "mm";
        break;
      case 'Y':
        result += "yyyy";
        break;
      case 'y':
        result += "yy";
        break;
      case 'H':
      case 'I':
      case 'k':
      case 'l':
        result += "hh";
        break;
      case 'M':
        result += "nn";
        break;
      case 'S':
        result += "ss";
        break;
      case 'T':
        result += "hh:nn:ss";
        if (separator.empty()) separator = ":";
        break;
      case 'R':
        result += "hh:nn";
        if (separator.empty()) separator = ":";
        break;
      case 'D':
        result += "mm/dd/yy";
        if (separator.empty()) separator = "/";
        break;
      case 'F':
        result += "yyyy-mm-dd";
        if (separator.empty()) separator = "-";
        break;
      default:
        break;  // AM/PM markers and the like: a 24-hour clock is used instead.
    }
  }
  while (!result.empty() && result.back() == ' ') result.pop_back();
  return result;
}

// Puts the date separator placeholder "/" and the time separator placeholder ":" in place of the
// locale's literal separators, the way regional format strings are stored.
std::string WithPlaceholder(std::string format, const std::string& separator, char placeholder) {
  if (separator.empty()) return format;
  std::string result;
  for (size_t i = 0; i < format.size();) {
    if (format.compare(i, separator.size(), separator) == 0) {
      result += placeholder;
      i += separator.size();
    } else {
      result += format[i++];
    }
  }
  return result;
}

// Appending through a file kept open: a refusal of a write shows as a refusal, as of an open.
class PosixAppendFile final : public AppendFile {
 public:
  explicit PosixAppendFile(PosixLogFile file) : file_(std::move(file)) {}
  OsResult Append(std::string_view bytes) override { return file_.Append(bytes); }

 private:
  PosixLogFile file_;
};

class PosixEnv final : public Env {
 public:
  LocalTime Now() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    return LocalTime{parts.tm_year + 1900,
                     parts.tm_mon + 1,
                     parts.tm_mday,
                     parts.tm_hour,
                     parts.tm_min,
                     parts.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
  }

  std::string SpecialFolderPath(int folderId) override {
    // The user's own folder is made only where it is to be used, for the user alone.
    if (folderId == kFolderUserLocalAppData) return UserStateFolder();
    std::string path = EnvironmentValue("LS_TALLOWMER_DATA_DIR");
    if (path.empty()) {
      if (folderId == kFolderCommonAppData && IsWritableDirectory("/var/lib")) {
        path = "/var/lib";
      } else {
        path = UserDataFolder();
      }
    }
    // The data folder may well be a link of the user's (a dotfile manager's, say).
    HeldFolder folder;
    if (!WalkToFolder(path, {FolderTrust::Reachable, MissingFolder::CreateShared, true}, folder).ok())
      return "";
    return path;
  }

  std::string ModuleFilePath() override {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DefaultEnv), &info) == 0 || info.dli_fname == nullptr) return "";
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
    return resolved;
  }

  // Shared objects here carry no version resource: every module of this build has the numbers
  // fixed when it was built.
  FileVersion ModuleVersion(const std::string&) override {
    return FileVersion{LS_VERSION_MAJOR, LS_VERSION_MINOR, LS_VERSION_RELEASE, LS_VERSION_BUILD};
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat status {};
    return !path.empty() && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }

  bool FileExists(const std::string& path) override {
    struct stat status {};
    return !path.empty() && ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
  }

  OsResult ForceDirectories(const std::string& path) override {
    HeldFolder folder;
    return WalkToFolder(path, {FolderTrust::SharedLogFolder, MissingFolder::CreateShared}, folder);
  }

  OsResult GrantEveryoneFullAccess(const std::string& folder) override {
    // The folder itself, reached through folders that nobody else can swap: opening some other
    // folder of the user's to the group is what a swapped one would be planted for.
    HeldFolder held;
    if (OsResult reached = WalkToFolder(folder, {FolderTrust::SharedLogFolder, MissingFolder::Fail}, held);
        !reached.ok())
      return reached;
    // Like a refused change of an access list, a folder that is not the user's keeps its mode.
    if (held.status.st_uid != ::geteuid()) {
      return OsResult::Refused("папка " + folder + " принадлежит другому пользователю (uid " +
                               std::to_string(held.status.st_uid) + ")");
    }
    if ((held.status.st_mode & 07777) == kSharedFolderMode) return OsResult::Success();
    // A handle opened with O_PATH cannot change a mode: the folder is opened again through it.
    const FileDescriptor opened(::openat(held.handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0 || ::fchmod(opened.get(), kSharedFolderMode) != 0) {
      return ErrnoFailure(errno, "Нет доступа к папке " + folder);
    }
    return OsResult::Success();
  }

  OsResult ForcePrivateDirectories(const std::string& path) override {
    HeldFolder held;
    if (OsResult reached =
            WalkToFolder(path, {FolderTrust::PrivateLogFolder, MissingFolder::CreatePrivate}, held);
        !reached.ok()) {
      return OsResult::Failure(reached.errorCode(),
                               "Личная папка журналов " + path + " недоступна: " + reached.message());
    }
    // A folder that an older version made readable by others is the user's alone from now on.
    if ((held.status.st_mode & 07777) == kPrivateFolderMode || held.status.st_uid != ::geteuid())
      return OsResult::Success();
    const FileDescriptor opened(::openat(held.handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0 || ::fchmod(opened.get(), kPrivateFolderMode) != 0) {
      return ErrnoFailure(errno, "Не удалось закрыть от других пользователей папку " + path);
    }
    return OsResult::Success();
  }

  OsResult AppendToLogFile(const std::string& path, std::string_view text, LogFileOptions options) override {
    PosixLogFile file;
    if (OsResult opened = file.Open(path, options.access); !opened.ok()) return opened;
    if (OsResult written = file.Append(text); !written.ok()) return written;
    return file.Close();
  }

  std::unique_ptr<AppendFile> OpenLogFile(const std::string& path, LogFileOptions options,
                                          OsResult& failure) override {
    PosixLogFile file;
    failure = file.Open(path, options.access);
    if (!failure.ok()) return nullptr;
    return std::make_unique<PosixAppendFile>(std::move(file));
  }

  RegionalFormats UserRegionalFormats() override {
    const LocaleHandle locale;
    RegionalFormats formats;
    formats.decimalSeparator = locale.Info(RADIXCHAR);
    if (formats.decimalSeparator.empty()) formats.decimalSeparator = ".";
    std::string dateSeparator;
    std::string timeSeparator;
    const std::string date = TranslateTimePattern(locale.Info(D_FMT), dateSeparator);
    const std::string time = TranslateTimePattern(locale.Info(T_FMT), timeSeparator);
    formats.dateSeparator = dateSeparator.empty() ? "/" : dateSeparator;
    formats.timeSeparator = timeSeparator.empty() ? ":" : timeSeparator;
    formats.shortDateFormat = WithPlaceholder(date.empty() ? "mm/dd/yy" : date, formats.dateSeparator, '/');
    formats.longTimeFormat = WithPlaceholder(time.empty() ? "hh:nn:ss" : time, formats.timeSeparator, ':');
    formats.shortTimeFormat = "hh:nn";
    return formats;
  }

  // No desktop here: no hidden window, and never a foreground window to block or bring back.
  uintptr_t CreateMessageWindow(MessageHandler) override { return 0; }
  void DestroyMessageWindow(uintptr_t) override {}
  uintptr_t ForegroundWindow() override { return 0; }
  void SetWindowEnabled(uintptr_t, bool) override {}
  void ActivateWindow(uintptr_t) override {}

  void ShowInformation(const std::string& caption, const std::string& text) override {
    std::cerr << caption << ": " << text << std::endl;
  }
};

}  // namespace

Env& DefaultEnv() {
  static PosixEnv env;
  return env;
}

}  // namespace tallowmer::platform
