#pragma once

// Reaching a log folder on POSIX without trusting names: the path is walked one folder at a time,
// each opened relative to the handle of the one before, so that a folder renamed or swapped for a
// link while the walk runs cannot send it anywhere that its checks did not see.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/Env.h"
#include "platform/posix/FileDescriptor.h"

namespace tallowmer::platform {

// A log folder shared with a group: the group may create their logs in it and read every log;
// set-group-ID, so that what is created in it belongs to that group too; sticky, so that no member
// may remove or rename another member's log and plant something under its name; nothing for others,
// since the logs hold customers' personal data.
inline constexpr mode_t kSharedFolderMode = 03770;
// A log in such a folder: its owner writes it, the group may read it. Nobody else may write to it:
// on POSIX whoever may append to a file may also empty it, and a user writes only to a log that is
// their own (or root's, or the folder owner's, which they may replace anyway).
inline constexpr mode_t kSharedFileMode = 0640;
// The user's own log folder and its files: nobody else may read them.
inline constexpr mode_t kPrivateFolderMode = 0700;
inline constexpr mode_t kPrivateFileMode = 0600;

// Which folders a walk may pass through and end in.
enum class FolderTrust : uint8_t {
  // Any folder; a link on the way must be the user's or root's.
  Reachable,
  // Toward a shared log: as Reachable, and the folder walked to must be the user's or root's. A
  // folder that another user made could be made readable to all, and its owner may remove or
  // replace the logs in it at will.
  SharedLogFolder,
  // Toward the user's own logs: every folder on the way and at its end the user's or root's, and
  // none that others may write to unless the sticky bit keeps them from touching what is not theirs
  // (as in /tmp).
  PrivateLogFolder,
};

// What a walk does with a folder that is missing.
enum class MissingFolder : uint8_t {
  Fail,
  // Creates it for the user alone (kPrivateFolderMode).
  CreatePrivate,
  // Creates it as kSharedFolderMode where its parent is a group's shared folder, so that the group
  // keeps sharing what lies below; elsewhere writable by the user alone and readable by others.
  CreateShared,
};

struct FolderWalk {
  FolderTrust trust = FolderTrust::SharedLogFolder;
  MissingFolder missing = MissingFolder::Fail;
  // Whether the folder walked to may itself be a link (of the user's or root's). A log folder may
  // not: one swapped for a link is the planting that a shared folder invites.
  bool lastMayBeLink = false;
};

// A folder that a walk reached: a handle opened with O_PATH, and its status.
struct HeldFolder {
  FileDescriptor handle;
  struct stat status {};
};

// Walks `path` from the root (from the working folder when it is relative). A symbolic link on the
// way is read and its target walked the same way, but only when the link belongs to the user or to
// root: one that another user made is how a folder gets swapped for one of their choosing. Refused
// when a name on the way is another user's link, the last name a link where `walk` allows none,
// something that is no folder, a folder that
// `walk.trust` does not accept, or a folder that the user may not pass or create a folder in: all
// things that another user can cause. A failure otherwise: a missing folder that is not to be
// created, too many links, or the system failing.
OsResult WalkToFolder(const std::string& path, const FolderWalk& walk, HeldFolder& folder);

// Whether the folder is shared with a group as kSharedFolderMode shares it: set-group-ID, everything
// for the group, nothing for others.
bool IsGroupSharedFolder(const struct stat& status);

// The errno of a failed call as an OsResult: `what`, a colon and the system's text.
OsResult ErrnoFailure(int code, const std::string& what);

}  // namespace tallowmer::platform
