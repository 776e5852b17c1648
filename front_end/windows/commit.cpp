#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <aclapi.h>
#include <ntsecapi.h>

#include "file_system.hpp"
#include "utf16.hpp"

namespace {

// Eight hex digits of a scratch name, from the system's generator, so that nobody can tell the
// next name in advance and put something there; without the generator they still differ.
unsigned long random_tag(unsigned attempt) noexcept {
  ULONG value = 0;
  if (RtlGenRandom(&value, sizeof value) != FALSE) {
    return value;
  }
  return (GetCurrentProcessId() * 7919ul + GetTickCount() + attempt) & 0xfffffffful;
}

class Handle {
 public:
  explicit Handle(HANDLE handle) noexcept : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { close(); }
  [[nodiscard]] bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE get() const noexcept { return handle_; }
  void reset(HANDLE handle) noexcept {
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

// File names arrive from the command line as UTF-16 carried in bytes (utf16.hpp); every call
// below gets back exactly the units that were typed.
std::wstring widen(const char* path) {
  const std::u16string units = utf16_of(path);
  return std::wstring(units.begin(), units.end());
}

bool is_regular_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) noexcept {
  return GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, &information) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file a handle is open on, its size and its times, as the POSIX layer records them: the
// volume serial number and file index say which file it is, the last-write and change times
// whether anyone has touched it.
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

bool same_file(const FileIdentity& a, const FileIdentity& b) noexcept {
  return a.device == b.device && a.inode == b.inode;
}

bool unchanged_since(HANDLE handle, const FileIdentity& identity) noexcept {
  FileIdentity now;
  return identity_of(handle, now) && same_file(now, identity) && now.size == identity.size &&
         now.modified == identity.modified && now.changed == identity.changed;
}

// True when path names the file of identity now.
bool names_the_file(const std::wstring& path, const FileIdentity& identity) noexcept {
  const Handle named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  FileIdentity found;
  return named.valid() && identity_of(named.get(), found) && same_file(found, identity);
}

// The conversion lock: one byte far beyond any content, locked exclusively on the reading
// handle. Another conversion of the same file by any name cannot take it, while reading and
// writing the content is not hindered. Waits a few seconds for another holder.
bool lock_within_a_few_seconds(HANDLE handle) noexcept {
  for (int waited = 0;; waited += 10) {
    OVERLAPPED position{};
    position.OffsetHigh = 0x7FFFFFFFu;
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &position) != 0) {
      return true;
    }
    // A file system without byte-range locks has no other holder to wait for; the checks before
    // the replacement still keep a changed file from being overwritten.
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      return true;
    }
    if (waited >= 5000) {
      return false;
    }
    Sleep(10);
  }
}

bool write_all_at(HANDLE handle, std::span<const unsigned char> bytes, std::uint64_t at) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint64_t offset = at + done;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const std::size_t remaining = bytes.size() - done;
    const DWORD chunk = remaining > (1u << 30) ? (1u << 30) : static_cast<DWORD>(remaining);
    DWORD written = 0;
    if (WriteFile(handle, bytes.data() + done, chunk, &written, &position) == 0 || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

bool truncate_at(HANDLE handle, std::size_t size) noexcept {
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
}

// The console control handler runs on a thread of its own and may only look at this static
// storage: the name of the one temporary file that exists, and whether a file is being
// rewritten in place.
wchar_t g_temporary_path[32768];
std::atomic<bool> g_temporary_exists{false};
std::atomic<bool> g_rewriting_in_place{false};

// Ctrl+C, Ctrl+Break, closing the console and logging off end the process; first the temporary
// file goes, and an in-place rewrite is let finish (it takes milliseconds), so that no file is
// left half-written.
BOOL WINAPI clean_up_before_exit(DWORD) {
  while (g_rewriting_in_place.load()) {
    Sleep(1);
  }
  if (g_temporary_exists.load()) {
    DeleteFileW(g_temporary_path);
  }
  return FALSE;
}

void install_cleanup_handler() noexcept {
  static bool installed = false;
  if (!installed) {
    installed = SetConsoleCtrlHandler(clean_up_before_exit, TRUE) != 0;
  }
}

// A new file beside the target, named ".<name>.<number>.tmp", removed again unless it is moved
// over the target. Opened with delete sharing so that the control handler can remove it.
class TemporaryFile {
 public:
  TemporaryFile(const std::wstring& target, DWORD attributes, const wchar_t* suffix = L".tmp") {
    if (g_temporary_exists.load()) {
      return;
    }
    install_cleanup_handler();
    const std::size_t separator = target.find_last_of(L"\\/:");
    const std::size_t name_start = separator == std::wstring::npos ? 0 : separator + 1;
    // Cut long names, but never between the two halves of a surrogate pair: half a character
    // is no name at all.
    std::size_t kept = std::min<std::size_t>(target.size() - name_start, 64);
    if (kept == 64 && target[name_start + 63] >= 0xD800 && target[name_start + 63] <= 0xDBFF) {
      kept = 63;
    }
    const std::wstring stem =
        target.substr(0, name_start) + L"." + target.substr(name_start, kept) + L".";
    for (unsigned attempt = 0; attempt < 100 && !handle_.valid(); ++attempt) {
      wchar_t number[24];
      std::swprintf(number, 24, L"%08lx%ls", random_tag(attempt), suffix);
      const std::wstring name = stem + number;
      if (name.size() >= sizeof g_temporary_path / sizeof g_temporary_path[0]) {
        return;
      }
      name.copy(g_temporary_path, name.size());
      g_temporary_path[name.size()] = L'\0';
      g_temporary_exists.store(true);
      handle_.reset(CreateFileW(g_temporary_path, GENERIC_WRITE | WRITE_DAC, FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, attributes, nullptr));
      if (!handle_.valid()) {
        g_temporary_exists.store(false);
        error_ = GetLastError();
        if (error_ != ERROR_FILE_EXISTS && error_ != ERROR_ALREADY_EXISTS) {
          return;
        }
      }
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    handle_.close();
    if (g_temporary_exists.load()) {
      DeleteFileW(g_temporary_path);
      g_temporary_exists.store(false);
    }
  }

  [[nodiscard]] bool created() const noexcept { return handle_.valid(); }
  // Why it could not be created: a directory that takes no new file says ERROR_ACCESS_DENIED.
  [[nodiscard]] DWORD error() const noexcept { return error_; }
  [[nodiscard]] HANDLE get() const noexcept { return handle_.get(); }

  // Leaves the file on disk, for a backup that still holds the only whole copy of a file.
  void keep() noexcept {
    handle_.close();
    g_temporary_exists.store(false);
  }

  // Flushes the file to disk, closes it and moves it over target in one step. On failure the
  // file is removed and target is untouched.
  [[nodiscard]] bool commit_over(const std::wstring& target) noexcept {
    const bool flushed = FlushFileBuffers(handle_.get()) != 0;
    if (!handle_.close() || !flushed) {
      return false;
    }
    if (MoveFileExW(g_temporary_path, target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
      return false;
    }
    g_temporary_exists.store(false);
    return true;
  }

 private:
  Handle handle_{INVALID_HANDLE_VALUE};
  DWORD error_ = 0;
};

// The path of the file a handle is open on, with links and junctions resolved, so that a link
// stays a link and the file it leads to is the one replaced. Empty when it cannot be told.
std::wstring final_path_of(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);
  }
  return {};
}

// The old content in a backup file, flushed to disk: beside the file, or in the temporary folder
// where the file's folder takes no new file. Nothing exists when it could not be made.
std::unique_ptr<TemporaryFile> back_up(const std::wstring& target,
                                       std::span<const unsigned char> old_content) {
  auto backup = std::make_unique<TemporaryFile>(target, FILE_ATTRIBUTE_NORMAL, L".bak");
  if (!backup->created() && backup->error() == ERROR_ACCESS_DENIED) {
    backup.reset();
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    const std::size_t separator = target.find_last_of(L"\\/:");
    if (length > 0 && length <= MAX_PATH) {
      backup = std::make_unique<TemporaryFile>(
          std::wstring(folder, length) + target.substr(separator + 1), FILE_ATTRIBUTE_NORMAL,
          L".bak");
    }
  }
  if (!backup || !backup->created() || !write_all_at(backup->get(), old_content, 0) ||
      FlushFileBuffers(backup->get()) == 0) {
    return nullptr;
  }
  return backup;
}

// Overwrites the file in place once a backup of its old content is on disk; the backup goes
// once the new content is on disk, or the old one back, and stays only when neither could be
// done. Ctrl+C and the like wait until it is over.
bool rewrite_in_place(HANDLE handle, const std::wstring& target,
                      const BY_HANDLE_FILE_INFORMATION& original,
                      std::span<const unsigned char> old_content,
                      std::span<const unsigned char> new_content) {
  const std::unique_ptr<TemporaryFile> backup = back_up(target, old_content);
  if (!backup) {
    return false;
  }
  g_rewriting_in_place.store(true);
  const bool rewritten = write_all_at(handle, new_content, 0) &&
                         truncate_at(handle, new_content.size()) && FlushFileBuffers(handle) != 0;
  // The old bytes fit where they were, so putting them back needs no new space.
  const bool restored =
      rewritten || (write_all_at(handle, old_content, 0) &&
                    truncate_at(handle, old_content.size()) && FlushFileBuffers(handle) != 0);
  if (!rewritten && restored) {
    SetFileTime(handle, nullptr, &original.ftLastAccessTime, &original.ftLastWriteTime);
  }
  if (!restored) {
    backup->keep();
  }
  g_rewriting_in_place.store(false);
  return rewritten;
}

// The file's own access-control list, carried to the replacement, which would otherwise get its
// folder's inherited one: whether inheritance is cut off, and every entry of its own. False when
// it cannot be read or set.
bool carry_access_control(HANDLE source, HANDLE replacement) noexcept {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(source, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool known = GetSecurityDescriptorControl(descriptor, &control, &revision) != 0;
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                          : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const bool carried = known && SetSecurityInfo(replacement, SE_FILE_OBJECT, what, nullptr, nullptr,
                                                list, nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return carried;
}

enum class Replaced { yes, no, only_in_place };

// The new content in a temporary file beside the file, with the file's attributes, creation time
// and access-control list, moved over it in one step. Closes source, and so gives up the lock,
// just before the move: a file that is open anywhere cannot be replaced.
Replaced replace_by_move(Handle& source, Handle& writable, const std::wstring& target,
                         const FileIdentity& identity, const BY_HANDLE_FILE_INFORMATION& original,
                         std::span<const unsigned char> new_content) {
  const DWORD kept =
      original.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  TemporaryFile temporary(target, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
  if (!temporary.created()) {
    // Only a folder that takes no new file calls for the rewrite in place.
    return temporary.error() == ERROR_ACCESS_DENIED ? Replaced::only_in_place : Replaced::no;
  }
  if (!write_all_at(temporary.get(), new_content, 0) ||
      SetFileTime(temporary.get(), &original.ftCreationTime, nullptr, nullptr) == 0) {
    return Replaced::no;
  }
  // Who may do what with the file must not change with it.
  if (!carry_access_control(source.get(), temporary.get())) {
    return Replaced::only_in_place;
  }
  // The last word before the move: the name still leads to the file read, unchanged.
  if (!unchanged_since(source.get(), identity) || !names_the_file(target, identity)) {
    return Replaced::no;
  }
  writable.close();
  source.close();
  return temporary.commit_over(target) ? Replaced::yes : Replaced::no;
}

bool replace_or_throw(Handle& source, const char* path, const FileIdentity& identity,
                      std::span<const unsigned char> old_content,
                      std::span<const unsigned char> new_content) {
  std::wstring target = final_path_of(source.get());
  if (target.empty()) {
    target = widen(path);
  }
  // Opening for writing fails for a file the process may not write; the read-only attribute is
  // checked as well, since an emulated file system may let an administrator past it. What opens
  // must be the file read, unchanged since.
  Handle writable(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION original{};
  FileIdentity opened;
  if (target.empty() || !writable.valid() || !is_regular_file(writable.get(), original) ||
      (original.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ||
      !identity_of(writable.get(), opened) || !same_file(opened, identity) ||
      !unchanged_since(source.get(), identity)) {
    return false;
  }
  // Moving a new file over a name would split a file with several hard links into two, so such
  // a file is rewritten in place, as is one beside which no temporary file can be made.
  if (original.nNumberOfLinks == 1) {
    const Replaced replaced =
        replace_by_move(source, writable, target, identity, original, new_content);
    if (replaced != Replaced::only_in_place) {
      return replaced == Replaced::yes;
    }
  }
  return rewrite_in_place(writable.get(), target, original, old_content, new_content);
}

}  // namespace

bool SourceFile::open(const char* path) noexcept {
  close();
  HANDLE handle = INVALID_HANDLE_VALUE;
  try {
    const std::wstring wide = widen(path);
    if (!wide.empty()) {
      // Others may still read, write and rename it; a change is found before it is replaced.
      // A named pipe's server may act as the user who opens it only as far as that user lets
      // it: here, to identify the user and nothing more.
      handle = CreateFileW(
          wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
          nullptr, OPEN_EXISTING,
          FILE_FLAG_SEQUENTIAL_SCAN | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Devices such as NUL or CON open like files; only a file on a disk is taken. The identity is
  // taken again under the lock: a conversion that held it may just have changed the file.
  FileIdentity identity;
  if (!identity_of(handle, identity) || !lock_within_a_few_seconds(handle) ||
      !identity_of(handle, identity)) {
    CloseHandle(handle);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  path_ = path;
  identity_ = identity;
  return true;
}

bool SourceFile::read_exactly(std::span<unsigned char> buffer) noexcept {
  std::size_t done = 0;
  while (done < buffer.size()) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(done);
    position.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(done) >> 32);
    const std::size_t remaining = buffer.size() - done;
    const DWORD chunk = remaining > (1u << 30) ? (1u << 30) : static_cast<DWORD>(remaining);
    DWORD got = 0;
    if (ReadFile(reinterpret_cast<HANDLE>(handle_), buffer.data() + done, chunk, &got, &position) ==
            0 ||
        got == 0) {
      return false;
    }
    done += got;
  }
  return true;
}

void SourceFile::close() noexcept {
  if (handle_ != reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)) {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
  }
}

bool SourceFile::replace_content(std::span<const unsigned char> old_content,
                                 std::span<const unsigned char> new_content) noexcept {
  try {
    Handle source(reinterpret_cast<HANDLE>(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    return replace_or_throw(source, path_, identity_, old_content, new_content);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Each move is written through to disk as it is made.
void finish_replacements(void (*)(const char*)) noexcept {}
