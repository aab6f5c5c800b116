#pragma once

// The access list of a folder that every user's logs share, written once for the module and for the
// test program that shows it.

#include <windows.h>

#include <vector>

namespace tallowmer::platform::windows {

// What everyone may do in a shared log folder itself: list it, read its attributes and permissions,
// pass through it and add files. Not FILE_DELETE_CHILD, which would let anyone remove any user's log
// and plant a link under its name; not FILE_ADD_SUBDIRECTORY, which logs do not need; not DELETE,
// WRITE_DAC or WRITE_OWNER, which would let anyone remove the folder or take it over. This is less
// than the full access such folders used to grant, on purpose.
inline constexpr DWORD kEveryoneInFolder = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_EA |
                                           FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// What everyone may do with the folder's files, whoever created them: read them and append lines.
// Not FILE_WRITE_DATA, which would overwrite what others logged; not DELETE, WRITE_DAC or
// WRITE_OWNER, which would let anyone remove, rename or take over another user's log.
inline constexpr DWORD kEveryoneOnFiles =
    FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// The access list of a shared log folder: the system and the administrators in full, the creator of
// each file in full over that file alone (so each user may remove a log of their own), and everyone
// the two masks above. Only files inherit it: a user's subfolder would be a way around it.
class SharedFolderAcl {
 public:
  // False, with the system's error, when the list cannot be made.
  bool Build();
  PACL Get() { return reinterpret_cast<PACL>(acl_.data()); }
  // True when `other` holds these entries and no others, in this order.
  bool Matches(PACL other);

 private:
  std::vector<BYTE> acl_;
};

}  // namespace tallowmer::platform::windows
