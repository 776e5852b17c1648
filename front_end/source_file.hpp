#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "replacement.hpp"

// The few file-system operations the conversion job needs, with one implementation per platform.

// What identifies the file that was read and tells whether anyone has changed it since: the file
// (device and inode, or volume and file index), its size and its modification and change times.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = -1;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
};

// True when now is of the file of then, with the same size and modification and change times:
// nobody has written it, linked it or changed its metadata since.
[[nodiscard]] inline bool unchanged_since(const FileIdentity& now,
                                          const FileIdentity& then) noexcept {
  return now.device == then.device && now.inode == then.inode && now.size == then.size &&
         now.modified == then.modified && now.changed == then.changed;
}

// A regular file opened for reading and locked against other conversions until it is closed.
// Everything after the open works from the open file, never from its name looked up again.
class SourceFile {
 public:
  SourceFile() noexcept;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile();

  // Opens path for reading and takes the conversion lock on the file, giving up after a few
  // seconds if another program holds it. False when it cannot be opened, is not a regular file on
  // a real file system (directories, pipes, sockets, devices, kernel pseudo-files), or stays
  // locked. Opening never waits for a writer, and nothing that is not a regular file is opened
  // for reading. A symbolic link on the way (the last component or a directory) is followed only
  // when it belongs to the user running the program or to the owner of what it points to. A file
  // that another program has open for writing is waited for like the lock; from then on writers
  // are kept out where the system can do that.
  // With wait false, a lock or a writer held elsewhere is not waited for: open then fails at once
  // and held_elsewhere() says so.
  [[nodiscard]] bool open(const char* path, bool wait = true) noexcept;
  [[nodiscard]] bool held_elsewhere() const noexcept { return held_elsewhere_; }
  // Why the last open failed, in words: the step, with the system's error number where a call
  // failed, or else (error 0) what was found; what is null where it did not fail.
  struct OpenFailure {
    int error = 0;
    const char* what = nullptr;
  };
  [[nodiscard]] const OpenFailure& open_failure() const noexcept { return open_failure_; }
  // True when both are open on one file, whatever names they were opened by.
  [[nodiscard]] bool same_file_as(const SourceFile& other) const noexcept {
    return open_ && other.open_ && file_.device == other.file_.device &&
           file_.inode == other.file_.inode;
  }
  // The file's size in bytes as a 64-bit count, as it was when opened; negative when unknown.
  [[nodiscard]] std::int64_t measure() const noexcept { return size_; }
  // Reads buffer.size() bytes of the file from offset; false on an error or when fewer arrive.
  [[nodiscard]] bool read_exactly(std::span<unsigned char> buffer,
                                  std::uint64_t offset = 0) noexcept;
  // True when the system keeps every other writer out of the file from the open until it is
  // replaced or closed, so that what is read from it twice is the same.
  [[nodiscard]] bool writers_kept_out() const noexcept;

  // The steps of replacing the file's content (replacement.hpp); they keep everything else it had
  // that the process may set (permissions, owner, access-control lists, extended attributes or
  // streams, attribute flags, every link to it). Null when there is no memory for them. They must
  // not outlive the open file.
  [[nodiscard]] std::unique_ptr<ReplacementSteps> replacement_steps() noexcept;
  // After a replacement: where a copy of the file's old content was left behind, because putting
  // it back or removing it failed; empty when none was.
  [[nodiscard]] const std::string& kept_copy() const noexcept { return kept_; }

  void close() noexcept;

  // What the platform holds while the file is open: its handle, where it was found, its
  // identity. Defined by each platform, for its own steps.
  struct Open;
  // How one attempt at opening and locking the file ended: replaced when the name was given to
  // another file meanwhile.
  enum class Attempt { opened, refused, held, replaced };

 private:
  // The platform's steps over the open file, which record in kept_copy where a copy of the old
  // content was left behind.
  [[nodiscard]] static std::unique_ptr<ReplacementSteps> steps_for(Open& file,
                                                                   std::string& kept_copy);
  // One attempt, by the platform, at opening and locking the file path names, which on success
  // sets open_ and size_, and otherwise open_failure_; replaced when the name was given to
  // another file meanwhile.
  [[nodiscard]] Attempt open_once(const char* path, bool wait) noexcept;

  std::unique_ptr<Open> open_;
  // Which file is open, as identity has it.
  struct OnDisk {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
  };
  OnDisk file_;
  std::int64_t size_ = -1;
  bool held_elsewhere_ = false;
  OpenFailure open_failure_;
  std::string kept_;
};

// How many files a run may keep open, each waiting for its temporary file to be flushed with the
// others', without running short of descriptors for the rest of its work.
[[nodiscard]] std::size_t files_at_once() noexcept;

// Makes the replacements of this run durable where that was left until the end: on POSIX
// systems each directory in which files were replaced is flushed to disk once, here, rather than
// after every file. Each file holds its whole old or whole new content at every moment either
// way; after this every conversion of the run is on disk, except those of the files passed to
// not_on_disk (by their names as typed, with the system's error number), whose directory could not
// be flushed. Called once, when
// the run ends.
void finish_replacements(void (*not_on_disk)(const char* path, int error)) noexcept;
