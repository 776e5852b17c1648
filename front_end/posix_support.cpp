#include "posix_support.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

void Descriptor::reset(int fd) noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

std::size_t write_at(int fd, std::span<const unsigned char> bytes, off_t offset) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  return done;
}

FileIdentity identity_of(const struct stat& status) noexcept {
  constexpr std::int64_t NS = 1'000'000'000;
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * NS + status.st_mtim.tv_nsec,
          static_cast<std::int64_t>(status.st_ctim.tv_sec) * NS + status.st_ctim.tv_nsec};
}

bool unchanged_since(const struct stat& status, const FileIdentity& identity) noexcept {
  const FileIdentity now = identity_of(status);
  return same_file(status, identity) && now.size == identity.size &&
         now.modified == identity.modified && now.changed == identity.changed;
}

DescriptorLink link_of(int fd) noexcept {
  DescriptorLink link{};
  std::snprintf(link.path, sizeof link.path, "/proc/self/fd/%d", fd);
  return link;
}

namespace {

// Where the kernel says the open file is now: the name it was opened by, after symbolic links,
// even if that name was renamed since. Empty when it cannot say (no /proc, or the file has no
// name any more).
std::string path_of_open_file(int fd) {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link_of(fd).path, path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size() || path[0] != '/') {
    return {};
  }
  path.resize(static_cast<std::size_t>(length));
  return path;
}

}  // namespace

bool locate(int fd, const char* typed_path, const FileIdentity& identity, Location& location) {
  std::string path = path_of_open_file(fd);
  if (path.empty()) {
    // Without /proc the typed name, with its links resolved, is the best guess; the check below
    // still makes sure it names the file that is open.
    char* resolved = ::realpath(typed_path, nullptr);
    if (resolved == nullptr) {
      return false;
    }
    path = resolved;
    std::free(resolved);
  }
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  location.name = path.substr(slash + 1);
  location.directory.reset(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (location.directory.get() < 0 || location.name.empty()) {
    return false;
  }
  struct stat named {};
  return ::fstatat(location.directory.get(), location.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         S_ISREG(named.st_mode) && same_file(named, identity);
}
