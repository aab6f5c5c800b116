#pragma once

// Log files in folders that other users of the machine may write to. Whatever another user does
// there (plants a link, a folder or a file of their own under the name of a day's log, holds the
// file, makes it read-only or too large to grow) makes the platform refuse the log, and the host's
// call must still go on: the lines then go to a log folder of the current user's own, and the
// shared log tells of the refusal in its next line that it takes.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Env.h"

namespace tallowmer {

// Turns the text of a refusal note into a line of the log it goes into, line end included.
using LogNoteRenderer = std::function<std::string(const std::string& note)>;

// Appends the text to the log file at `path`. When the file is refused, the text goes to the file of
// the same name in GetPrivateLogFolder instead, with a note of the refusal the first time; the shared
// log receives that note with the next text that it takes. A failure that no other user can cause
// (a missing folder, say) is returned as it is; so is a private file that cannot be written, with
// both reasons. Raises EOSError when the private folder cannot be had.
platform::OsResult AppendToSharedLog(const std::string& path, std::string_view text,
                                     const LogNoteRenderer& renderNote);

// Opens the log file at `path` for appending under the same rules; null, with the reason in
// `failure`, when neither the shared nor the private file can be opened. A shared file refused
// while it is open (grown to the largest size allowed, say) gives way to the private one for the
// lines still to come.
std::unique_ptr<platform::AppendFile> OpenSharedLog(const std::string& path,
                                                    const LogNoteRenderer& renderNote,
                                                    platform::OsResult& failure);

// Where the lines of a refused log go: a folder below the current user's own application data, with
// a trailing delimiter, created when missing for the user alone. Raises EOSError, with a text that
// says why, when no such folder can be had: none is named, or another user can change it or a
// folder on the way to it.
std::string GetPrivateLogFolder();

}  // namespace tallowmer
