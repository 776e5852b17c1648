#include <algorithm>
#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "console_control.hpp"
#include "file_io.hpp"
#include "metadata.hpp"
#include "replacement.hpp"
#include "scratch_name.hpp"
#include "source_file.hpp"
#include "windows_file.hpp"

#include <ntsecapi.h>

// The steps of a replacement on Windows. The file stays open from the read to the end with a
// share mode that keeps other writers out; the temporary file is marked for deletion from its
// creation until the moment it takes the file's place, by handle, in one step with the file still
// open; the backup of a rewrite in place only its owner may read.

namespace {

// Random bytes from the system's generator; without it the names still differ, only more
// guessably, and creation is exclusive either way.
void fill_noise(ScratchNoise& noise, int attempt) noexcept {
  if (RtlGenRandom(noise.data(), static_cast<ULONG>(noise.size())) != FALSE) {
    return;
  }
  const auto seed =
      GetCurrentProcessId() * 7919ul + GetTickCount() + static_cast<unsigned long>(attempt);
  for (std::size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<unsigned char>(seed >> (3 * i));
  }
}

std::wstring_view name_of(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return std::wstring_view(path).substr(separator == std::wstring::npos ? 0 : separator + 1);
}

// What a creation's error says of the name tried.
Created created_by(bool valid, DWORD error) noexcept {
  return valid                                                         ? Created::made
         : error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Created::name_taken
                                                                       : Created::failed;
}

std::wstring folder_of(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

bool mark_for_deletion(HANDLE handle, bool deleted) noexcept {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleted ? TRUE : FALSE)};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

bool end_at(HANDLE handle, std::size_t size) noexcept {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Whether this system can rename over a file that is open, which the commit needs; learnt from
// the first attempt of the run.
bool g_no_rename_over_open_files = false;

// FileRenameInfoEx, which older headers lack.
constexpr auto RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// The file system's own name for a path from GetFinalPathNameByHandleW: "\\?\" becomes "\??\".
std::wstring native_name(const std::wstring& path) {
  return path.rfind(L"\\\\?\\", 0) == 0 ? L"\\??\\" + path.substr(4) : path;
}

class WindowsSteps final : public ReplacementSteps {
 public:
  WindowsSteps(SourceFile::Open& file, std::string& kept_copy) noexcept
      : file_(file), kept_copy_(kept_copy) {}
  ~WindowsSteps() override { WindowsSteps::drop_scratch(); }

  // The read handle writes too: its share mode would keep out any other, ours included.
  // The read-only attribute is checked as well, since an emulated file system may let an
  // administrator past it.
  bool may_write() noexcept override {
    BY_HANDLE_FILE_INFORMATION information{};
    return file_.writable && is_regular_file(file_.handle.get(), information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
  }

  // The read handle is the writer, and the share mode stays as it was.
  bool open_for_writing() noexcept override { return may_write(); }

  bool read_metadata() noexcept override { return metadata_.read(file_.handle.get()); }

  // The share mode keeps out writers, not a change of attributes or security.
  bool metadata_unchanged() noexcept override {
    Metadata now;
    return now.read(file_.handle.get()) && now.same_as(metadata_);
  }

  bool still_the_file_read() noexcept override {
    return unchanged_since(file_.handle.get(), file_.identity) &&
           names_the_file(file_.path, file_.identity);
  }

  // Share modes bind only Windows programs, from the open to the end; under Wine the Unix ones
  // write as they please.
  Exclusion exclusion() noexcept override {
    return under_wine() ? Exclusion::lapsed : Exclusion::held;
  }

  bool holds(std::span<const unsigned char> content) noexcept override {
    return holds_exactly(file_.handle.get(), content);
  }

  // A rename would split a file with several hard links into two files. Wine's files are Unix
  // files, whose permission bits it would make up from the access list of a new file: only the
  // file itself keeps its own, so there no temporary file is ever made.
  bool may_take_new_file() noexcept override {
    return metadata_.information().nNumberOfLinks == 1 && metadata_.carriable() && !under_wine() &&
           !g_no_rename_over_open_files;
  }

  Outcome make_scratch(Scratch kind) noexcept override {
    try {
      return kind == Scratch::temporary ? make_temporary()
                                        : make_backup(kind == Scratch::backup_elsewhere);
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return Outcome::failed;
    }
  }

  Outcome write_scratch(Content& content) noexcept override {
    WritingSink<HANDLE> sink(scratch_.get());
    if (content.pieces(sink)) {
      return Outcome::done;
    }
    SetLastError(sink.error());
    return sink.error() == ERROR_DISK_FULL || sink.error() == ERROR_HANDLE_DISK_FULL
               ? Outcome::no_space
               : Outcome::failed;
  }

  Outcome carry_metadata(bool keep_time) noexcept override {
    return metadata_.carry_to(scratch_.get()) &&
                   (!keep_time || give_old_modification_time(scratch_.get()))
               ? Outcome::done
               : Outcome::only_in_place;
  }

  // Windows has no flush that does not wait; the group's flushes come one after another.
  void start_flushing_scratch() noexcept override {}
  // A backup stays on disk from now on, whatever ends the process: it is whole.
  bool flush_scratch() noexcept override {
    return FlushFileBuffers(scratch_.get()) != 0 &&
           (!backup_ || mark_for_deletion(scratch_.get(), false));
  }

  Outcome commit_scratch() noexcept override {
    try {
      std::vector<unsigned char> request = rename_request(native_name(file_.path));
      if (!mark_for_deletion(scratch_.get(), false)) {
        return Outcome::failed;
      }
      if (SetFileInformationByHandle(scratch_.get(), RENAME_INFO_EX, request.data(),
                                     static_cast<DWORD>(request.size())) != 0) {
        scratch_.close();
        return Outcome::done;
      }
      const DWORD error = GetLastError();
      mark_for_deletion(scratch_.get(), true);
      SetLastError(error);
      if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
          error == ERROR_INVALID_FUNCTION) {
        g_no_rename_over_open_files = true;
        return Outcome::only_in_place;
      }
      // May write but not delete, or open elsewhere in a way that forbids it: the file is kept.
      return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                 ? Outcome::only_in_place
                 : Outcome::failed;
    } catch (const std::bad_alloc&) {
      return Outcome::failed;
    }
  }

  // The rename by handle shows nothing of what it replaced, and cannot be undone; the share mode
  // has kept every writer out all along.
  bool swapped_as_meant() noexcept override { return true; }
  bool undo_commit() noexcept override { return false; }
  bool settle_commit() noexcept override { return true; }

  void drop_scratch() noexcept override {
    if (scratch_.valid()) {
      mark_for_deletion(scratch_.get(), true);
      scratch_.close();
    }
  }

  void keep_scratch() noexcept override {
    scratch_.close();
    try {
      kept_copy_ = narrow(typed_form(scratch_path_));
    } catch (const std::bad_alloc&) {
    }
  }

  Written write_file(Content& content) noexcept override {
    WritingSink<HANDLE> sink(file_.handle.get());
    const bool whole = content.pieces(sink);
    SetLastError(sink.error());
    return {sink.written(), whole};
  }

  bool finish_file(std::size_t size, bool keep_time) noexcept override {
    return end_at(file_.handle.get(), size) &&
           (!keep_time || give_old_modification_time(file_.handle.get())) &&
           FlushFileBuffers(file_.handle.get()) != 0;
  }

  bool put_back(std::span<const unsigned char> old_content) noexcept override {
    const HANDLE handle = file_.handle.get();
    const BY_HANDLE_FILE_INFORMATION& original = metadata_.information();
    return write_all_at(handle, old_content, 0) && end_at(handle, old_content.size()) &&
           SetFileTime(handle, nullptr, &original.ftLastAccessTime, &original.ftLastWriteTime) !=
               0 &&
           FlushFileBuffers(handle) != 0;
  }

  // Each step leaves the last error as the call that failed it set it, or sets it itself.
  int error() const noexcept override { return static_cast<int>(GetLastError()); }

  void hold_interruptions() noexcept override { ::hold_interruptions(); }
  void release_interruptions() noexcept override { ::release_interruptions(); }

 private:
  // Set on the handle that wrote, which then no longer moves the time itself.
  bool give_old_modification_time(HANDLE handle) const noexcept {
    const FILETIME modified = metadata_.information().ftLastWriteTime;
    return SetFileTime(handle, nullptr, nullptr, &modified) != 0;
  }

  // Created and marked for deletion with interruptions held, so that it is never on disk unmarked
  // but while it takes the file's place. No other process can open it meanwhile.
  Outcome make_temporary() {
    const std::wstring folder = folder_of(file_.path);
    DWORD error = ERROR_SUCCESS;
    const auto create = [&](std::wstring_view name) {
      scratch_.reset(CreateFileW((folder + std::wstring(name)).c_str(),
                                 GENERIC_READ | GENERIC_WRITE | DELETE | metadata_.access_needed(),
                                 0, nullptr, CREATE_NEW, metadata_.attributes_to_create_with(),
                                 nullptr));
      error = GetLastError();
      if (scratch_.valid() && !mark_for_deletion(scratch_.get(), true)) {
        scratch_.reset();
        error = ERROR_NOT_SUPPORTED;
      }
      return created_by(scratch_.valid(), error);
    };
    hold_interruptions();
    try {
      (void)create_scratch(name_of(file_.path), TEMPORARY_SUFFIX, fill_noise, create);
    } catch (const std::bad_alloc&) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
    release_interruptions();
    if (scratch_.valid()) {
      return Outcome::done;
    }
    // A folder that takes no new file, or a file system on which a file cannot be marked.
    return error == ERROR_ACCESS_DENIED || error == ERROR_NOT_SUPPORTED ? Outcome::only_in_place
                                                                        : Outcome::failed;
  }

  // Beside the file, or in the user's folder for temporary files. Marked for deletion until it is
  // whole and flushed, so that a process ended meanwhile (TerminateProcess, a file-size limit)
  // leaves no short backup; from then on it must outlive a process killed while the file is
  // rewritten.
  Outcome make_backup(bool elsewhere) {
    backup_ = true;
    std::wstring folder = folder_of(file_.path);
    if (elsewhere) {
      const DWORD length = GetTempPathW(0, nullptr);
      folder.assign(length, L'\0');
      if (length == 0 || GetTempPathW(length, folder.data()) + 1 != length) {
        return Outcome::failed;
      }
      folder.resize(length - 1);
    }
    PSECURITY_DESCRIPTOR security = owner_only_security();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    DWORD error = ERROR_SUCCESS;
    try {
      (void)create_scratch(
          name_of(file_.path), BACKUP_SUFFIX, fill_noise, [&](std::wstring_view name) {
            scratch_path_ = folder + std::wstring(name);
            scratch_.reset(CreateFileW(scratch_path_.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                       0, security != nullptr ? &attributes : nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            error = GetLastError();
            if (scratch_.valid() && !mark_for_deletion(scratch_.get(), true)) {
              error = GetLastError();
              scratch_.close();
              DeleteFileW(scratch_path_.c_str());
              return Created::failed;
            }
            return created_by(scratch_.valid(), error);
          });
    } catch (const std::bad_alloc&) {
    }
    if (security != nullptr) {
      LocalFree(security);
    }
    return scratch_.valid()               ? Outcome::done
           : error == ERROR_ACCESS_DENIED ? Outcome::only_in_place
                                          : Outcome::failed;
  }

  SourceFile::Open& file_;
  std::string& kept_copy_;
  Metadata metadata_;
  Handle scratch_;
  std::wstring scratch_path_;
  // Whether the scratch file is a backup, named for good only once it is whole.
  bool backup_ = false;
};

}  // namespace

std::unique_ptr<ReplacementSteps> SourceFile::steps_for(Open& file, std::string& kept_copy) {
  return std::make_unique<WindowsSteps>(file, kept_copy);
}

// Handles are not scarce: the group is bounded by what waiting costs, not by what it holds.
std::size_t files_at_once() noexcept {
  return 64;
}

// Each commit is durable once it returns: the file system journals its names.
void finish_replacements(void (*)(const char*, int)) noexcept {}
