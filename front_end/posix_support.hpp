#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "file_system.hpp"
#include "metadata_posix.hpp"

// Pieces the POSIX file-system layer shares: descriptors, checked writes, signals, and the
// scratch files (temporary file and backup) that must never outlive the process.

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

// Writes all of bytes at offset; yields how many were written before an error stopped it.
[[nodiscard]] std::size_t write_at(int fd, std::span<const unsigned char> bytes,
                                   off_t offset) noexcept;

[[nodiscard]] inline bool write_all_at(int fd, std::span<const unsigned char> bytes,
                                       off_t offset) noexcept {
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
[[nodiscard]] bool unchanged_since(const struct stat& status,
                                   const FileIdentity& identity) noexcept;

// Ignores SIGXFSZ, so that a file-size limit makes a write fail instead of ending the process,
// and lets every other signal that would end the process remove the scratch file first. Signals
// the caller set to be ignored stay ignored; those with a handler of their own keep it.
void prepare_signals() noexcept;

// Holds back, for as long as it lives, every signal that would end the process and can be held;
// they arrive when it ends. The faults a program causes itself cannot be held.
class SignalsHeld {
 public:
  SignalsHeld() noexcept;
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld();

 private:
  sigset_t previous_;
};

// A new file in an open directory, readable and writable by its owner alone and locked like the
// file it is for. A temporary file has no name until link() gives it one, just before it takes
// the file's place, so no other process can reach it while it is written and a kill leaves
// nothing behind (where the file system has no unnamed files it is named at once); a signal that
// ends the process removes its name first. A backup is named ".<name>.XXXXXX.bak" at once and is
// never removed by a signal. Either is removed when it goes out of scope unless it was released.
// At most one exists at a time.
class ScratchFile {
 public:
  enum class Kind { temporary, backup };

  ScratchFile(int directory, std::string_view name, Kind kind) noexcept;
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { remove(); }

  // False when no file could be created; error() then says why.
  [[nodiscard]] bool created() const noexcept { return fd_.get() >= 0; }
  [[nodiscard]] int error() const noexcept { return error_; }
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] int directory() const noexcept { return directory_; }
  // ".<name>.XXXXXX" with the kind's suffix once the file has a name; empty before.
  [[nodiscard]] const char* name() const noexcept;

  // Gives the file its random name in the directory, if it has none yet; false when it cannot.
  [[nodiscard]] bool link() noexcept;
  // Closes the file and removes its name, if it still has one.
  void remove() noexcept;
  // Closes the file and leaves whatever is under its name alone from now on: after a rename of
  // the name, or to keep a backup on disk.
  void release() noexcept;

 private:
  [[nodiscard]] const char* suffix() const noexcept;
  [[nodiscard]] bool give_name(int unnamed) noexcept;
  void lock() noexcept;
  void unclaim() noexcept;

  Descriptor fd_;
  int directory_ = -1;
  Kind kind_;
  int error_ = 0;
  std::size_t prefix_length_ = 0;
  bool named_ = false;
  bool claimed_ = false;
};

// Where the file is: an open directory and the file's name in it.
struct Location {
  Descriptor directory;
  std::string name;
};

// The file being replaced, as the steps of a replacement see it.
struct Target {
  // The descriptor the file was read and locked through, and the same file opened for writing.
  int source;
  int writable;
  const Location& location;
  const FileIdentity& identity;
  // As it was when the replacement began: status, extended attributes and flags.
  const Metadata& metadata;
  // What was read from it, and whether a lease has kept writers out since.
  std::span<const unsigned char> old_content;
  bool leased;
  // Where a copy of the old content was left behind, when one had to be: set by the steps.
  std::string& kept_copy;
  // The file's name as typed, for a report at the end of the run.
  const char* path;
};

// True when the name still refers to the file read, and nobody has changed that file since.
[[nodiscard]] bool still_the_file_read(const Target& target) noexcept;

// True when the file open as fd holds exactly content.
[[nodiscard]] bool holds(int fd, std::span<const unsigned char> content) noexcept;

// The last check before the file is given new content: still_the_file_read, and where no lease
// kept writers out, the content read once more and compared, since a rewrite of the same size
// within the file system's timestamp granularity changes nothing else.
[[nodiscard]] bool still_the_content_read(const Target& target) noexcept;

// Records in target.kept_copy where the entry name of the open directory is, for the message
// that tells the user.
void note_kept_copy(const Target& target, int directory, const char* name) noexcept;

// True for the errors that say a directory takes no new file.
[[nodiscard]] inline bool refuses_new_files(int error) noexcept {
  return error == EACCES || error == EPERM;
}

// Overwrites the file in place with new_content, after writing old_content to a backup file and
// flushing it to disk: beside the file when backup_beside allows, otherwise in the system's
// temporary directory. The backup is removed once the new content is on disk, or once the old
// content is back after a failed write; it stays only when neither could be done, and then holds
// every old byte, and target.kept_copy says where. Signals that would end the process wait until
// it is over. False when the file did not get the new content, and when no backup could be made
// (nothing is written then).
[[nodiscard]] bool rewrite_in_place(const Target& target, bool backup_beside,
                                    std::span<const unsigned char> new_content) noexcept;
