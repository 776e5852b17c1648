#include "posix_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

void Descriptor::reset(int fd) noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

std::size_t write_at(int fd, std::span<const unsigned char> bytes, std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
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

bool read_exactly_at(int fd, std::span<unsigned char> buffer, std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got =
        ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
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

namespace {

// A time as one number that differs whenever the time does. It is only ever compared for
// equality, so it wraps rather than overflow for times after the year 2262.
std::int64_t time_key(const struct timespec& time) noexcept {
  constexpr std::uint64_t NS = 1'000'000'000;
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(time.tv_sec) * NS +
                                   static_cast<std::uint64_t>(time.tv_nsec));
}

}  // namespace

FileIdentity identity_of(const struct stat& status) noexcept {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size), time_key(status.st_mtim),
          time_key(status.st_ctim)};
}

DescriptorLink link_of(int fd) noexcept {
  DescriptorLink link{};
  std::snprintf(link.path, sizeof link.path, "/proc/self/fd/%d", fd);
  return link;
}

std::string path_in(int directory, const char* name) noexcept {
  try {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink(link_of(directory).path, path.data(), path.size());
    path.resize(length > 0 && static_cast<std::size_t>(length) < path.size()
                    ? static_cast<std::size_t>(length)
                    : 0);
    return path.empty() || path == "/" ? path + name : path + "/" + name;
  } catch (const std::bad_alloc&) {
    return name;
  }
}
