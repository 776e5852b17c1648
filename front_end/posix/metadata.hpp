#pragma once

#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

// Carrying a file's metadata to the new file that replaces it, so that the replacement changes
// nobody's access: owner and group, permission bits with the set-ID bits, the access-control list
// and every other extended attribute the process can read, and the attribute flags an owner may
// set. Against a directory's default ACL, which a new file would otherwise take in place of the
// old file's permissions.

struct Metadata {
  struct stat status {};
  // Extended attributes by name, the access ACL (system.posix_acl_access) among them.
  std::vector<std::pair<std::string, std::string>> attributes;
  // The attribute flags a replacement carries.
  unsigned flags = 0;
  // Every attribute flag as read, append-only and immutable among them.
  unsigned all_flags = 0;
};

// Reads what a replacement must carry over from the open file. False when its extended
// attributes cannot be listed, since what a replacement would lose is then unknown.
[[nodiscard]] bool read_metadata(int fd, Metadata& metadata);

// Whether a and b agree on everything a replacement carries: permission and set-ID bits, owner,
// group, extended attributes (the access ACL among them) and the carried attribute flags.
[[nodiscard]] bool same_carried(const Metadata& a, const Metadata& b) noexcept;

// Gives the new, still empty file fd the attribute flags in metadata (some only take effect on
// an empty file). False when they could not be set.
[[nodiscard]] bool carry_flags(int fd, const Metadata& metadata) noexcept;

// Gives the new file fd, once its content is written, the owner, permissions and extended
// attributes in metadata (after the content, since a write drops file capabilities). False when
// something could not be set (another owner without the privilege to give files away, an
// attribute the process may not set): a rename would then change who may do what with the file,
// so it must be rewritten in place instead.
[[nodiscard]] bool carry_metadata(int fd, const Metadata& metadata) noexcept;

// Puts back the set-user-ID and set-group-ID bits that a write by a non-privileged process clears.
void restore_set_id_bits(int fd, const struct stat& original) noexcept;

// Gives the file fd back the capabilities (security.capability) it had in metadata, which any
// write to it removes, where the process may (root).
void restore_capabilities(int fd, const Metadata& metadata) noexcept;

// False when the directory is append-only or immutable: nothing created there could be renamed
// or removed again.
[[nodiscard]] bool directory_takes_new_files(int directory) noexcept;
