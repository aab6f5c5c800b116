#include "platform/windows/SharedFolderAcl.h"

#include <cstring>
#include <iterator>

namespace tallowmer::platform::windows {

bool SharedFolderAcl::Build() {
  struct Entry {
    WELL_KNOWN_SID_TYPE sid;
    DWORD mask;
    BYTE flags;
  };
  static constexpr Entry kEntries[] = {
      {WinLocalSystemSid, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
      {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
      {WinCreatorOwnerSid, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE},
      {WinWorldSid, kEveryoneInFolder, 0},
      {WinWorldSid, kEveryoneOnFiles, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE},
  };
  acl_.assign(sizeof(ACL) + std::size(kEntries) * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE), 0);
  if (!::InitializeAcl(Get(), static_cast<DWORD>(acl_.size()), ACL_REVISION)) return false;
  for (const Entry& entry : kEntries) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(sid);
    if (!::CreateWellKnownSid(entry.sid, nullptr, sid, &size) ||
        !::AddAccessAllowedAceEx(Get(), ACL_REVISION, entry.flags, entry.mask, sid)) {
      return false;
    }
  }
  return true;
}

bool SharedFolderAcl::Matches(PACL other) {
  if (other->AceCount != Get()->AceCount) return false;
  for (DWORD index = 0; index < other->AceCount; ++index) {
    void* theirs = nullptr;
    void* ours = nullptr;
    if (!::GetAce(other, index, &theirs) || !::GetAce(Get(), index, &ours)) return false;
    const auto size = static_cast<const ACE_HEADER*>(ours)->AceSize;
    if (static_cast<const ACE_HEADER*>(theirs)->AceSize != size || std::memcmp(theirs, ours, size) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace tallowmer::platform::windows
