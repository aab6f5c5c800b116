// POSIX side of the environment: XDG-style data folders, mode bits instead of ACLs, flock for the
// "others may read, nobody else may write" rule of the shared log files.

#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/file.h>
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

namespace tallowmer::platform {
namespace {

OsResult LastError(const std::string& what) {
  const int code = errno;
  return OsResult::Failure(code, what + ": " + std::strerror(code));
}

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

std::string UserDataFolder() {
  std::string xdg = EnvironmentValue("XDG_DATA_HOME");
  if (!xdg.empty()) return xdg;
  std::string home = EnvironmentValue("HOME");
  return (home.empty() ? std::string("/tmp") : home) + "/.local/share";
}

std::string UserStateFolder() {
  std::string xdg = EnvironmentValue("XDG_STATE_HOME");
  if (!xdg.empty()) return xdg;
  std::string home = EnvironmentValue("HOME");
  return (home.empty() ? std::string("/tmp") : home) + "/.local/state";
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

// rwxrwxrwt: what /tmp has.
constexpr mode_t kSharedFolderMode = 01777;
// Folders this code creates: others may look in, only the creator may write, until the folder is
// opened to everyone on purpose.
constexpr mode_t kNewFolderMode = 0755;

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.find_last_of('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// A symbolic link on the way to a log folder is trusted when it belongs to the system or to the
// user the host runs as: one that another user made is how a shared folder gets swapped for a
// folder of the attacker's choosing.
OsResult CheckLinksOnTheWay(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string partial = folder.substr(0, slash);
    struct stat status {};
    if (!partial.empty() && ::lstat(partial.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
        status.st_uid != 0 && status.st_uid != ::geteuid()) {
      return OsResult::Refused("путь к папке проходит через ссылку " + partial + " другого пользователя");
    }
    if (slash == std::string::npos) return OsResult::Success();
  }
}

// Opens the folder itself, never a link in its place, and makes sure that its name still leads to
// the folder held: files are then opened relative to the held folder, so a folder renamed or
// replaced meanwhile cannot send them anywhere else.
OsResult OpenLogFolder(const std::string& folder, FileDescriptor& handle) {
  if (OsResult links = CheckLinksOnTheWay(folder); !links.ok()) return links;
  handle = FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (handle.get() < 0) {
    if (errno == ELOOP || errno == ENOTDIR) return OsResult::Refused("папка " + folder + " — это ссылка");
    return LastError("Не удалось открыть папку " + folder);
  }
  struct stat held {};
  struct stat named {};
  if (::fstat(handle.get(), &held) != 0) return LastError("Не удалось открыть папку " + folder);
  if (::stat(folder.c_str(), &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
    return OsResult::Refused("папку " + folder + " подменили во время открытия");
  }
  return CheckLinksOnTheWay(folder);
}

// Why an opened log file is not ours to write: a second name (a hard link a user made to a file
// elsewhere) or something that is no plain file. Empty when it is fine.
std::string RefusalOf(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return "это не обычный файл";
  if (status.st_nlink != 1)
    return "у файла есть другие имена (жёстких ссылок: " + std::to_string(status.st_nlink) + ")";
  return {};
}

// Opens the file in the held folder: an existing one as it is, a missing one created anew, never
// through a link (O_NOFOLLOW) and never blocked by a pipe planted under its name (O_NONBLOCK until
// it is known to be a file). Whoever creates the day's file lets the other users append to it.
OsResult OpenInFolder(int folder, const std::string& name, const std::string& path, FileDescriptor& file) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  bool created = false;
  for (int attempt = 0; attempt < 3 && file.get() < 0; ++attempt) {
    int fd = ::openat(folder, name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::openat(folder, name.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
      if (fd < 0 && errno == EEXIST) continue;  // another writer created it meanwhile
      created = fd >= 0;
    }
    if (fd < 0) {
      if (errno == ELOOP) return OsResult::Refused("файл " + path + " — это символическая ссылка");
      if (errno == ENXIO) return OsResult::Refused("файл " + path + " — это не обычный файл");
      return LastError("Не удалось открыть файл " + path);
    }
    file = FileDescriptor(fd);
  }
  if (file.get() < 0) return LastError("Не удалось открыть файл " + path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return LastError("Не удалось открыть файл " + path);
  if (const std::string refusal = RefusalOf(status); !refusal.empty()) {
    struct stat named {};
    // What this call created is taken away again, and only when the name still leads to it.
    if (created && ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == status.st_dev && named.st_ino == status.st_ino) {
      ::unlinkat(folder, name.c_str(), 0);
    }
    file = FileDescriptor();
    return OsResult::Refused("файл " + path + ": " + refusal);
  }
  ::fcntl(file.get(), F_SETFL, O_WRONLY | O_APPEND);
  if (status.st_uid == ::geteuid() && (status.st_mode & 0666) != 0666) ::fchmod(file.get(), 0666);
  return OsResult::Success();
}

// Opens a log file for appending, creating it when missing, under the rules of
// Env::AppendToSharedFile.
OsResult OpenForAppending(const std::string& path, FileDescriptor& file) {
  std::string folderName;
  std::string name;
  SplitPath(path, folderName, name);
  FileDescriptor folder;
  if (OsResult opened = OpenLogFolder(folderName, folder); !opened.ok()) return opened;
  return OpenInFolder(folder.get(), name, path, file);
}

OsResult WriteAll(int fd, std::string_view text, const std::string& path) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return LastError("Не удалось записать в файл " + path);
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return OsResult::Success();
}

// With O_APPEND every write lands at the end of the file as one piece, so writers that share the
// file need no lock as long as each line is one write.
class PosixAppendFile final : public AppendFile {
 public:
  PosixAppendFile(FileDescriptor file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  OsResult Append(std::string_view bytes) override { return WriteAll(file_.get(), bytes, path_); }

 private:
  FileDescriptor file_;
  std::string path_;
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
    std::string path = EnvironmentValue("LS_TALLOWMER_DATA_DIR");
    if (folderId == kFolderUserLocalAppData) {
      path = path.empty() ? UserStateFolder() : path + "/user";
    } else if (path.empty()) {
      if (folderId == kFolderCommonAppData && IsWritableDirectory("/var/lib")) {
        path = "/var/lib";
      } else {
        path = UserDataFolder();
      }
    }
    if (!ForceDirectories(path).ok()) return "";
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
    if (path.empty()) return OsResult::Failure(ENOENT, "Не удалось создать папку: пустое имя");
    std::string partial;
    size_t position = 0;
    while (position != std::string::npos) {
      position = path.find('/', position + 1);
      partial = path.substr(0, position);
      if (partial.empty() || DirectoryExists(partial)) continue;
      if (::mkdir(partial.c_str(), kNewFolderMode) != 0 && errno != EEXIST) {
        return LastError("Не удалось создать папку " + partial);
      }
    }
    return OsResult::Success();
  }

  OsResult GrantEveryoneFullAccess(const std::string& folder) override {
    // The folder itself, not whatever a link in its place leads to: opening some other folder of
    // the host's to everyone is what the link would be planted for.
    FileDescriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (handle.get() < 0) {
      if (errno == ELOOP || errno == ENOTDIR) return OsResult::Success();
      return LastError("Нет доступа к папке " + folder);
    }
    struct stat status {};
    if (::fstat(handle.get(), &status) != 0) return LastError("Нет доступа к папке " + folder);
    // Everyone may create files here, as in /tmp; the sticky bit keeps them from removing or
    // replacing each other's files (a log swapped for a link, say). Like a refused ACL write, a
    // folder owned by someone else keeps its mode without an error.
    if ((status.st_mode & 07777) != kSharedFolderMode && status.st_uid == ::geteuid()) {
      ::fchmod(handle.get(), kSharedFolderMode);
    }
    return OsResult::Success();
  }

  OsResult AppendToSharedFile(const std::string& path, std::string_view text) override {
    FileDescriptor file;
    if (OsResult opened = OpenForAppending(path, file); !opened.ok()) return opened;
    const OsResult locked = RetryWhileBusy(
        [&] {
          return ::flock(file.get(), LOCK_EX | LOCK_NB) == 0 ? OsResult::Success()
                                                             : LastError("Файл занят: " + path);
        },
        [](const OsResult& result) {
          return result.errorCode() == EWOULDBLOCK || result.errorCode() == EINTR;
        });
    if (!locked.ok()) return locked;
    const OsResult written = WriteAll(file.get(), text, path);
    if (!written.ok()) return written;
    if (!file.Close()) return LastError("Не удалось закрыть файл " + path);
    return OsResult::Success();
  }

  std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path, OsResult& failure) override {
    FileDescriptor file;
    failure = OpenForAppending(path, file);
    if (!failure.ok()) return nullptr;
    return std::make_unique<PosixAppendFile>(std::move(file), path);
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
