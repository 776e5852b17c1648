#include <memory>
#include <new>

#include "source_file.hpp"
#include "windows_file.hpp"

// Finding and locking the file: the handle opened here is the one everything later works from.
// Its share mode keeps every other writer out until the conversion ends (a writer that has the
// file open already is waited for, then the file is given up), and the lock keeps a second
// conversion of the same file, by any name, out until this one has replaced it.

namespace {

// How long a writer or another conversion is waited for before the file is given up.
constexpr DWORD WAIT_MS = 5000;

// The conversion lock: one byte far beyond any content, locked exclusively on the reading handle.
// Another conversion of the same file by any name cannot take it, while reading and writing the
// content is not hindered.
bool lock_within(HANDLE handle, DWORD wait_ms) noexcept {
  for (DWORD waited = 0;; waited += 10) {
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
    if (waited >= wait_ms) {
      return false;
    }
    Sleep(10);
  }
}

// Opens the file for reading, and for writing where the process may, sharing it with readers and
// with renames (which the replacement itself needs) but with no writer. A named pipe's server may
// act as the user who opens it only as far as identifying the user.
HANDLE open_sharing_no_writes(const std::wstring& path, DWORD wait_ms, bool& writable) noexcept {
  constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_DELETE;
  constexpr DWORD FLAGS =
      FILE_FLAG_SEQUENTIAL_SCAN | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  for (DWORD waited = 0;; waited += 10) {
    writable = true;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE, nullptr,
                                OPEN_EXISTING, FLAGS, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      writable = false;
      handle =
          CreateFileW(path.c_str(), GENERIC_READ, SHARE, nullptr, OPEN_EXISTING, FLAGS, nullptr);
    }
    // Another program has it open for writing, or keeps others from writing it.
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        waited >= wait_ms) {
      return handle;
    }
    Sleep(10);
  }
}

// The path of the file a handle is open on, with links and junctions resolved, so that a link
// stays a link and the file it leads to is the one replaced. Empty when it cannot be told: Wine
// gives none for a path longer than MAX_PATH, whatever the buffer.
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

// The typed path made absolute, in the form that takes any length ("\\?\C:\..." or
// "\\?\UNC\server\share\..."); empty when it cannot be made.
std::wstring absolute_path_of(const std::wstring& typed) {
  const DWORD needed = GetFullPathNameW(typed.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return {};
  }
  std::wstring path(needed, L'\0');
  const DWORD length = GetFullPathNameW(typed.c_str(), needed, path.data(), nullptr);
  if (length == 0 || length >= needed) {
    return {};
  }
  path.resize(length);
  if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) {
    return path;
  }
  if (path.rfind(L"\\\\", 0) == 0) {
    return L"\\\\?\\UNC\\" + path.substr(2);
  }
  return L"\\\\?\\" + path;
}

SourceFile::Attempt open_and_lock(const std::wstring& typed, DWORD wait_ms, SourceFile::Open& file,
                                  SourceFile::OpenFailure& failure) {
  file.handle.reset(open_sharing_no_writes(typed, wait_ms, file.writable));
  if (!file.handle.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      failure = {0, "another program kept the file open for writing for 5 seconds"};
      return SourceFile::Attempt::held;
    }
    // A folder refuses to open as a file; the name is looked at again only to say so.
    const DWORD attributes = GetFileAttributesW(typed.c_str());
    failure = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                  ? SourceFile::OpenFailure{0, "not a regular file"}
                  : SourceFile::OpenFailure{static_cast<int>(error), "opening for reading"};
    return SourceFile::Attempt::refused;
  }
  // Devices such as NUL or CON open like files; only a file on a disk is taken.
  if (!identity_of(file.handle.get(), file.identity)) {
    failure = {0, "not a regular file"};
    return SourceFile::Attempt::refused;
  }
  if (!lock_within(file.handle.get(), wait_ms)) {
    failure = {0, "another program held the file's lock for 5 seconds"};
    return SourceFile::Attempt::held;
  }
  // Where the system cannot name the file, the typed name made absolute stands in, provided
  // it is the file itself and not a link to it: a link must stay a link.
  file.path = final_path_of(file.handle.get());
  if (file.path.empty()) {
    file.path = absolute_path_of(typed);
    if (file.path.empty() || !names_the_file(file.path, file.identity, false)) {
      failure = {0, "reached through a link, and the system cannot name the file itself"};
      return SourceFile::Attempt::refused;
    }
  }
  // After the wait for the lock the name may lead elsewhere: a conversion that held it may just
  // have replaced the file. The identity is taken again under the lock for the same reason.
  if (!identity_of(file.handle.get(), file.identity) ||
      !names_the_file(typed, file.identity, true)) {
    return SourceFile::Attempt::replaced;
  }
  return SourceFile::Attempt::opened;
}

}  // namespace

SourceFile::SourceFile() noexcept = default;
SourceFile::~SourceFile() = default;

SourceFile::Attempt SourceFile::open_once(const char* path, bool wait) noexcept {
  try {
    const std::wstring typed = widen(path);
    if (typed.empty()) {
      open_failure_ = {0, "an empty name"};
      return Attempt::refused;
    }
    auto file = std::make_unique<Open>();
    const Attempt tried = open_and_lock(typed, wait ? WAIT_MS : 0, *file, open_failure_);
    if (tried != Attempt::opened) {
      return tried;
    }
    size_ = file->identity.size;
    file_ = {file->identity.device, file->identity.inode};
    open_ = std::move(file);
    return Attempt::opened;
  } catch (const std::bad_alloc&) {
    open_failure_ = {ERROR_NOT_ENOUGH_MEMORY, "opening for reading"};
    return Attempt::refused;
  }
}

bool SourceFile::read_exactly(std::span<unsigned char> buffer, std::uint64_t offset) noexcept {
  return open_ && read_exactly_at(open_->handle.get(), buffer, offset);
}

// The share mode binds every Windows program; under Wine, Unix programs write as they please.
bool SourceFile::writers_kept_out() const noexcept {
  return open_ && !under_wine();
}

// Closing the handle releases the lock and lets writers in again.
void SourceFile::close() noexcept {
  open_.reset();
  size_ = -1;
  file_ = {};
}
