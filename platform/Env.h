#pragma once

// Everything the portable code needs from the operating system goes through Env: folders, the
// module's own file, the folder access grant, the clock, regional formats, log-file appends and
// the user-facing notice. One implementation per platform; tests substitute pieces with EnvWrapper.
//
// Threads. A host may make driver objects in several of its threads, and the driver runs work on
// threads of its own (the device test's requests): Env::Current() and every operation below may be
// called from several threads at once without a lock of the caller's, and every Env, a test's
// included, must keep it so. Two kinds of call belong to a thread, as the windowing system's own
// do: a message window is created, gets its messages and is destroyed on one thread, and the window
// calls and the notice are made by the thread whose windows they concern. SetForTesting may switch
// the environment while other threads use it, but the environment it replaces must outlive every
// thread that may still be inside one of its calls.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tallowmer::platform {

#ifdef _WIN32
inline constexpr char kPathDelimiter = '\\';
#else
inline constexpr char kPathDelimiter = '/';
#endif

// Shell folder identifiers, as the Windows shell numbers them.
inline constexpr int kFolderUserAppData = 26;
// The user's own, not roaming, application data: where nobody but the user may write.
inline constexpr int kFolderUserLocalAppData = 28;
inline constexpr int kFolderCommonAppData = 35;

struct LocalTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// The user's regional formats in the notation of FormatDateTime ("dd.mm.yyyy", "hh:nn:ss").
struct RegionalFormats {
  std::string decimalSeparator = ".";
  std::string dateSeparator = ".";
  std::string timeSeparator = ":";
  std::string shortDateFormat = "dd.mm.yyyy";
  std::string shortTimeFormat = "hh:nn";
  std::string longTimeFormat = "hh:nn:ss";
};

// A module file's version: major, minor, release, build.
struct FileVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t release = 0;
  uint16_t build = 0;
};

// Outcome of an operating-system call: the system's error code and its text when it failed.
// `refused()` marks a file or folder that was there to open but is not what it was asked for (a
// link planted under its name, a folder swapped for another): the message then tells why.
class OsResult {
 public:
  OsResult() = default;
  static OsResult Success() { return {}; }
  static OsResult Failure(int code, std::string text) { return {State::Failed, code, std::move(text)}; }
  static OsResult Refused(std::string reason) { return {State::Refused, 0, std::move(reason)}; }

  bool ok() const { return state_ == State::Succeeded; }
  bool refused() const { return state_ == State::Refused; }
  int errorCode() const { return errorCode_; }
  const std::string& message() const { return message_; }

 private:
  enum class State : uint8_t { Succeeded, Failed, Refused };

  OsResult(State state, int errorCode, std::string message)
      : state_(state), errorCode_(errorCode), message_(std::move(message)) {}

  State state_ = State::Succeeded;
  int errorCode_ = 0;
  std::string message_;
};

// How long a writer waits for a log file that another writer holds: a line takes microseconds to
// write, so a file still held after this is not going to be freed by waiting.
inline constexpr std::chrono::milliseconds kBusyFileWait{250};

// A file held open for appending while one piece of work runs (the HTTP log during one request).
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Appends the bytes unconverted, in one piece, after whatever other writers appended meanwhile.
  virtual OsResult Append(std::string_view bytes) = 0;
};

// Who may read a log file and append to it besides the user who writes it.
enum class LogAccess : uint8_t {
  // The users that a shared log folder is open to: everyone may read and append on Windows, as the
  // folder's access list says; on POSIX the folder's group may read, since whoever may append to a
  // file there may also empty it.
  Shared,
  // Nobody: the user's own log folder.
  OwnerOnly,
};

struct LogFileOptions {
  LogAccess access = LogAccess::Shared;
  // Whether a file that another writer holds is waited for (kBusyFileWait). A log that was refused a
  // moment ago is tried once without waiting: a file held by someone who means to hold it would
  // otherwise cost every line the whole wait.
  bool waitWhileBusy = true;
};

class Env {
 public:
  Env() = default;
  // Tests register an environment by its address: a copy would be a second, unregistered one.
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // The environment in force; tests may replace it for their lifetime (nullptr restores the default).
  static Env& Current();
  static void SetForTesting(Env* env);

  virtual LocalTime Now() = 0;

  // Path of a shell folder without guarantee of a trailing delimiter; empty when the platform fails.
  virtual std::string SpecialFolderPath(int folderId) = 0;
  // Full path of the file this code was loaded from (the driver module, not the host's executable).
  virtual std::string ModuleFilePath() = 0;

  // The version of a module file (empty: this module); all zero when it has none.
  virtual FileVersion ModuleVersion(const std::string& fileName) = 0;

  virtual bool DirectoryExists(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // Creates the folder and every missing parent of a shared log folder. A folder it creates below a
  // folder shared with a group is shared with that group in the same way; elsewhere it is writable
  // by the current user alone until it is opened to everyone. A name on the way that another user
  // planted (a link, a file, a folder that is not to be trusted) is refused (`refused` set).
  virtual OsResult ForceDirectories(const std::string& path) = 0;
  // Lets the users a shared log folder is meant for create files in the folder, append to them and
  // read them, but not remove or replace another user's file, change the folder's permissions or
  // remove the folder. A folder that is a link, that belongs to another user, or that the current
  // user may not change, is left as it is and refused (`refused` set): it is not for this user to
  // share.
  virtual OsResult GrantEveryoneFullAccess(const std::string& folder) = 0;
  // Creates the folder and every missing parent for the current user alone, and makes sure that no
  // other user can change the folder or any folder on the way to it. Fails, with a text that says
  // why, when that cannot be had.
  virtual OsResult ForcePrivateDirectories(const std::string& path) = 0;

  // Appends text (UTF-8) to a log file, creating it when missing, as one piece after whatever other
  // writers appended. The file is held only for this call (on Windows others may read it meanwhile
  // but not write, and a file another writer holds is waited for). The text is stored in the
  // platform's log encoding.
  // The file must be a plain file with one name, belonging to the current user, to the system (root,
  // the administrators) or to the folder's owner, in a folder of the user's or the system's, the very
  // folder its path names, on a path that nobody else can redirect. Whatever another user can do to
  // the file or the folders on the way (plant a link, a folder or a file of their own, hold or lock
  // the file, make it read-only or too large to grow) refuses it (`refused` set) before a byte of
  // this call is written; a file created for this call never lands outside that folder. Only what no
  // other user can cause (a folder missing where nobody else could have removed it, say) is a failure.
  virtual OsResult AppendToLogFile(const std::string& path, std::string_view text,
                                   LogFileOptions options) = 0;

  // Opens a log file for appending, creating it when missing, under the rules of AppendToLogFile;
  // other writers may append to it meanwhile. Null, with the reason in `failure`, when it cannot be
  // opened or is refused.
  virtual std::unique_ptr<AppendFile> OpenLogFile(const std::string& path, LogFileOptions options,
                                                  OsResult& failure) = 0;

  virtual RegionalFormats UserRegionalFormats() = 0;

  // A hidden window whose messages go to `handler` on the thread that created it; 0 where the
  // platform has no windows.
  using MessageHandler = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;
  virtual uintptr_t CreateMessageWindow(MessageHandler handler) = 0;
  virtual void DestroyMessageWindow(uintptr_t window) = 0;

  // The desktop's foreground window, 0 when there is none or no desktop at all.
  virtual uintptr_t ForegroundWindow() = 0;
  virtual void SetWindowEnabled(uintptr_t window, bool enabled) = 0;
  // Brings a window to the foreground and tells it that it has the focus again.
  virtual void ActivateWindow(uintptr_t window) = 0;

  // A modal information notice for the person at the machine.
  virtual void ShowInformation(const std::string& caption, const std::string& text) = 0;
};

// Forwards every call to another Env; tests derive from it and override what they need.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}

  LocalTime Now() override { return target_.Now(); }
  std::string SpecialFolderPath(int folderId) override { return target_.SpecialFolderPath(folderId); }
  std::string ModuleFilePath() override { return target_.ModuleFilePath(); }
  FileVersion ModuleVersion(const std::string& fileName) override { return target_.ModuleVersion(fileName); }
  bool DirectoryExists(const std::string& path) override { return target_.DirectoryExists(path); }
  bool FileExists(const std::string& path) override { return target_.FileExists(path); }
  OsResult ForceDirectories(const std::string& path) override { return target_.ForceDirectories(path); }
  OsResult GrantEveryoneFullAccess(const std::string& folder) override {
    return target_.GrantEveryoneFullAccess(folder);
  }
  OsResult ForcePrivateDirectories(const std::string& path) override {
    return target_.ForcePrivateDirectories(path);
  }
  OsResult AppendToLogFile(const std::string& path, std::string_view text, LogFileOptions options) override {
    return target_.AppendToLogFile(path, text, options);
  }
  std::unique_ptr<AppendFile> OpenLogFile(const std::string& path, LogFileOptions options,
                                          OsResult& failure) override {
    return target_.OpenLogFile(path, options, failure);
  }
  RegionalFormats UserRegionalFormats() override { return target_.UserRegionalFormats(); }
  uintptr_t CreateMessageWindow(MessageHandler handler) override {
    return target_.CreateMessageWindow(std::move(handler));
  }
  void DestroyMessageWindow(uintptr_t window) override { target_.DestroyMessageWindow(window); }
  uintptr_t ForegroundWindow() override { return target_.ForegroundWindow(); }
  void SetWindowEnabled(uintptr_t window, bool enabled) override {
    target_.SetWindowEnabled(window, enabled);
  }
  void ActivateWindow(uintptr_t window) override { target_.ActivateWindow(window); }
  void ShowInformation(const std::string& caption, const std::string& text) override {
    target_.ShowInformation(caption, text);
  }

 private:
  Env& target_;
};

// The platform's own environment.
Env& DefaultEnv();

}  // namespace tallowmer::platform
