#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "file_system.hpp"
#include "posix_support.hpp"

// Finding and locking the file: the descriptor opened here is the one everything later works
// from, and the lock keeps a second conversion of the same file, by any name, out until this one
// has replaced it.

namespace {

// How long a lock held by another program is waited for before the file is given up.
constexpr int LOCK_WAIT_MS = 5000;

// File systems whose "regular files" are windows on the kernel: their sizes are made up and a
// write is a command to a driver, so they are refused like devices.
bool on_pseudo_file_system(int fd) noexcept {
  struct statfs file_system {};
  if (::fstatfs(fd, &file_system) != 0) {
    return true;
  }
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
  const auto type = static_cast<unsigned long>(file_system.f_type);
  for (const unsigned long pseudo : PSEUDO) {
    if (type == pseudo) {
      return true;
    }
  }
  return false;
}

// Takes the exclusive lock, retrying while another holder has it, for at most LOCK_WAIT_MS.
bool lock_within_a_few_seconds(int fd) noexcept {
  for (int waited = 0;; waited += 10) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    // A file system without these locks has no other holder to wait for; the checks before the
    // replacement still keep a changed file from being overwritten.
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return true;
    }
    if (waited >= LOCK_WAIT_MS) {
      return false;
    }
    const struct timespec pause = {0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

enum class Opened { file, refused, replaced };

// Opens, checks and locks the file that path names; replaced when by the time the lock was taken
// the name had been given to another file (a conversion that held the lock has just replaced it).
Opened open_and_lock(const char* path, Descriptor& fd, struct stat& status) noexcept {
  // Non-blocking, so that a FIFO without a writer or a device does not hold up the run; the
  // descriptor is only kept for a regular file, where the flag has no effect.
  fd.reset(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      on_pseudo_file_system(fd.get()) || !lock_within_a_few_seconds(fd.get())) {
    return Opened::refused;
  }
  struct stat named {};
  if (::stat(path, &named) != 0 || !same_file(named, identity_of(status))) {
    return Opened::replaced;
  }
  // Taken again under the lock: what was read before it may be stale.
  return ::fstat(fd.get(), &status) == 0 ? Opened::file : Opened::refused;
}

}  // namespace

bool SourceFile::open(const char* path) noexcept {
  close();
  Descriptor fd;
  struct stat status {};
  for (int attempt = 0; attempt < 10; ++attempt) {
    const Opened opened = open_and_lock(path, fd, status);
    if (opened == Opened::refused) {
      return false;
    }
    if (opened == Opened::file) {
      handle_ = fd.release();
      path_ = path;
      identity_ = identity_of(status);
      return true;
    }
  }
  return false;
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
    // Closing the descriptor releases the lock.
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}
