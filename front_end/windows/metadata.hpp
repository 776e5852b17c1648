#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Carrying a file's metadata to the new file that replaces it: the attributes a program may set,
// the creation time, and the whole security descriptor (owner, group, access-control list with
// whether it inherits, integrity label and, where the process may read it, the audit list).
// What a new file cannot be given (other data streams, among them the mark of a downloaded file,
// encryption, compression, sparseness, an audit list the process may not read) keeps the file:
// it is then rewritten in place.

class Metadata {
 public:
  Metadata() = default;
  Metadata(const Metadata&) = delete;
  Metadata& operator=(const Metadata&) = delete;
  ~Metadata();

  // Reads it from the open file. False when the file cannot be described.
  [[nodiscard]] bool read(HANDLE file) noexcept;
  [[nodiscard]] const BY_HANDLE_FILE_INFORMATION& information() const noexcept {
    return information_;
  }
  // Whether other, read from the same file later, agrees on what a new file carries (attributes,
  // creation time, security descriptor) and on the read-only attribute.
  [[nodiscard]] bool same_as(const Metadata& other) const noexcept;
  // False when a new file could not be given everything the file has.
  [[nodiscard]] bool carriable() const noexcept { return carriable_; }
  // The attributes a new file is created with.
  [[nodiscard]] DWORD attributes_to_create_with() const noexcept;
  // Access a handle to the new file needs for carry_to.
  [[nodiscard]] DWORD access_needed() const noexcept;
  // Gives the new file, once written, the creation time and security descriptor. False when
  // anything could not be set.
  [[nodiscard]] bool carry_to(HANDLE replacement) const noexcept;

 private:
  BY_HANDLE_FILE_INFORMATION information_{};
  PSECURITY_DESCRIPTOR security_ = nullptr;
  SECURITY_INFORMATION parts_ = 0;
  bool carriable_ = false;
};

// Security for a backup: only the user running the program may reach it, whatever the folder
// would give a new file. Null when it cannot be made; release with LocalFree.
[[nodiscard]] PSECURITY_DESCRIPTOR owner_only_security() noexcept;
