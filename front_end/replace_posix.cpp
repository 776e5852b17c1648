#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "file_system.hpp"
#include "metadata_posix.hpp"
#include "posix_support.hpp"

// Replacing the file that was read: a new file beside it takes its place in one atomic exchange,
// and only if the name still refers to the file read and nobody has changed it since. Against a
// name swapped for a link or another file between the read and the write, and against writers
// that do not take the lock.

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

// The file open as fd, opened again for writing through the descriptor rather than by its name,
// so that it is the same file whatever has happened to the name since. Fails for a file the
// process may not write.
int reopen_for_writing(int fd, const Location& location, const FileIdentity& identity) noexcept {
  constexpr int FLAGS = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  int writable = ::open(link_of(fd).path, FLAGS);
  if (writable < 0 && errno == ENOENT) {
    writable = ::openat(location.directory.get(), location.name.c_str(), FLAGS | O_NOFOLLOW);
  }
  struct stat status {};
  if (writable >= 0 && (::fstat(writable, &status) != 0 || !same_file(status, identity))) {
    ::close(writable);
    return -1;
  }
  return writable;
}

// Puts the temporary file in the file's place. Where the system can exchange two names
// atomically it does, then checks by descriptor what it swapped in and what it swapped out, and
// swaps back unless that was the temporary file for the file read, unchanged: no window remains
// in which another file could be replaced, or another file put in its place.
bool exchange(ScratchFile& temporary, const Target& target) noexcept {
  const int directory = target.location.directory.get();
  const char* const name = target.location.name.c_str();
  // The old file must never be left under the temporary name by a signal.
  const SignalsHeld held;
  // Checked before the temporary file is named, so that it has its name for as short a time as
  // can be; what the exchange then swaps is checked after it.
  if (!still_the_content_read(target) || !temporary.link()) {
    return false;
  }
  if (::renameat2(directory, temporary.name(), directory, name, RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
      return false;
    }
    // No exchange on this file system: the check just made is the last word.
    if (::renameat(directory, temporary.name(), directory, name) != 0) {
      return false;
    }
    temporary.release();
    return sync_at_the_end(directory, target.path);
  }
  struct stat ours {};
  struct stat swapped_in {};
  struct stat swapped_out {};
  struct stat now {};
  // The exchange itself changes the change time, so the content is judged by size and
  // modification time here.
  const bool exchanged_as_meant =
      ::fstat(temporary.fd(), &ours) == 0 &&
      ::fstatat(directory, name, &swapped_in, AT_SYMLINK_NOFOLLOW) == 0 &&
      same_file(swapped_in, ours) &&
      ::fstatat(directory, temporary.name(), &swapped_out, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(swapped_out.st_mode) && same_file(swapped_out, target.identity) &&
      ::fstat(target.source, &now) == 0 && now.st_size == target.identity.size &&
      identity_of(now).modified == target.identity.modified;
  if (!exchanged_as_meant) {
    struct stat back {};
    const bool swapped_back =
        ::renameat2(directory, temporary.name(), directory, name, RENAME_EXCHANGE) == 0;
    // Unless the swap back left the temporary file under its own name, what is there now is
    // someone else's, and it must not be removed.
    if (!swapped_back || ::fstatat(directory, temporary.name(), &back, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(back, ours)) {
      if (!swapped_back) {
        note_kept_copy(target, directory, temporary.name());
      }
      temporary.release();
    }
    // Without the swap back the new content is in place all the same when it was ours.
    return !swapped_back && same_file(swapped_in, ours);
  }
  if (::unlinkat(directory, temporary.name(), 0) != 0) {
    note_kept_copy(target, directory, temporary.name());
  }
  temporary.release();
  return sync_at_the_end(directory, target.path);
}

enum class Replaced { yes, no, only_in_place };

// The new content in a temporary file beside the file, with everything the file had, on disk,
// then exchanged for it.
Replaced replace_by_exchange(const Target& target, const Metadata& metadata,
                             std::span<const unsigned char> new_content) noexcept {
  ScratchFile temporary(target.location.directory.get(), target.location.name,
                        ScratchFile::Kind::temporary);
  if (!temporary.created()) {
    return refuses_new_files(temporary.error()) ? Replaced::only_in_place : Replaced::no;
  }
  if (!carry_flags(temporary.fd(), metadata)) {
    return Replaced::only_in_place;
  }
  if (!write_all_at(temporary.fd(), new_content, 0)) {
    return Replaced::no;
  }
  if (!carry_metadata(temporary.fd(), metadata)) {
    return Replaced::only_in_place;
  }
  return ::fsync(temporary.fd()) == 0 && exchange(temporary, target) ? Replaced::yes : Replaced::no;
}

// Gives up the lease taken when the file was opened, which would keep out the descriptor that
// writes it; false when a writer has broken it since, having opened the file for writing.
bool lease_unbroken(int fd, bool leased) noexcept {
  if (!leased) {
    return true;
  }
  const bool unbroken = ::fcntl(fd, F_GETLEASE) == F_RDLCK;
  ::fcntl(fd, F_SETLEASE, F_UNLCK);
  return unbroken;
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
// gives it a new change time: when that is all that changed, and the content is still what was
// read, the copy is the file read.
void accept_copy_up(int fd, FileIdentity& identity,
                    std::span<const unsigned char> old_content) noexcept {
  constexpr unsigned long OVERLAY = 0x794c7630;
  struct statfs file_system {};
  struct stat now {};
  if (::fstatfs(fd, &file_system) != 0 ||
      static_cast<unsigned long>(file_system.f_type) != OVERLAY || ::fstat(fd, &now) != 0) {
    return;
  }
  const FileIdentity current = identity_of(now);
  if (same_file(now, identity) && current.size == identity.size &&
      current.modified == identity.modified && current.changed != identity.changed &&
      holds(fd, old_content)) {
    identity.changed = current.changed;
  }
}

bool replace(int fd, const char* path, const Location& location, FileIdentity identity, bool leased,
             std::span<const unsigned char> old_content, std::span<const unsigned char> new_content,
             std::string& kept_copy) {
  prepare_signals();
  Metadata metadata;
  if (!lease_unbroken(fd, leased)) {
    return false;
  }
  // Whether the file itself may be written decides, not its directory: a read-only file is not
  // replaced just because the directory would allow a rename over it.
  const Descriptor writable(reopen_for_writing(fd, location, identity));
  const Target target{fd,          writable.get(), location,  identity, metadata,
                      old_content, leased,         kept_copy, path};
  if (writable.get() < 0) {
    return false;
  }
  accept_copy_up(fd, identity, old_content);
  if (!read_metadata(fd, metadata) || !still_the_file_read(target)) {
    return false;
  }
  // A rename would split a file with several hard links into two files, and nothing created in
  // an append-only or immutable directory could be renamed or removed again.
  const bool directory_usable = directory_takes_new_files(location.directory.get());
  if (metadata.status.st_nlink == 1 && directory_usable &&
      may_rename_in(location.directory.get(), metadata.status)) {
    const Replaced replaced = replace_by_exchange(target, metadata, new_content);
    if (replaced != Replaced::only_in_place) {
      return replaced == Replaced::yes;
    }
  }
  return rewrite_in_place(target, directory_usable, new_content);
}

}  // namespace

bool still_the_file_read(const Target& target) noexcept {
  struct stat now {};
  struct stat named {};
  return ::fstat(target.source, &now) == 0 && unchanged_since(now, target.identity) &&
         ::fstatat(target.location.directory.get(), target.location.name.c_str(), &named,
                   AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(named.st_mode) && same_file(named, target.identity);
}

bool SourceFile::replace_content(std::span<const unsigned char> old_content,
                                 std::span<const unsigned char> new_content) noexcept {
  try {
    // The directory was opened for its path only; writing in it needs a real descriptor.
    Location location{
        Descriptor(::openat(static_cast<int>(directory_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        name_};
    kept_.clear();
    return location.directory.get() >= 0 &&
           replace(static_cast<int>(handle_), path_, location, identity_, leased_, old_content,
                   new_content, kept_);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void finish_replacements(void (*not_on_disk)(const char* path)) noexcept {
  for (PendingSync& pending : g_pending) {
    if (::fsync(pending.fd) != 0) {
      for (const std::string& path : pending.paths) {
        not_on_disk(path.c_str());
      }
    }
    ::close(pending.fd);
  }
  g_pending.clear();
}
