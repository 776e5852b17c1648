#include "metadata.hpp"

#include <cerrno>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr const char* ACCESS_ACL = "system.posix_acl_access";

// The attribute flags that belong to the file's content and its owner's choices. Append-only and
// immutable files are refused before anything is written, so they are never carried.
constexpr unsigned CARRIED_FLAGS = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL |
                                   FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOMP_FL | FS_NOCOW_FL;

unsigned flags_of(int fd) noexcept {
  int flags = 0;
  return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? static_cast<unsigned>(flags) : 0u;
}

// Reads what read(into, room) gives into text. Most files have no extended attributes, or short
// ones, so a small buffer is tried first and the size asked for only when it is too small; the
// size asked for may be outgrown before the read, and then it is asked again.
template <typename Read>
bool read_growing(Read read, std::string& text) {
  char small[256];
  ssize_t got = read(small, sizeof small);
  if (got >= 0) {
    text.assign(small, static_cast<std::size_t>(got));
    return true;
  }
  while (errno == ERANGE) {
    const ssize_t length = read(nullptr, 0);
    if (length < 0) {
      return false;
    }
    text.resize(static_cast<std::size_t>(length));
    got = read(text.data(), text.size());
    if (got >= 0) {
      text.resize(static_cast<std::size_t>(got));
      return true;
    }
  }
  return false;
}

}  // namespace

bool same_carried(const Metadata& a, const Metadata& b) noexcept {
  return (a.status.st_mode & 07777) == (b.status.st_mode & 07777) &&
         a.status.st_uid == b.status.st_uid && a.status.st_gid == b.status.st_gid &&
         a.flags == b.flags && a.attributes == b.attributes;
}

bool read_metadata(int fd, Metadata& metadata) {
  if (::fstat(fd, &metadata.status) != 0) {
    return false;
  }
  metadata.all_flags = flags_of(fd);
  metadata.flags = metadata.all_flags & CARRIED_FLAGS;
  metadata.attributes.clear();
  std::string names;
  const auto list = [fd](char* into, std::size_t room) { return ::flistxattr(fd, into, room); };
  if (!read_growing(list, names)) {
    // A file system without extended attributes has none to lose.
    return errno == ENOTSUP;
  }
  for (std::size_t start = 0; start < names.size();) {
    const std::string name = names.c_str() + start;
    start += name.size() + 1;
    std::string value;
    const auto get = [fd, &name](char* into, std::size_t room) {
      return ::fgetxattr(fd, name.c_str(), into, room);
    };
    if (!read_growing(get, value)) {
      return false;
    }
    metadata.attributes.emplace_back(name, std::move(value));
  }
  return true;
}

bool carry_flags(int fd, const Metadata& metadata) noexcept {
  const unsigned flags = flags_of(fd);
  if ((flags & CARRIED_FLAGS) == metadata.flags) {
    return true;
  }
  int wanted = static_cast<int>((flags & ~CARRIED_FLAGS) | metadata.flags);
  return ::ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0;
}

bool carry_metadata(int fd, const Metadata& metadata) noexcept {
  const struct stat& original = metadata.status;
  // Only root may give a file away, and a user only to a group of their own; the check at the
  // end tells whether it worked.
  [[maybe_unused]] const bool given = ::fchown(fd, original.st_uid, original.st_gid) == 0 ||
                                      ::fchown(fd, static_cast<uid_t>(-1), original.st_gid) == 0;
  bool has_access_acl = false;
  for (const auto& [name, value] : metadata.attributes) {
    has_access_acl = has_access_acl || name == ACCESS_ACL;
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  // A new file in a directory with a default ACL is born with that ACL; the file it replaces
  // had none, so it must not keep it.
  if (!has_access_acl && ::fremovexattr(fd, ACCESS_ACL) != 0 && errno != ENODATA &&
      errno != ENOTSUP) {
    return false;
  }
  // After the owner, since a change of owner clears the set-ID bits; with an ACL the group bits
  // are its mask, which this sets to what it was.
  if (::fchmod(fd, original.st_mode & 07777) != 0) {
    return false;
  }
  struct stat carried {};
  return ::fstat(fd, &carried) == 0 && carried.st_uid == original.st_uid &&
         carried.st_gid == original.st_gid &&
         (carried.st_mode & 07777) == (original.st_mode & 07777);
}

void restore_set_id_bits(int fd, const struct stat& original) noexcept {
  struct stat now {};
  if ((original.st_mode & 06000) != 0 && ::fstat(fd, &now) == 0 &&
      (now.st_mode & 07777) != (original.st_mode & 07777)) {
    (void)::fchmod(fd, original.st_mode & 07777);
  }
}

void restore_capabilities(int fd, const Metadata& metadata) noexcept {
  for (const auto& [name, value] : metadata.attributes) {
    if (name == "security.capability") {
      (void)::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0);
    }
  }
}

bool directory_takes_new_files(int directory) noexcept {
  return (flags_of(directory) & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}
