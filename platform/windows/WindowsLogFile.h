#pragma once

// A log file on Windows, opened under the rules of Env::AppendToLogFile, and the checks that the
// folder access grant shares with it.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/Env.h"
#include "platform/windows/WindowsHandles.h"

namespace tallowmer::platform::windows {

// The path that a handle was opened on, after every link, junction and mount point on the way, in
// the form of a DOS path ("C:\ProgramData\...", "\\server\share\..."); empty when it cannot be read.
std::wstring FinalPath(HANDLE handle);

// The path a folder name stands for, in full and in its long form, without a trailing delimiter: what
// the final path of the folder must be when nothing on the way was swapped for a link.
std::wstring IntendedPath(const std::wstring& folder);

bool SamePath(std::wstring_view left, std::wstring_view right);

// The owner of a file or folder, read through a handle opened with READ_CONTROL.
class ObjectOwner {
 public:
  // False, with the system's error, when the owner cannot be read.
  bool Read(HANDLE object);
  // Null on a volume that keeps no owners.
  PSID Get() const { return owner_; }

 private:
  UniqueLocal descriptor_;
  PSID owner_ = nullptr;
};

// Why the user cannot count on what is written to an object of this owner staying between the user
// and those the logs are meant for: empty when the owner is the user, the administrators, the system
// or `alsoTrusted` (a folder's owner, who may replace any file in the folder anyway).
std::string DistrustOfOwner(PSID owner, PSID alsoTrusted = nullptr);

class WindowsLogFile {
 public:
  // Opens the file at `path` for appending, creating it when missing, in its folder held meanwhile;
  // `share` is what other writers may do with it while it is open.
  OsResult Open(const std::string& path, DWORD share, bool waitWhileBusy);

  // Appends the bytes in one write; the file's appending access puts them at its end, whoever else
  // appends. A range that another program holds locked is waited for as a held file is, then refused.
  OsResult Append(std::string_view bytes);

  // Closes now, so that a failing close can be reported.
  OsResult Close();

 private:
  UniqueFile file_;
  std::string path_;
  bool waitWhileBusy_ = true;
};

}  // namespace tallowmer::platform::windows
