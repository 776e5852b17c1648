#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "replacement.hpp"
#include "source_file.hpp"

// What the Windows file-system layer shares: handles, names, identities, checked reads and
// writes, and the open file as finding it left it.

class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { close(); }
  [[nodiscard]] bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE get() const noexcept { return handle_; }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
    close();
    handle_ = handle;
  }
  bool close() noexcept {
    const bool closed = !valid() || CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

// The file as found and opened: the handle it was read and locked through, whether that handle
// may also write it, its path with links resolved, and what it was when locked.
struct SourceFile::Open {
  Handle handle;
  bool writable = false;
  std::wstring path;
  FileIdentity identity;
};

// File names arrive from the command line as UTF-16 carried in bytes (utf16.hpp); every call
// gets back exactly the units that were typed, and a name given back goes the same way.
[[nodiscard]] std::wstring widen(const char* path);
[[nodiscard]] std::string narrow(const std::wstring& path);
// A path as a user types it: without the "\\?\" prefix (and "\\?\UNC\" as "\\") where the path
// is short enough to need none.
[[nodiscard]] std::wstring typed_form(const std::wstring& path);

// True when handle is open on a regular file on a disk; information then describes it.
[[nodiscard]] bool is_regular_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) noexcept;

// The file a handle is open on, its size and its times: the volume serial number and file index
// say which file it is, the last-write and change times whether anyone has touched it.
[[nodiscard]] bool identity_of(HANDLE handle, FileIdentity& identity) noexcept;

[[nodiscard]] inline bool same_file(const FileIdentity& a, const FileIdentity& b) noexcept {
  return a.device == b.device && a.inode == b.inode;
}

// True when the handle's file is the file of identity with its size and times unchanged.
[[nodiscard]] bool unchanged_since(HANDLE handle, const FileIdentity& identity) noexcept;

// True when path names the file of identity now; a link as the last component counts as the file
// it leads to only with follow_link.
[[nodiscard]] bool names_the_file(const std::wstring& path, const FileIdentity& identity,
                                  bool follow_link = false) noexcept;

// Writes bytes at offset; yields how many were written before an error stopped it.
[[nodiscard]] std::size_t write_at(HANDLE handle, std::span<const unsigned char> bytes,
                                   std::uint64_t offset) noexcept;
[[nodiscard]] inline bool write_all_at(HANDLE handle, std::span<const unsigned char> bytes,
                                       std::uint64_t offset) noexcept {
  return write_at(handle, bytes, offset) == bytes.size();
}
// The flags of a rename by handle (FileRenameInfoEx), which older headers lack.
inline constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x1;
inline constexpr DWORD RENAME_POSIX_SEMANTICS = 0x2;

// The request of a rename by handle over whatever has the native name target ("\??\C:\..."),
// replacing it with POSIX semantics, laid out as FILE_RENAME_INFO: the flags, no root folder,
// the name's length in bytes, and the name, terminated.
[[nodiscard]] std::vector<unsigned char> rename_request(const std::wstring& target);

// Why the last write stopped short.
[[nodiscard]] inline DWORD write_error() noexcept {
  return GetLastError();
}

// Reads exactly buffer.size() bytes at offset; false on an error or when fewer arrive.
[[nodiscard]] bool read_exactly_at(HANDLE handle, std::span<unsigned char> buffer,
                                   std::uint64_t offset) noexcept;

// True when the program runs under Wine, whose files are Unix files: their permission bits come
// from the access-control list a program sets, and only Wine's own processes see its share modes.
[[nodiscard]] bool under_wine() noexcept;
