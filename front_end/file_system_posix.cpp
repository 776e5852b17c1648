#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_system.hpp"
#include "temporary_file_posix.hpp"

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_;
};

bool write_all_at(int fd, std::span<const unsigned char> bytes, off_t offset) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// The file that path finally names: a symbolic link is followed, so that the link stays a link
// and the file it points to is the one replaced.
bool resolve_target(const char* path, std::string& target) {
  struct stat link_status {};
  if (::lstat(path, &link_status) != 0) {
    return false;
  }
  if (!S_ISLNK(link_status.st_mode)) {
    target = path;
    return true;
  }
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) {
    return false;
  }
  target = resolved;
  std::free(resolved);
  return true;
}

// Makes the rename itself durable; the content is already on disk, so a failure here only
// weakens durability and is not reported.
void sync_directory_of(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) {
    ::fsync(fd.get());
  }
}

// Gives the temporary file the target's owner and group (only root may give away a file, and a
// user only a group of their own). False when they differ afterwards.
bool take_owner_of(int fd, const struct stat& original) noexcept {
  if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
    ::fchown(fd, static_cast<uid_t>(-1), original.st_gid);
  }
  struct stat taken {};
  return ::fstat(fd, &taken) == 0 && taken.st_uid == original.st_uid &&
         taken.st_gid == original.st_gid;
}

bool replace_by_rename(TemporaryFile& temporary, const std::string& target,
                       const struct stat& original, std::span<const unsigned char> content) {
  const int fd = temporary.fd();
  // The mode is set after take_owner_of, since an owner change may clear set-ID bits.
  if (!write_all_at(fd, content, 0) || ::fchmod(fd, original.st_mode & 07777) != 0 ||
      !temporary.commit_over(target)) {
    return false;
  }
  sync_directory_of(target);
  return true;
}

bool rewrite_in_place(int fd, const struct stat& original,
                      std::span<const unsigned char> old_content,
                      std::span<const unsigned char> new_content) noexcept {
  // A half-rewritten file must not be left behind by an interrupt: signals wait until the file
  // holds either content again.
  const InterruptsHeld held;
  if (write_all_at(fd, new_content, 0) &&
      ::ftruncate(fd, static_cast<off_t>(new_content.size())) == 0 && ::fsync(fd) == 0) {
    return true;
  }
  // The old bytes fit where they were, so putting them back needs no new space.
  if (write_all_at(fd, old_content, 0) &&
      ::ftruncate(fd, static_cast<off_t>(old_content.size())) == 0) {
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    ::futimens(fd, times);
    ::fsync(fd);
  }
  return false;
}

bool replace_content_or_throw(const char* path, std::span<const unsigned char> old_content,
                              std::span<const unsigned char> new_content) {
  std::string target;
  if (!resolve_target(path, target)) {
    return false;
  }
  // Whether the file itself may be written decides, not its directory: a read-only file is not
  // replaced just because the directory would allow a rename over it.
  const Descriptor writable(::open(target.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat original {};
  if (writable.get() < 0 || ::fstat(writable.get(), &original) != 0 || !S_ISREG(original.st_mode)) {
    return false;
  }
  // A rename would split a file with several hard links into two files, so such a file is
  // rewritten in place, as is one beside which no temporary file can be made or given its owner.
  if (original.st_nlink == 1) {
    TemporaryFile temporary(target);
    if (temporary.created() && take_owner_of(temporary.fd(), original)) {
      return replace_by_rename(temporary, target, original, new_content);
    }
  }
  return rewrite_in_place(writable.get(), original, old_content, new_content);
}

}  // namespace

bool SourceFile::open(const char* path) noexcept {
  close();
  // Non-blocking, so that a FIFO without a writer or a device does not hold up the run; the
  // descriptor is only kept for a regular file, where the flag has no effect.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

std::int64_t SourceFile::measure() noexcept {
  const off_t end = ::lseek(static_cast<int>(handle_), 0, SEEK_END);
  return end < 0 ? -1 : static_cast<std::int64_t>(end);
}

bool SourceFile::read_exactly(std::span<unsigned char> buffer) noexcept {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = ::pread(static_cast<int>(handle_), buffer.data() + done,
                                buffer.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void SourceFile::close() noexcept {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

bool replace_content(const char* path, std::span<const unsigned char> old_content,
                     std::span<const unsigned char> new_content) {
  try {
    return replace_content_or_throw(path, old_content, new_content);
  } catch (const std::bad_alloc&) {
    return false;
  }
}
