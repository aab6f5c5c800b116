#include "platform/posix/PosixLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/FolderWalk.h"

namespace tallowmer::platform {
namespace {

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.find_last_of('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why the file cannot be opened, when another user can have caused it: something planted under its
// name (a link, a folder, a pipe), a file of theirs made read-only or locked against writing.
// Empty for a failure of the system's own.
std::string RefusalOfOpen(int code) {
  switch (code) {
    case ELOOP:
      return "это символическая ссылка";
    case EISDIR:
      return "это папка";
    case ENXIO:
    case ENODEV:
      return "это не обычный файл";
    case EACCES:
    case EPERM:
    case ETXTBSY:
    case EWOULDBLOCK:
    case EEXIST:
      return std::strerror(code);
    default:
      return {};
  }
}

// Why an opened log file is not this user's to write: something that is no plain file, a second
// name (a hard link another user made, to a file elsewhere or to this very log), or an owner who
// could read whatever is written to it or change its permissions. The folder's owner may remove and
// replace any file in the folder anyway, so a file of theirs is no worse. Empty when it is fine.
std::string RefusalOf(const struct stat& status, const struct stat& folder) {
  if (!S_ISREG(status.st_mode)) return "это не обычный файл";
  if (status.st_nlink != 1)
    return "у файла есть другие имена (жёстких ссылок: " + std::to_string(status.st_nlink) + ")";
  if (status.st_uid != ::geteuid() && status.st_uid != 0 && status.st_uid != folder.st_uid) {
    return "файл принадлежит другому пользователю (uid " + std::to_string(status.st_uid) + ")";
  }
  return {};
}

// Opens the file in the held folder: an existing one as it is, a missing one created anew, never
// through a link (O_NOFOLLOW) and never blocked by a pipe planted under its name (O_NONBLOCK until
// it is known to be a file).
OsResult OpenInFolder(const HeldFolder& folder, const std::string& name, const std::string& path, mode_t mode,
                      FileDescriptor& file, bool& created) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  created = false;
  int code = 0;
  for (int attempt = 0; attempt < 3 && file.get() < 0; ++attempt) {
    file = FileDescriptor(::openat(folder.handle.get(), name.c_str(), kFlags));
    if (file.get() >= 0) break;
    code = errno;
    if (code != ENOENT) break;
    file = FileDescriptor(::openat(folder.handle.get(), name.c_str(), kFlags | O_CREAT | O_EXCL, mode));
    created = file.get() >= 0;
    code = errno;
    if (!created && code != EEXIST) break;  // EEXIST: another writer created it meanwhile
  }
  if (file.get() >= 0) return OsResult::Success();
  if (const std::string refusal = RefusalOfOpen(code); !refusal.empty()) {
    return OsResult::Refused("файл " + path + ": " + refusal);
  }
  return ErrnoFailure(code, "Не удалось открыть файл " + path);
}

}  // namespace

OsResult PosixLogFile::Open(const std::string& path, LogAccess access) {
  path_ = path;
  std::string folderName;
  std::string name;
  SplitPath(path, folderName, name);
  const bool shared = access == LogAccess::Shared;
  HeldFolder folder;
  const FolderWalk walk{shared ? FolderTrust::SharedLogFolder : FolderTrust::PrivateLogFolder,
                        MissingFolder::Fail};
  if (OsResult reached = WalkToFolder(folderName, walk, folder); !reached.ok()) return reached;
  const mode_t mode = shared ? kSharedFileMode : kPrivateFileMode;
  bool created = false;
  if (OsResult opened = OpenInFolder(folder, name, path, mode, file_, created); !opened.ok()) return opened;
  struct stat status {};
  if (::fstat(file_.get(), &status) != 0) return ErrnoFailure(errno, "Не удалось открыть файл " + path);
  if (const std::string refusal = RefusalOf(status, folder.status); !refusal.empty()) {
    struct stat named {};
    // What this call created is taken away again, and only when the name still leads to it.
    if (created && ::fstatat(folder.handle.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == status.st_dev && named.st_ino == status.st_ino) {
      ::unlinkat(folder.handle.get(), name.c_str(), 0);
    }
    file_ = FileDescriptor();
    return OsResult::Refused("файл " + path + ": " + refusal);
  }
  owner_ = status.st_uid;
  ::fcntl(file_.get(), F_SETFL, O_WRONLY | O_APPEND);
  // A file of this user's, made before or by an older version with wider permissions, is given what
  // its folder's kind allows; never more.
  if (status.st_uid == ::geteuid() && (status.st_mode & 07777) != mode) ::fchmod(file_.get(), mode);
  return OsResult::Success();
}

OsResult PosixLogFile::Append(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(file_.get(), bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    const int code = errno;
    if (code == EINTR) continue;
    // The largest size the system allows is reached only by someone who set it (truncate -s): no log
    // grows to it. A full quota is its owner's, and the owner of a file that is not this user's is
    // someone else.
    if (code == EFBIG || code == EPERM || code == EACCES ||
        ((code == ENOSPC || code == EDQUOT) && owner_ != ::geteuid())) {
      return OsResult::Refused("файл " + path_ + ": " + std::strerror(code));
    }
    return ErrnoFailure(code, "Не удалось записать в файл " + path_);
  }
  return OsResult::Success();
}

OsResult PosixLogFile::Close() {
  if (!file_.Close()) return ErrnoFailure(errno, "Не удалось закрыть файл " + path_);
  return OsResult::Success();
}

}  // namespace tallowmer::platform
