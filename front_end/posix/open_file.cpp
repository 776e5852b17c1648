#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "posix_file.hpp"
#include "source_file.hpp"

// Finding and locking the file: the descriptor opened here is the one everything later works
// from, and the lock keeps a second conversion of the same file, by any name, out until this one
// has replaced it.

namespace {

// How long a lock held by another program is waited for before the file is given up.
constexpr int LOCK_WAIT_MS = 5000;

// Whether the file open as fd is on a file system of one of types; true too when that cannot be
// told.
template <std::size_t N>
bool on_file_system_of(int fd, const unsigned long (&types)[N]) noexcept {
  struct statfs file_system {};
  if (::fstatfs(fd, &file_system) != 0) {
    return true;
  }
  const auto type = static_cast<unsigned long>(file_system.f_type);
  return std::find(std::begin(types), std::end(types), type) != std::end(types);
}

// File systems whose "regular files" are windows on the kernel: their sizes are made up and a
// write is a command to a driver, so they are refused like devices.
bool on_pseudo_file_system(int fd) noexcept {
  constexpr unsigned long PSEUDO[] = {
      0x9fa0,      // proc
      0x62656572,  // sysfs
      0x64626720,  // debugfs
      0x74726163,  // tracefs
      0x62656570,  // configfs
      0x27e0eb,    // cgroup
      0x63677270,  // cgroup2
      0x73636673,  // securityfs
      0xcafe4a11,  // bpf
      0x6165676c,  // pstore
      0xde5e81e4,  // efivarfs
      0x42494e4d,  // binfmt_misc
      0x1cd1,      // devpts
      0xf97cff8c,  // selinuxfs
      0x43415d53,  // smackfs
      0x65735543,  // fusectl
      0x6e736673,  // nsfs
  };
  return on_file_system_of(fd, PSEUDO);
}

// Takes the exclusive lock, retrying while another holder has it, for at most wait_ms.
bool lock_within(int fd, int wait_ms) noexcept {
  for (int waited = 0;; waited += 10) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    // A file system without these locks has no other holder to wait for; the checks before the
    // replacement still keep a changed file from being overwritten.
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return true;
    }
    if (waited >= wait_ms) {
      return false;
    }
    const struct timespec pause = {0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

// How many symbolic links one name may pass through, as the kernel allows.
constexpr int MOST_LINKS = 40;

// A symbolic link is followed only when that gives the user running the program no power it
// lacks: the link is the user's own, or its owner owns what it points to. Otherwise another user
// who may write a directory on the way (or own the file named) could point root at any file.
bool may_follow(int directory, const char* target, const struct stat& link) noexcept {
  if (link.st_uid == ::geteuid()) {
    return true;
  }
  const Descriptor pointed(::openat(directory, target, O_PATH | O_CLOEXEC));
  struct stat status {};
  return pointed.get() >= 0 && ::fstat(pointed.get(), &status) == 0 && status.st_uid == link.st_uid;
}

// The directory holding the file that path names and the file's name in it, found one component
// at a time from descriptors, so that no name is looked up twice and a path of any length works.
// Symbolic links on the way are followed as may_follow allows. Nothing but a directory or a link
// is opened on the way, and only for its path (O_PATH), so no device sees an open.
bool walk(const char* path, Location& location, struct stat& status) {
  std::string pending = path;
  location.directory.reset(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  int links = 0;
  while (location.directory.get() >= 0) {
    const std::size_t start = pending.find_first_not_of('/');
    if (start == std::string::npos) {
      return false;
    }
    const std::size_t end = std::min(pending.find('/', start), pending.size());
    std::string component = pending.substr(start, end - start);
    pending.erase(0, end);
    const bool last = pending.find_first_not_of('/') == std::string::npos;
    const Descriptor entry(
        ::openat(location.directory.get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (entry.get() < 0 || ::fstat(entry.get(), &status) != 0) {
      return false;
    }
    if (S_ISLNK(status.st_mode)) {
      std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
      const ssize_t length = ::readlinkat(entry.get(), "", target.data(), target.size());
      if (++links > MOST_LINKS || length <= 0 ||
          static_cast<std::size_t>(length) >= target.size()) {
        return false;
      }
      target.resize(static_cast<std::size_t>(length));
      if (!may_follow(location.directory.get(), target.c_str(), status)) {
        return false;
      }
      if (target[0] == '/') {
        location.directory.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      }
      pending.insert(0, target + "/");
      if (last) {
        // The link's target takes the place of the last component.
        pending.resize(pending.size() - 1);
      }
      continue;
    }
    // A slash after the last component asks for a directory, as open(2) takes it.
    if (last) {
      location.name = std::move(component);
      return pending.empty() && location.name != "." && location.name != "..";
    }
    if (!S_ISDIR(status.st_mode)) {
      return false;
    }
    location.directory.reset(::openat(entry.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return false;
}

// File systems whose files other machines, or the process that serves them, may write without
// this kernel seeing it: a lease taken here keeps out only the writers of this machine.
bool written_beyond_this_kernel(int fd) noexcept {
  constexpr unsigned long SHARED[] = {
      0x65735546,  // FUSE (sshfs, rclone, bindfs, ...)
      0x6969,      // NFS
      0x517b,      // SMB
      0xff534d42,  // CIFS
      0xfe534d42,  // SMB2
      0x01021997,  // 9P
      0x00c36400,  // Ceph
      0x5346414f,  // AFS
      0x6b414653,  // kAFS
      0x73757245,  // Coda
      0x7461636f,  // OCFS2
      0x01161970,  // GFS2
      0x47504653,  // GPFS
      0x0bd00bd0,  // Lustre
      0x564c,      // NCP
  };
  return on_file_system_of(fd, SHARED);
}

enum class Leased { yes, unavailable, written_elsewhere };

// Takes a read lease on the file, which the kernel grants only while no one has it open for
// writing, and breaks when anyone opens it for writing or truncates it: from then on a writer
// that was invisible to the checks (one appending through a descriptor it holds, or writing
// through a shared mapping) cannot be. A writer that has the file open is waited for, for at
// most wait_ms. Unavailable where the file system has no leases or the process may not
// take one (neither the file's owner nor privileged); the checks before the replacement then
// remain.
Leased lease_within(int fd, int wait_ms) noexcept {
  static const bool prepared = [] {
    // The break is seen by asking the lease, not by its signal, which would end the process.
    std::signal(SIGIO, SIG_IGN);
    return true;
  }();
  static_cast<void>(prepared);
  for (int waited = 0;; waited += 10) {
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      return Leased::yes;
    }
    if (errno != EAGAIN) {
      return Leased::unavailable;
    }
    if (waited >= wait_ms) {
      return Leased::written_elsewhere;
    }
    const struct timespec pause = {0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

// Opens, checks, locks and leases the file that path names, waiting for wait_ms at most for
// another holder of the lock or a writer; replaced when by the time the lock was taken the name
// had been given to another file (a conversion that held the lock has just replaced it). leased
// says whether the lease was had.
SourceFile::Attempt open_and_lock(const char* path, int wait_ms, Location& location, Descriptor& fd,
                                  struct stat& status, bool& leased, bool& written_beyond,
                                  SourceFile::OpenFailure& failure) {
  leased = false;
  errno = 0;
  if (!walk(path, location, status)) {
    // A refusal of the walk's own, with no call failing, is a link it may not follow or a name
    // that asks for a directory.
    failure = {errno, errno != 0 ? "looking the name up"
                                 : "not a regular file, or reached through a symbolic link that "
                                   "another user owns"};
    return SourceFile::Attempt::refused;
  }
  if (!S_ISREG(status.st_mode)) {
    failure = {0, "not a regular file"};
    return SourceFile::Attempt::refused;
  }
  // Opened for reading only now that it is known to be a regular file. Non-blocking, so that
  // whatever took its name meanwhile (a FIFO without a writer, a device) does not hold up the
  // run; that is refused below.
  fd.reset(::openat(location.directory.get(), location.name.c_str(),
                    O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened {};
  if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0) {
    failure = {errno, "opening for reading"};
    return SourceFile::Attempt::refused;
  }
  if (!S_ISREG(opened.st_mode)) {
    failure = {0, "not a regular file"};
    return SourceFile::Attempt::refused;
  }
  // The name was given to another file between the look and the open.
  if (!same_file(opened, status)) {
    return SourceFile::Attempt::replaced;
  }
  if (on_pseudo_file_system(fd.get())) {
    failure = {0, "a file of the kernel's, not a regular file"};
    return SourceFile::Attempt::refused;
  }
  if (!lock_within(fd.get(), wait_ms)) {
    failure = {0, "another program held the file's lock for 5 seconds"};
    return SourceFile::Attempt::held;
  }
  const Leased lease = lease_within(fd.get(), wait_ms);
  if (lease == Leased::written_elsewhere) {
    failure = {0, "another program kept the file open for writing for 5 seconds"};
    return SourceFile::Attempt::held;
  }
  leased = lease == Leased::yes;
  written_beyond = written_beyond_this_kernel(fd.get());
  struct stat named {};
  if (::fstatat(location.directory.get(), location.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      !same_file(named, opened)) {
    return SourceFile::Attempt::replaced;
  }
  // Taken again under the lock: what was read before it may be stale.
  if (::fstat(fd.get(), &status) != 0) {
    failure = {errno, "reading the file's size and times"};
    return SourceFile::Attempt::refused;
  }
  return SourceFile::Attempt::opened;
}

}  // namespace

SourceFile::SourceFile() noexcept = default;
SourceFile::~SourceFile() = default;

SourceFile::Attempt SourceFile::open_once(const char* path, bool wait) noexcept {
  try {
    auto file = std::make_unique<Open>();
    struct stat status {};
    const Attempt tried = open_and_lock(path, wait ? LOCK_WAIT_MS : 0, file->location, file->fd,
                                        status, file->leased, file->written_beyond, open_failure_);
    if (tried != Attempt::opened) {
      return tried;
    }
    file->path = path;
    file->identity = identity_of(status);
    size_ = file->identity.size;
    file_ = {file->identity.device, file->identity.inode};
    open_ = std::move(file);
    return Attempt::opened;
  } catch (const std::bad_alloc&) {
    open_failure_ = {ENOMEM, "opening for reading"};
    return Attempt::refused;
  }
}

bool SourceFile::read_exactly(std::span<unsigned char> buffer, std::uint64_t offset) noexcept {
  return open_ && read_exactly_at(open_->fd.get(), buffer, offset);
}

// The lease breaks for any writer of this machine, and is given up only to write the file.
bool SourceFile::writers_kept_out() const noexcept {
  return open_ && open_->leased && !open_->written_beyond;
}

// Closing the descriptor releases the lock and the lease.
void SourceFile::close() noexcept {
  open_.reset();
  size_ = -1;
  file_ = {};
}
