#include "windows_file.hpp"

#include <cstddef>
#include <cstring>

#include "utf16.hpp"

std::wstring widen(const char* path) {
  const std::u16string units = utf16_of(path);
  return std::wstring(units.begin(), units.end());
}

std::string narrow(const std::wstring& path) {
  return utf8_of(std::u16string(path.begin(), path.end()));
}

std::vector<unsigned char> rename_request(const std::wstring& target) {
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> request(offsetof(FILE_RENAME_INFO, FileName) + bytes +
                                     sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(request.data());
  rename->Flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(rename->FileName, target.data(), bytes);
  return request;
}

std::wstring typed_form(const std::wstring& path) {
  const std::wstring_view prefix = L"\\\\?\\";
  const std::wstring_view unc = L"\\\\?\\UNC\\";
  if (path.rfind(unc, 0) == 0 && path.size() - unc.size() + 2 < MAX_PATH) {
    return L"\\\\" + path.substr(unc.size());
  }
  if (path.rfind(prefix, 0) == 0 && path.size() - prefix.size() < MAX_PATH && path.size() > 6 &&
      path[5] == L':') {
    return path.substr(prefix.size());
  }
  return path;
}

bool is_regular_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) noexcept {
  return GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, &information) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool identity_of(HANDLE handle, FileIdentity& identity) noexcept {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!is_regular_file(handle, information)) {
    return false;
  }
  identity.device = information.dwVolumeSerialNumber;
  identity.inode =
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  identity.size = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
  identity.modified = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
      information.ftLastWriteTime.dwLowDateTime);
  // The change time (metadata included) where the file system keeps one; the last-write time
  // stands in for it elsewhere.
  FILE_BASIC_INFO times{};
  identity.changed = GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times) != 0
                         ? static_cast<std::int64_t>(times.ChangeTime.QuadPart)
                         : identity.modified;
  return true;
}

bool unchanged_since(HANDLE handle, const FileIdentity& identity) noexcept {
  FileIdentity now;
  return identity_of(handle, now) && unchanged_since(now, identity);
}

bool names_the_file(const std::wstring& path, const FileIdentity& identity,
                    bool follow_link) noexcept {
  const Handle named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING,
                                 (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT) |
                                     SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                 nullptr));
  FileIdentity found;
  return named.valid() && identity_of(named.get(), found) && same_file(found, identity);
}

namespace {

OVERLAPPED at_offset(std::uint64_t offset) noexcept {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

DWORD chunk_of(std::size_t remaining) noexcept {
  return remaining > (1u << 30) ? (1u << 30) : static_cast<DWORD>(remaining);
}

}  // namespace

std::size_t write_at(HANDLE handle, std::span<const unsigned char> bytes,
                     std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    OVERLAPPED position = at_offset(offset + done);
    DWORD written = 0;
    if (WriteFile(handle, bytes.data() + done, chunk_of(bytes.size() - done), &written,
                  &position) == 0 ||
        written == 0) {
      break;
    }
    done += written;
  }
  return done;
}

bool read_exactly_at(HANDLE handle, std::span<unsigned char> buffer,
                     std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < buffer.size()) {
    OVERLAPPED position = at_offset(offset + done);
    DWORD got = 0;
    if (ReadFile(handle, buffer.data() + done, chunk_of(buffer.size() - done), &got, &position) ==
            0 ||
        got == 0) {
      return false;
    }
    done += got;
  }
  return true;
}

bool under_wine() noexcept {
  static const bool wine = [] {
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    return system != nullptr && GetProcAddress(system, "wine_get_version") != nullptr;
  }();
  return wine;
}
