#include "platform/posix/FolderWalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <vector>

namespace tallowmer::platform {
namespace {

// As many links as the kernel follows on one path before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

std::string Owner(const struct stat& status) {
  return "uid " + std::to_string(status.st_uid);
}

bool OwnedByUserOrRoot(const struct stat& status) {
  return status.st_uid == ::geteuid() || status.st_uid == 0;
}

// Why nobody but the user and root can be trusted not to change what is in the folder: someone
// else owns it, or may write to it without the sticky bit holding them to their own entries. Empty
// when nobody else can.
std::string OthersMayChange(const struct stat& status) {
  if (!OwnedByUserOrRoot(status)) return "она принадлежит другому пользователю (" + Owner(status) + ")";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
    return "в неё могут писать другие пользователи";
  }
  return {};
}

// Why a folder on the way (`last`: the folder walked to) cannot be trusted; empty when it can.
std::string DistrustOf(const struct stat& status, FolderTrust trust, bool last) {
  switch (trust) {
    case FolderTrust::Reachable:
      return {};
    case FolderTrust::SharedLogFolder:
      return last && !OwnedByUserOrRoot(status)
                 ? "она принадлежит другому пользователю (" + Owner(status) + ")"
                 : std::string();
    case FolderTrust::PrivateLogFolder:
      return OthersMayChange(status);
  }
  return {};
}

void PushFrontNames(const std::string& path, std::deque<std::string>& names) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  names.insert(names.begin(), parts.begin(), parts.end());
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// The folder a walk starts from: the root for an absolute path, else the working folder.
OsResult OpenStart(bool absolute, FolderTrust trust, bool last, HeldFolder& folder, std::string& walked) {
  walked = absolute ? "/" : ".";
  folder.handle = FileDescriptor(::open(walked.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.handle.get() < 0 || ::fstat(folder.handle.get(), &folder.status) != 0) {
    return ErrnoFailure(errno, "Не удалось открыть папку " + walked);
  }
  if (const std::string distrust = DistrustOf(folder.status, trust, last); !distrust.empty()) {
    return OsResult::Refused("папке " + walked + " нельзя доверять: " + distrust);
  }
  return OsResult::Success();
}

// A missing folder is another user's doing when someone else may change the folder it belongs in:
// they may have removed it, or kept it from being made.
OsResult Missing(const HeldFolder& parent, const std::string& parentPath, const std::string& path) {
  if (const std::string others = OthersMayChange(parent.status); !others.empty()) {
    return OsResult::Refused("папки " + path + " нет, а папку " + parentPath +
                             " может изменить другой: " + others);
  }
  return ErrnoFailure(ENOENT, "Не удалось открыть папку " + path);
}

// Creates the missing folder `name` in `parent`. Its mode is set on the folder itself, as the
// process's umask would narrow what mkdirat is given.
OsResult CreateFolder(const HeldFolder& parent, const std::string& name, const std::string& path,
                      MissingFolder missing) {
  const mode_t mode = missing == MissingFolder::CreatePrivate ? kPrivateFolderMode
                      : IsGroupSharedFolder(parent.status)    ? kSharedFolderMode
                                                              : 0755;
  if (::mkdirat(parent.handle.get(), name.c_str(), kPrivateFolderMode) != 0) {
    if (errno == EEXIST) return OsResult::Success();  // made meanwhile: the walk looks at what is there
    if (errno == EACCES || errno == EPERM) {
      return OsResult::Refused("нельзя создать папку " + path + ": " + std::strerror(errno));
    }
    return ErrnoFailure(errno, "Не удалось создать папку " + path);
  }
  const FileDescriptor made(
      ::openat(parent.handle.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  // Only what this user owns is given its mode: a name swapped meanwhile is judged by the walk.
  if (made.get() >= 0 && ::fstat(made.get(), &status) == 0 && status.st_uid == ::geteuid() &&
      (status.st_mode & 07777) != mode) {
    ::fchmod(made.get(), mode);
  }
  return OsResult::Success();
}

OsResult FollowLink(const FileDescriptor& link, const struct stat& status, const std::string& path,
                    int& links, std::deque<std::string>& names, bool& absolute) {
  if (!OwnedByUserOrRoot(status)) {
    return OsResult::Refused("путь к папке проходит через ссылку " + path + " другого пользователя (" +
                             Owner(status) + ")");
  }
  if (++links > kMaxLinks) return ErrnoFailure(ELOOP, "Не удалось открыть папку " + path);
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlinkat(link.get(), "", target.data(), target.size());
  if (length < 0) return ErrnoFailure(errno, "Не удалось прочитать ссылку " + path);
  if (static_cast<size_t>(length) >= target.size()) return ErrnoFailure(ENAMETOOLONG, "Ссылка " + path);
  target.resize(static_cast<size_t>(length));
  absolute = !target.empty() && target.front() == '/';
  PushFrontNames(target, names);
  return OsResult::Success();
}

}  // namespace

OsResult ErrnoFailure(int code, const std::string& what) {
  return OsResult::Failure(code, what + ": " + std::strerror(code));
}

bool IsGroupSharedFolder(const struct stat& status) {
  return S_ISDIR(status.st_mode) && (status.st_mode & S_ISGID) != 0 &&
         (status.st_mode & S_IRWXG) == S_IRWXG && (status.st_mode & S_IRWXO) == 0;
}

OsResult WalkToFolder(const std::string& path, const FolderWalk& walk, HeldFolder& folder) {
  if (path.empty()) return ErrnoFailure(ENOENT, "Не удалось открыть папку");
  std::deque<std::string> names;
  PushFrontNames(path, names);
  std::string walked;
  if (OsResult start = OpenStart(path.front() == '/', walk.trust, names.empty(), folder, walked); !start.ok())
    return start;
  int links = 0;
  // Tries at creating the folder in hand: one made and removed again by someone else each time
  // must not keep the walk going for ever.
  int creations = 0;
  while (!names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    if (name == ".") continue;
    const std::string here = Join(walked, name);
    HeldFolder next;
    next.handle =
        FileDescriptor(::openat(folder.handle.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.handle.get() < 0) {
      const int code = errno;
      if (code == ENOENT && walk.missing != MissingFolder::Fail && ++creations <= 3) {
        if (OsResult created = CreateFolder(folder, name, here, walk.missing); !created.ok()) return created;
        names.push_front(name);
        continue;
      }
      if (code == EACCES || code == EPERM || code == ENOTDIR) {
        return OsResult::Refused("нет доступа к папке " + here + ": " + std::strerror(code));
      }
      if (code == ENOENT) return Missing(folder, walked, here);
      return ErrnoFailure(code, "Не удалось открыть папку " + here);
    }
    if (::fstat(next.handle.get(), &next.status) != 0)
      return ErrnoFailure(errno, "Не удалось открыть папку " + here);
    if (S_ISLNK(next.status.st_mode)) {
      if (names.empty() && !walk.lastMayBeLink) return OsResult::Refused("папка " + here + " — это ссылка");
      bool absolute = false;
      if (OsResult followed = FollowLink(next.handle, next.status, here, links, names, absolute);
          !followed.ok())
        return followed;
      if (absolute) {
        if (OsResult start = OpenStart(true, walk.trust, names.empty(), folder, walked); !start.ok())
          return start;
      }
      continue;
    }
    if (!S_ISDIR(next.status.st_mode)) return OsResult::Refused(here + " — это не папка");
    if (const std::string distrust = DistrustOf(next.status, walk.trust, names.empty()); !distrust.empty()) {
      return OsResult::Refused("папке " + here + " нельзя доверять: " + distrust);
    }
    folder = std::move(next);
    walked = here;
    creations = 0;
  }
  return OsResult::Success();
}

}  // namespace tallowmer::platform
