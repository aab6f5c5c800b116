#pragma once

// Log files in folders that every user of the machine may write to. Another user may plant a link
// there under the name of a day's log; the platform refuses to write through it, and the host's
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
// log receives that note with the next text that it takes. A failure to write (a full disk, say) is
// returned as it is, as is a refusal of the private file. Raises EOSError when the private folder
// cannot be created.
platform::OsResult AppendToSharedLog(const std::string& path, std::string_view text,
                                     const LogNoteRenderer& renderNote);

// Opens the log file at `path` for appending under the same rules; null, with the reason in
// `failure`, when neither the shared nor the private file can be opened.
std::unique_ptr<platform::AppendFile> OpenSharedLog(const std::string& path,
                                                    const LogNoteRenderer& renderNote,
                                                    platform::OsResult& failure);

// Where the lines of a refused log go: a folder below the current user's own application data, with
// a trailing delimiter, created when missing. Raises EOSError when it cannot be created.
std::string GetPrivateLogFolder();

}  // namespace tallowmer
