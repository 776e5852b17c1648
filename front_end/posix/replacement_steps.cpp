#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "file_io.hpp"
#include "metadata.hpp"
#include "posix_file.hpp"
#include "replacement.hpp"
#include "scratch_file.hpp"
#include "signals.hpp"
#include "source_file.hpp"

// The steps of a replacement on POSIX systems. Against a name swapped for a link or another file
// between the read and the write, and against writers that do not take the lock: every step works
// from descriptors, the new file takes the file's place by an atomic exchange whose result is
// checked, and the file is rewritten in place only after its old content is on disk elsewhere.

namespace {

// Directories whose new entries are still to be flushed to disk, one descriptor each, with the
// names as typed of the files replaced in them. A batch of files in one folder then costs one
// directory sync instead of one per file.
struct PendingSync {
  int fd;
  struct stat id;
  std::vector<std::string> paths;
};
constexpr std::size_t MOST_PENDING = 64;
std::vector<PendingSync> g_pending;

// How many directories may wait: a quarter of the descriptors the process may have, so that the
// files still to come keep enough for their own (a file and its directory, the file opened for
// writing, a temporary file or backup, and their directories).
std::size_t pending_limit() noexcept {
  static const std::size_t limit = [] {
    struct rlimit descriptors {};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) {
      return MOST_PENDING;
    }
    return std::min<std::size_t>(MOST_PENDING, descriptors.rlim_cur / 4);
  }();
  return limit;
}

// Makes the exchange itself durable, now or when the run ends. False when the directory could not
// be flushed now: the file has its new content, but a crash could still bring back the old.
bool sync_at_the_end(int directory, const char* path) noexcept {
  try {
    struct stat id {};
    if (::fstat(directory, &id) != 0) {
      return ::fsync(directory) == 0;
    }
    for (PendingSync& pending : g_pending) {
      if (pending.id.st_dev == id.st_dev && pending.id.st_ino == id.st_ino) {
        pending.paths.emplace_back(path);
        return true;
      }
    }
    if (g_pending.size() < pending_limit()) {
      std::vector<std::string> paths{path};
      const int kept = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
      if (kept >= 0) {
        g_pending.push_back({kept, id, std::move(paths)});
        return true;
      }
    }
  } catch (const std::bad_alloc&) {
  }
  return ::fsync(directory) == 0;
}

// The file open as fd, opened again (for writing, or reading) through the descriptor rather than
// by its name, so that it is the same file whatever has happened to the name since; where /proc
// is missing, by its name, and then only if it is the same file. Fails for a file the process may
// not open so.
int reopen(int fd, const Location& location, const FileIdentity& identity, int access) noexcept {
  const int flags = access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  int reopened = ::open(link_of(fd).path, flags);
  if (reopened < 0 && errno == ENOENT) {
    reopened = ::openat(location.directory.get(), location.name.c_str(), flags | O_NOFOLLOW);
  }
  struct stat status {};
  if (reopened >= 0 && (::fstat(reopened, &status) != 0 || !same_file(status, identity))) {
    ::close(reopened);
    return -1;
  }
  return reopened;
}

// Whether the process may write the file open as fd, asked of the kernel for its effective
// identity (permission bits, ACL, read-only mounts, immutability) without opening the file for
// writing, which would break the process's own lease. An append-only file takes no rewrite.
bool may_write_file(int fd, const Location& location, unsigned flags) noexcept {
  if ((flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
    errno = EPERM;
    return false;
  }
  if (::faccessat(AT_FDCWD, link_of(fd).path, W_OK, AT_EACCESS) == 0) {
    return true;
  }
  return errno == ENOENT && ::faccessat(location.directory.get(), location.name.c_str(), W_OK,
                                        AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

// In a sticky directory (/tmp, a shared drop folder) only the owner of an entry, the owner of the
// directory or a process with CAP_FOWNER may rename or remove it. The temporary file takes the
// file's owner before the exchange, so without that right the exchange would fail and leave it
// behind, named, where it could not be removed either.
bool may_rename_in(int directory, const struct stat& file) noexcept {
  struct stat status {};
  if (::fstat(directory, &status) != 0 || (status.st_mode & S_ISVTX) == 0) {
    return true;
  }
  const uid_t user = ::geteuid();
  if (user == status.st_uid || user == file.st_uid) {
    return true;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  return ::syscall(SYS_capget, &header, data) == 0 &&
         (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0;
}

// Opening a file of an overlay's lower layer for writing copies it up to the upper layer, which
// gives it a new change time and nothing else. The open was the process's own, so the change
// time it made is taken as the file's; the rewrite in place that follows compares the content
// with what was read before the open all the same.
void take_copy_up_time(int fd, FileIdentity& identity) noexcept {
  constexpr unsigned long OVERLAY = 0x794c7630;
  struct statfs file_system {};
  struct stat now {};
  if (::fstatfs(fd, &file_system) != 0 ||
      static_cast<unsigned long>(file_system.f_type) != OVERLAY || ::fstat(fd, &now) != 0) {
    return;
  }
  const FileIdentity current = identity_of(now);
  if (same_file(now, identity) && current.size == identity.size &&
      current.modified == identity.modified) {
    identity.changed = current.changed;
  }
}

// The system's directory for temporary files that must survive a reboot, unless it lives in
// memory, where a power cut would take the only old copy with it.
int open_lasting_temporary_directory() noexcept {
  Descriptor directory(::open("/var/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct statfs file_system {};
  constexpr unsigned long TMPFS = 0x01021994;
  constexpr unsigned long RAMFS = 0x858458f6;
  if (directory.get() < 0 || ::fstatfs(directory.get(), &file_system) != 0 ||
      static_cast<unsigned long>(file_system.f_type) == TMPFS ||
      static_cast<unsigned long>(file_system.f_type) == RAMFS) {
    return -1;
  }
  return directory.release();
}

class PosixSteps final : public ReplacementSteps {
 public:
  PosixSteps(SourceFile::Open& file, std::string& kept_copy) noexcept
      : file_(file), kept_copy_(kept_copy) {}

  bool read_metadata() noexcept override {
    prepare_signals();
    // The directory was opened for its path only; writing in it needs a real descriptor.
    directory_.reset(
        ::openat(file_.location.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory_.get() < 0) {
      return false;
    }
    directory_usable_ = directory_takes_new_files(directory_.get());
    try {
      return ::read_metadata(file_.fd.get(), metadata_);
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      return false;
    }
  }

  bool metadata_unchanged() noexcept override {
    try {
      Metadata now;
      return ::read_metadata(file_.fd.get(), now) && same_carried(now, metadata_);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  bool may_write() noexcept override {
    return may_write_file(file_.fd.get(), file_.location, metadata_.all_flags);
  }

  // The lease would break for the process's own writer, so it goes first.
  bool open_for_writing() noexcept override {
    if (file_.leased) {
      ::fcntl(file_.fd.get(), F_SETLEASE, F_UNLCK);
      lease_given_up_ = true;
    }
    writable_.reset(reopen(file_.fd.get(), file_.location, file_.identity, O_WRONLY));
    if (writable_.get() < 0) {
      return false;
    }
    take_copy_up_time(file_.fd.get(), file_.identity);
    return true;
  }

  bool still_the_file_read() noexcept override {
    struct stat now {};
    struct stat named {};
    return ::fstat(file_.fd.get(), &now) == 0 && unchanged_since(now, file_.identity) &&
           ::fstatat(directory_.get(), file_.location.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           S_ISREG(named.st_mode) && same_file(named, file_.identity);
  }

  // The lease breaks for any writer of this machine that opens the file or cuts it short, and
  // stays broken; it is given up only for the process's own writer. Writers beyond this kernel
  // it never keeps out.
  Exclusion exclusion() noexcept override {
    if (!file_.leased || lease_given_up_) {
      return Exclusion::lapsed;
    }
    if (::fcntl(file_.fd.get(), F_GETLEASE) != F_RDLCK) {
      return Exclusion::broken;
    }
    return file_.written_beyond ? Exclusion::lapsed : Exclusion::held;
  }

  // Where others write beyond this kernel, what the descriptor opened at the start reads may be
  // this machine's cached copy: the same file is opened afresh, which reads what the file system
  // holds now.
  bool holds(std::span<const unsigned char> content) noexcept override {
    if (!file_.written_beyond) {
      return holds_exactly(file_.fd.get(), content);
    }
    const Descriptor fresh(reopen(file_.fd.get(), file_.location, file_.identity, O_RDONLY));
    return fresh.get() >= 0 && holds_exactly(fresh.get(), content);
  }

  // A rename would split a file with several hard links into two files, nothing created in an
  // append-only or immutable directory could be renamed or removed again, and a sticky
  // directory may forbid renaming the new file.
  bool may_take_new_file() noexcept override {
    return metadata_.status.st_nlink == 1 && directory_usable_ &&
           may_rename_in(directory_.get(), metadata_.status);
  }

  Outcome make_scratch(Scratch kind) noexcept override {
    scratch_kind_ = kind;
    if (kind == Scratch::temporary) {
      scratch_.emplace(directory_.get(), file_.location.name, ScratchFile::Kind::temporary);
      if (!scratch_->created()) {
        errno = scratch_->error();
        return refuses_new_files(scratch_->error()) ? Outcome::only_in_place
               : out_of_space(scratch_->error())    ? Outcome::no_space
                                                    : Outcome::failed;
      }
      // Some flags take effect only on an empty file.
      return carry_flags(scratch_->fd(), metadata_) ? Outcome::done : Outcome::only_in_place;
    }
    if (kind == Scratch::backup && !directory_usable_) {
      return Outcome::only_in_place;
    }
    if (kind == Scratch::backup_elsewhere) {
      backup_directory_.reset(open_lasting_temporary_directory());
    }
    scratch_.emplace(kind == Scratch::backup ? directory_.get() : backup_directory_.get(),
                     file_.location.name, ScratchFile::Kind::backup);
    if (scratch_->created()) {
      return Outcome::done;
    }
    const int error = scratch_->error();
    drop_scratch();
    errno = error;
    return refuses_new_files(error) ? Outcome::only_in_place : Outcome::failed;
  }

  Outcome write_scratch(Content& content) noexcept override {
    WritingSink<int> sink(scratch_->fd());
    if (content.pieces(sink)) {
      return Outcome::done;
    }
    errno = sink.error();
    return out_of_space(sink.error()) ? Outcome::no_space : Outcome::failed;
  }

  // After the content, since a write drops file capabilities.
  Outcome carry_metadata(bool keep_time) noexcept override {
    return ::carry_metadata(scratch_->fd(), metadata_) &&
                   (!keep_time || give_old_modification_time(scratch_->fd()))
               ? Outcome::done
               : Outcome::only_in_place;
  }

  void start_flushing_scratch() noexcept override {
    ::sync_file_range(scratch_->fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
  }

  // A backup is named only now, once its content is on disk, and the name is flushed too.
  bool flush_scratch() noexcept override {
    return ::fsync(scratch_->fd()) == 0 &&
           (scratch_kind_ == Scratch::temporary ||
            (scratch_->name_whole_backup() && ::fsync(scratch_->directory()) == 0));
  }

  Outcome commit_scratch() noexcept override;
  bool swapped_as_meant() noexcept override;
  bool undo_commit() noexcept override;
  bool settle_commit() noexcept override;

  void drop_scratch() noexcept override {
    if (scratch_) {
      scratch_->discard();
      scratch_.reset();
    }
  }

  void keep_scratch() noexcept override {
    kept_copy_ = path_in(scratch_->directory(), scratch_->name());
    scratch_->keep();
  }

  Written write_file(Content& content) noexcept override {
    WritingSink<int> sink(writable_.get());
    const bool whole = content.pieces(sink);
    errno = sink.error();
    return {sink.written(), whole};
  }

  // The time goes after the cut, which moves it.
  bool finish_file(std::size_t size, bool keep_time) noexcept override {
    if (::ftruncate(writable_.get(), static_cast<off_t>(size)) != 0 ||
        (keep_time && !give_old_modification_time(writable_.get())) ||
        ::fsync(writable_.get()) != 0) {
      return false;
    }
    restore_what_a_write_takes();
    return true;
  }

  // The old bytes go back as shared extents of the backup where the file system can (a
  // copy-on-write one needs new space even to rewrite a block), else written over. A clone must
  // end at the end of the file, so the file is cut to size first.
  bool put_back(std::span<const unsigned char> old_content) noexcept override {
    const int fd = writable_.get();
    const auto old_size = static_cast<off_t>(old_content.size());
    const bool restored =
        (::ftruncate(fd, old_size) == 0 && ::ioctl(fd, FICLONE, scratch_->fd()) == 0) ||
        (write_all_at(fd, old_content, 0) && ::ftruncate(fd, old_size) == 0);
    if (!restored) {
      return false;
    }
    const struct timespec times[2] = {metadata_.status.st_atim, metadata_.status.st_mtim};
    ::futimens(fd, times);
    restore_what_a_write_takes();
    return ::fsync(fd) == 0;
  }

  // Each step leaves errno as the system call that failed it set it, or sets it itself.
  int error() const noexcept override { return errno; }

  void hold_interruptions() noexcept override {
    if (holds_++ == 0) {
      held_.emplace();
    }
  }
  void release_interruptions() noexcept override {
    if (--holds_ == 0) {
      held_.reset();
    }
  }

 private:
  // With the old access time too: some file systems (bindfs) drop a change that omits it.
  bool give_old_modification_time(int fd) const noexcept {
    const struct timespec times[2] = {metadata_.status.st_atim, metadata_.status.st_mtim};
    return ::futimens(fd, times) == 0;
  }

  void restore_what_a_write_takes() noexcept {
    restore_set_id_bits(writable_.get(), metadata_.status);
    restore_capabilities(writable_.get(), metadata_);
  }

  SourceFile::Open& file_;
  std::string& kept_copy_;
  Descriptor directory_;
  Descriptor writable_;
  Metadata metadata_;
  bool directory_usable_ = false;
  bool lease_given_up_ = false;
  // Whether the commit exchanged the two names, leaving the file read under the temporary one.
  bool exchanged_ = false;
  // Declared before the scratch file, which must not outlive it.
  Descriptor backup_directory_;
  std::optional<ScratchFile> scratch_;
  Scratch scratch_kind_ = Scratch::temporary;
  int holds_ = 0;
  std::optional<SignalsHeld> held_;
};

// The temporary file takes its name for as short a time as can be: from here. Where the system
// can exchange two names atomically it does, so that what was swapped can be seen and swapped
// back: no window remains in which another file could be replaced, or another file put in its
// place. Elsewhere the rename is the last step, and only the checks before it stand.
Outcome PosixSteps::commit_scratch() noexcept {
  ScratchFile& temporary = *scratch_;
  const int directory = directory_.get();
  const char* const name = file_.location.name.c_str();
  if (!temporary.link()) {
    return Outcome::failed;
  }
  exchanged_ = ::renameat2(directory, temporary.name(), directory, name, RENAME_EXCHANGE) == 0;
  if (exchanged_) {
    return Outcome::done;
  }
  if ((errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) ||
      ::renameat(directory, temporary.name(), directory, name) != 0) {
    return Outcome::failed;
  }
  temporary.keep();
  scratch_.reset();
  return Outcome::done;
}

// The exchange itself changes the change time, so the file read is judged by its size and
// modification time here.
bool PosixSteps::swapped_as_meant() noexcept {
  if (!exchanged_) {
    return true;
  }
  const int directory = directory_.get();
  struct stat ours {};
  struct stat swapped_in {};
  struct stat swapped_out {};
  struct stat now {};
  return ::fstat(scratch_->fd(), &ours) == 0 &&
         ::fstatat(directory, file_.location.name.c_str(), &swapped_in, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(swapped_in, ours) &&
         ::fstatat(directory, scratch_->name(), &swapped_out, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(swapped_out.st_mode) && same_file(swapped_out, file_.identity) &&
         ::fstat(file_.fd.get(), &now) == 0 && now.st_size == file_.identity.size &&
         identity_of(now).modified == file_.identity.modified;
}

bool PosixSteps::undo_commit() noexcept {
  if (!exchanged_) {
    return false;
  }
  ScratchFile& temporary = *scratch_;
  const int directory = directory_.get();
  struct stat ours {};
  struct stat back {};
  const bool swapped_back = ::fstat(temporary.fd(), &ours) == 0 &&
                            ::renameat2(directory, temporary.name(), directory,
                                        file_.location.name.c_str(), RENAME_EXCHANGE) == 0;
  // Unless the swap back left the temporary file under its own name, what is there now is
  // someone else's, or the file read, and it must not be removed.
  if (!swapped_back || ::fstatat(directory, temporary.name(), &back, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(back, ours)) {
    if (!swapped_back) {
      kept_copy_ = path_in(directory, temporary.name());
    }
    temporary.keep();
    scratch_.reset();
  }
  exchanged_ = false;
  return swapped_back;
}

bool PosixSteps::settle_commit() noexcept {
  const int directory = directory_.get();
  if (exchanged_ && scratch_) {
    if (::unlinkat(directory, scratch_->name(), 0) != 0) {
      kept_copy_ = path_in(directory, scratch_->name());
    }
    scratch_->keep();
    scratch_.reset();
  }
  exchanged_ = false;
  return sync_at_the_end(directory, file_.path);
}

}  // namespace

std::unique_ptr<ReplacementSteps> SourceFile::steps_for(Open& file, std::string& kept_copy) {
  return std::make_unique<PosixSteps>(file, kept_copy);
}

// Each file waiting holds its descriptor and its directory's, the directory again for writing in
// it, the file opened for writing and its temporary file: a sixteenth of the limit leaves room
// for the directories kept for the end of the run and for the file being started.
std::size_t files_at_once() noexcept {
  static const std::size_t count = [] {
    struct rlimit descriptors {};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) {
      return std::size_t{64};
    }
    return std::clamp<std::size_t>(descriptors.rlim_cur / 16, 1, 64);
  }();
  return count;
}

void finish_replacements(void (*not_on_disk)(const char* path, int error)) noexcept {
  for (PendingSync& pending : g_pending) {
    if (::fsync(pending.fd) != 0) {
      const int error = errno;
      for (const std::string& path : pending.paths) {
        not_on_disk(path.c_str(), error);
      }
    }
    ::close(pending.fd);
  }
  g_pending.clear();
}
