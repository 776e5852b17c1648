#include "metadata.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "windows_file.hpp"

namespace {

// Whether the process may read and set audit lists: only with the security privilege, enabled.
bool may_touch_audit_lists() noexcept {
  static const bool enabled = [] {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) == 0) {
      return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool adjusted =
        LookupPrivilegeValueW(nullptr, L"SeSecurityPrivilege", &privileges.Privileges[0].Luid) !=
            0 &&
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != 0 &&
        GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return adjusted;
  }();
  return enabled;
}

// True when the file has no data stream besides its content.
bool content_is_the_only_stream(HANDLE file) noexcept {
  alignas(8) unsigned char buffer[4096];
  if (GetFileInformationByHandleEx(file, FileStreamInfo, buffer, sizeof buffer) == 0) {
    // No streams to list at all on file systems without them.
    return GetLastError() == ERROR_INVALID_PARAMETER || GetLastError() == ERROR_NOT_SUPPORTED ||
           GetLastError() == ERROR_HANDLE_EOF;
  }
  const auto* first = reinterpret_cast<const FILE_STREAM_INFO*>(buffer);
  return first->NextEntryOffset == 0;
}

}  // namespace

Metadata::~Metadata() {
  if (security_ != nullptr) {
    LocalFree(security_);
  }
}

bool Metadata::read(HANDLE file) noexcept {
  if (!is_regular_file(file, information_)) {
    return false;
  }
  // The last is the integrity-stream attribute, which the cross headers lack.
  constexpr DWORD KEPT_ONLY_BY_THE_FILE = FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED |
                                          FILE_ATTRIBUTE_SPARSE_FILE |
                                          FILE_ATTRIBUTE_REPARSE_POINT | 0x8000;
  carriable_ = (information_.dwFileAttributes & KEPT_ONLY_BY_THE_FILE) == 0 &&
               content_is_the_only_stream(file);
  parts_ = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
           LABEL_SECURITY_INFORMATION;
  HANDLE auditable = INVALID_HANDLE_VALUE;
  if (may_touch_audit_lists()) {
    auditable = ReOpenFile(file, READ_CONTROL | ACCESS_SYSTEM_SECURITY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  }
  if (auditable != INVALID_HANDLE_VALUE) {
    parts_ |= SACL_SECURITY_INFORMATION;
  } else {
    // An audit list the process cannot see could not be carried.
    carriable_ = false;
  }
  const bool read =
      GetSecurityInfo(auditable != INVALID_HANDLE_VALUE ? auditable : file, SE_FILE_OBJECT, parts_,
                      nullptr, nullptr, nullptr, nullptr, &security_) == ERROR_SUCCESS;
  if (auditable != INVALID_HANDLE_VALUE) {
    CloseHandle(auditable);
  }
  carriable_ = carriable_ && read;
  return true;
}

bool Metadata::same_as(const Metadata& other) const noexcept {
  constexpr DWORD COMPARED = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                             FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const FILETIME& created = information_.ftCreationTime;
  const FILETIME& created_other = other.information_.ftCreationTime;
  if ((information_.dwFileAttributes & COMPARED) !=
          (other.information_.dwFileAttributes & COMPARED) ||
      created.dwLowDateTime != created_other.dwLowDateTime ||
      created.dwHighDateTime != created_other.dwHighDateTime || parts_ != other.parts_ ||
      (security_ == nullptr) != (other.security_ == nullptr)) {
    return false;
  }
  if (security_ == nullptr) {
    return true;
  }
  // Both as GetSecurityInfo gives them: self-relative, so their bytes say it all.
  const DWORD length = GetSecurityDescriptorLength(security_);
  return length == GetSecurityDescriptorLength(other.security_) &&
         std::memcmp(security_, other.security_, length) == 0;
}

DWORD Metadata::attributes_to_create_with() const noexcept {
  const DWORD kept =
      information_.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

DWORD Metadata::access_needed() const noexcept {
  return WRITE_DAC | WRITE_OWNER |
         ((parts_ & SACL_SECURITY_INFORMATION) != 0 ? ACCESS_SYSTEM_SECURITY : 0);
}

bool Metadata::carry_to(HANDLE replacement) const noexcept {
  if (security_ == nullptr ||
      SetFileTime(replacement, &information_.ftCreationTime, nullptr, nullptr) == 0) {
    return false;
  }
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL access = nullptr;
  PACL system = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorOwner(security_, &owner, &defaulted) == 0 ||
      GetSecurityDescriptorGroup(security_, &group, &defaulted) == 0 ||
      GetSecurityDescriptorDacl(security_, &present, &access, &defaulted) == 0 ||
      GetSecurityDescriptorSacl(security_, &present, &system, &defaulted) == 0 ||
      GetSecurityDescriptorControl(security_, &control, &revision) == 0) {
    return false;
  }
  // Whether the lists take entries from the folder is part of them.
  SECURITY_INFORMATION parts = parts_;
  parts |= (control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                              : UNPROTECTED_DACL_SECURITY_INFORMATION;
  if ((parts_ & SACL_SECURITY_INFORMATION) != 0) {
    parts |= (control & SE_SACL_PROTECTED) != 0 ? PROTECTED_SACL_SECURITY_INFORMATION
                                                : UNPROTECTED_SACL_SECURITY_INFORMATION;
  }
  return SetSecurityInfo(replacement, SE_FILE_OBJECT, parts, owner, group, access, system) ==
         ERROR_SUCCESS;
}

PSECURITY_DESCRIPTOR owner_only_security() noexcept {
  PSECURITY_DESCRIPTOR security = nullptr;
  // Wine makes a new file's Unix permission bits from its access list, and gives the group
  // whatever it gives any entry for a user of the process. An entry for an owner that is none of
  // the process's own (OWNER RIGHTS) maps to the owner's bits alone: read and write, 0600.
  if (under_wine()) {
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
               L"O:OWD:P(A;;FRFWSD;;;OW)", SDDL_REVISION_1, &security, nullptr) != 0
               ? security
               : nullptr;
  }
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
    return nullptr;
  }
  alignas(8) unsigned char buffer[256];
  DWORD length = 0;
  wchar_t* user = nullptr;
  const bool known =
      GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) != 0 &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &user) != 0;
  CloseHandle(token);
  if (!known) {
    return nullptr;
  }
  // Full access for the user by name (as an owner entry it would not map to Wine's permission
  // bits), nothing inherited from the folder.
  wchar_t text[256];
  std::swprintf(text, sizeof text / sizeof text[0], L"D:P(A;;FA;;;%ls)", user);
  LocalFree(user);
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &security,
                                                           nullptr) == 0) {
    return nullptr;
  }
  return security;
}
