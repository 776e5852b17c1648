#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <optional>

#include "metadata_posix.hpp"
#include "posix_support.hpp"

// Rewriting a file in place, for the files a rename would harm (several hard links) or cannot
// reach (a directory that takes no new file). Guarantees that at every moment, power cuts and
// SIGKILL included, either the file or the backup holds every old byte.

namespace {

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

// Writes the old content to the backup and makes both it and its name durable.
bool write_backup(const ScratchFile& backup, std::span<const unsigned char> old_content) noexcept {
  return write_all_at(backup.fd(), old_content, 0) && ::fsync(backup.fd()) == 0 &&
         ::fsync(backup.directory()) == 0;
}

}  // namespace

bool rewrite_in_place(const Target& target, bool backup_beside,
                      std::span<const unsigned char> new_content) noexcept {
  const std::span<const unsigned char> old_content = target.old_content;
  const SignalsHeld held;
  // Declared before the backup, which it must outlive.
  Descriptor system_temporary;
  std::optional<ScratchFile> backup;
  if (backup_beside) {
    backup.emplace(target.location.directory.get(), target.location.name,
                   ScratchFile::Kind::backup);
    if (!backup->created() && !refuses_new_files(backup->error())) {
      return false;
    }
  }
  if (!backup || !backup->created()) {
    backup.reset();
    system_temporary.reset(open_lasting_temporary_directory());
    backup.emplace(system_temporary.get(), target.location.name, ScratchFile::Kind::backup);
  }
  if (!backup->created() || !write_backup(*backup, old_content) ||
      !still_the_content_read(target)) {
    return false;
  }

  const int fd = target.writable;
  const std::size_t written = write_at(fd, new_content, 0);
  if (written == new_content.size() &&
      ::ftruncate(fd, static_cast<off_t>(new_content.size())) == 0 && ::fsync(fd) == 0) {
    restore_set_id_bits(fd, target.metadata.status);
    restore_capabilities(fd, target.metadata);
    backup->remove();
    return true;
  }
  // When not a byte was written the content never changed, but the file system may have updated
  // the times. Otherwise the old bytes go back where they were: as shared extents of the backup
  // where the file system can (a copy-on-write one needs new space even to rewrite a block), else
  // written over. A clone must end at the end of the file, so the file is cut to size first.
  const auto old_size = static_cast<off_t>(old_content.size());
  const bool restored =
      written == 0 || (::ftruncate(fd, old_size) == 0 && ::ioctl(fd, FICLONE, backup->fd()) == 0) ||
      (write_all_at(fd, old_content, 0) && ::ftruncate(fd, old_size) == 0);
  if (restored) {
    const struct timespec times[2] = {target.metadata.status.st_atim,
                                      target.metadata.status.st_mtim};
    ::futimens(fd, times);
    restore_set_id_bits(fd, target.metadata.status);
    restore_capabilities(fd, target.metadata);
  }
  if (restored && ::fsync(fd) == 0) {
    backup->remove();
  } else {
    note_kept_copy(target, backup->directory(), backup->name());
    backup->release();
  }
  return false;
}
