#pragma once

// A log file on POSIX, opened under the rules of Env::AppendToLogFile.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/Env.h"
#include "platform/posix/FileDescriptor.h"

namespace tallowmer::platform {

class PosixLogFile {
 public:
  // Opens the file at `path` for appending, creating it when missing, in a folder reached by
  // WalkToFolder under FolderTrust::SharedLogFolder or, for the user's own logs,
  // FolderTrust::PrivateLogFolder.
  OsResult Open(const std::string& path, LogAccess access);

  // Appends the bytes in one write, which O_APPEND puts at the end of the file whoever else
  // appends: writers that share the file need no lock for their lines to stay whole. A write that
  // another user made impossible (a file grown to the largest size the system allows, a full quota
  // of the file's owner) is refused.
  OsResult Append(std::string_view bytes);

  // Closes now, so that a failing close can be reported.
  OsResult Close();

 private:
  FileDescriptor file_;
  std::string path_;
  uid_t owner_ = 0;
};

}  // namespace tallowmer::platform
