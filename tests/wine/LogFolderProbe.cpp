// What the Wine tests need to see of a shared log folder from the Windows side:
//   log_folder_probe hardlink LINK TARGET   makes LINK a second name of TARGET (CreateHardLinkW);
//   log_folder_probe acl FOLDER             prints the folder's access list as Windows reads it
//                                           back, one entry a line:
//                                           "allow flags=0x09 mask=0x0012008d sid=S-1-1-0";
//   log_folder_probe shared-acl             prints, the same way, the list that the module writes
//                                           to a shared log folder;
//   log_folder_probe readonly FILE...       writes "untouched" to each FILE and makes it read-only,
//                                           as a user who planted it would;
//   log_folder_probe hold RELEASE FILE...   writes "untouched" to each FILE and holds it open for
//                                           reading without letting anyone write to it, as any
//                                           user who may read a log can, until the file RELEASE
//                                           exists (two minutes at most); prints "held" once all
//                                           are held.
// Exit code 0 on success.

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/windows/SharedFolderAcl.h"
#include "platform/windows/WindowsHandles.h"

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

bool WriteUntouched(const wchar_t* path, DWORD attributes) {
  ::SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  const tallowmer::platform::windows::UniqueFile file(
      ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
  DWORD written = 0;
  if (!file || !::WriteFile(file.get(), "untouched", 9, &written, nullptr)) {
    std::fwprintf(stderr, L"%ls could not be written: %lu\n", path, ::GetLastError());
    return false;
  }
  return true;
}

int MakeReadOnly(int count, wchar_t** paths) {
  for (int i = 0; i < count; ++i) {
    if (!WriteUntouched(paths[i], FILE_ATTRIBUTE_READONLY)) return 1;
  }
  return 0;
}

int Hold(const wchar_t* release, int count, wchar_t** paths) {
  std::vector<tallowmer::platform::windows::UniqueFile> held;
  for (int i = 0; i < count; ++i) {
    if (!WriteUntouched(paths[i], FILE_ATTRIBUTE_NORMAL)) return 1;
    held.emplace_back(::CreateFileW(paths[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held.back()) {
      std::fwprintf(stderr, L"%ls could not be held: %lu\n", paths[i], ::GetLastError());
      return 1;
    }
  }
  std::wprintf(L"held\n");
  std::fflush(stdout);
  for (int waited = 0; waited < 120000 && ::GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES;
       waited += 50)
    ::Sleep(50);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"hardlink") == 0) return MakeHardLink(argv[2], argv[3]);
  if (argc == 3 && std::wcscmp(argv[1], L"acl") == 0) return PrintAcl(argv[2]);
  if (argc == 2 && std::wcscmp(argv[1], L"shared-acl") == 0) return PrintSharedAcl();
  if (argc >= 3 && std::wcscmp(argv[1], L"readonly") == 0) return MakeReadOnly(argc - 2, argv + 2);
  if (argc >= 4 && std::wcscmp(argv[1], L"hold") == 0) return Hold(argv[2], argc - 3, argv + 3);
  std::fwprintf(
      stderr,
      L"usage: log_folder_probe hardlink LINK TARGET | acl FOLDER | shared-acl | readonly FILE... | "
      L"hold RELEASE FILE...\n");
  return 2;
}
