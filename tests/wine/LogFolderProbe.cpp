// What the Wine tests need to see of a shared log folder from the Windows side:
//   log_folder_probe hardlink LINK TARGET   makes LINK a second name of TARGET (CreateHardLinkW);
//   log_folder_probe acl FOLDER             prints the folder's access list as Windows reads it
//                                           back, one entry a line:
//                                           "allow flags=0x09 mask=0x0012008d sid=S-1-1-0";
//   log_folder_probe shared-acl             prints, the same way, the list that the module writes
//                                           to a shared log folder.
// Exit code 0 on success.

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

#include "platform/windows/SharedFolderAcl.h"

namespace {

int MakeHardLink(const wchar_t* link, const wchar_t* target) {
  if (::CreateHardLinkW(link, target, nullptr)) return 0;
  std::fwprintf(stderr, L"CreateHardLinkW failed: %lu\n", ::GetLastError());
  return 1;
}

const wchar_t* TypeName(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_ACE_TYPE:
      return L"allow";
    case ACCESS_DENIED_ACE_TYPE:
      return L"deny";
    default:
      return L"other";
  }
}

void PrintEntries(PACL acl) {
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* entry = nullptr;
    if (!::GetAce(acl, index, &entry)) continue;
    // Allowed and denied entries share the layout: header, mask, then the SID.
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    wchar_t* sid = nullptr;
    ::ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid);
    std::wprintf(L"%ls flags=0x%02x mask=0x%08lx sid=%ls\n", TypeName(allowed->Header.AceType),
                 allowed->Header.AceFlags, allowed->Mask, sid != nullptr ? sid : L"?");
    ::LocalFree(sid);
  }
}

int PrintAcl(const wchar_t* folder) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = ::GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &acl, nullptr, &descriptor);
  if (read != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"GetNamedSecurityInfoW failed: %lu\n", read);
    return 1;
  }
  if (acl == nullptr) {
    std::wprintf(L"no access list: everyone may do everything\n");
  } else {
    PrintEntries(acl);
  }
  ::LocalFree(descriptor);
  return 0;
}

int PrintSharedAcl() {
  tallowmer::platform::windows::SharedFolderAcl acl;
  if (!acl.Build()) {
    std::fwprintf(stderr, L"the list could not be built: %lu\n", ::GetLastError());
    return 1;
  }
  PrintEntries(acl.Get());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"hardlink") == 0) return MakeHardLink(argv[2], argv[3]);
  if (argc == 3 && std::wcscmp(argv[1], L"acl") == 0) return PrintAcl(argv[2]);
  if (argc == 2 && std::wcscmp(argv[1], L"shared-acl") == 0) return PrintSharedAcl();
  std::fwprintf(stderr, L"usage: log_folder_probe hardlink LINK TARGET | acl FOLDER | shared-acl\n");
  return 2;
}
