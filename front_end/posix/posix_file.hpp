#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "replacement.hpp"
#include "source_file.hpp"

// What the POSIX file-system layer shares: descriptors, checked writes, identities, and the open
// file as finding it left it.

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }
  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset(int fd = -1) noexcept;
  // Hands the descriptor over to the caller, who closes it.
  [[nodiscard]] int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The positioned primitives of file_io.hpp: all of bytes written at offset, or the buffer read
// exactly from it.
[[nodiscard]] std::size_t write_at(int fd, std::span<const unsigned char> bytes,
                                   std::uint64_t offset) noexcept;
[[nodiscard]] bool read_exactly_at(int fd, std::span<unsigned char> buffer,
                                   std::uint64_t offset) noexcept;
// Why the last write stopped short.
[[nodiscard]] inline int write_error() noexcept {
  return errno;
}

[[nodiscard]] inline bool write_all_at(int fd, std::span<const unsigned char> bytes,
                                       std::uint64_t offset) noexcept {
  return write_at(fd, bytes, offset) == bytes.size();
}

[[nodiscard]] FileIdentity identity_of(const struct stat& status) noexcept;

// "/proc/self/fd/<fd>": the kernel's link to the file a descriptor is open on, whatever has
// happened to its name.
struct DescriptorLink {
  char path[32];
};
[[nodiscard]] DescriptorLink link_of(int fd) noexcept;

// True when status is of the same file as identity.
[[nodiscard]] inline bool same_file(const struct stat& status,
                                    const FileIdentity& identity) noexcept {
  return status.st_dev == identity.device && status.st_ino == identity.inode;
}

// True when both are of the same file.
[[nodiscard]] inline bool same_file(const struct stat& one, const struct stat& other) noexcept {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// True when status is of the same file as identity, with the same size and modification and
// change times: nobody has written it, linked it or changed its metadata since.
[[nodiscard]] inline bool unchanged_since(const struct stat& status,
                                          const FileIdentity& identity) noexcept {
  return unchanged_since(identity_of(status), identity);
}

// Where the file is: an open directory and the file's name in it.
struct Location {
  Descriptor directory;
  std::string name;
};

// The file as found and opened: the descriptor it was read and locked through, where its name
// is, what it was when locked, and whether a lease has kept writers out since.
struct SourceFile::Open {
  Descriptor fd;
  Location location;
  FileIdentity identity;
  bool leased = false;
  // Whether others may write the file where no lease of this kernel reaches: on a network file
  // system, or through the process that serves a FUSE one.
  bool written_beyond = false;
  // The name as typed, for a report at the end of the run.
  const char* path = nullptr;
};

// The path of the directory entry name in the open directory, for the message that tells the
// user where a copy was kept.
[[nodiscard]] std::string path_in(int directory, const char* name) noexcept;

// True for the errors that say the file system or the user's quota has no room left.
[[nodiscard]] inline bool out_of_space(int error) noexcept {
  return error == ENOSPC || error == EDQUOT;
}

// True for the errors that say a directory takes no new file.
[[nodiscard]] inline bool refuses_new_files(int error) noexcept {
  return error == EACCES || error == EPERM;
}
