#pragma once

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
  [[nodiscard]] bool open(const char* path) noexcept;
  // The file's size in bytes as a 64-bit count, as it was when opened; negative when unknown.
  [[nodiscard]] std::int64_t measure() const noexcept { return size_; }
  // Reads buffer.size() bytes of the file from offset; false on an error or when fewer arrive.
  [[nodiscard]] bool read_exactly(std::span<unsigned char> buffer,
                                  std::uint64_t offset = 0) noexcept;
  // True when the system keeps every other writer out of the file from the open until it is
  // replaced or closed, so that what is read from it twice is the same.
  [[nodiscard]] bool writers_kept_out() const noexcept;

  // Gives the file that was opened and read the content new_content, where old_content is what
  // was read from it, and keeps everything else it had that the process may set (permissions,
  // owner, access-control lists, extended attributes or streams, attribute flags, every link to
  // it), as replacement.hpp describes. Yields false when the file did not get the new content; it
  // then holds its old content (or, after a failure that could not be undone, the backup does,
  // and kept_copy() says where).
  [[nodiscard]] bool replace_content(OldContent& old_content, Content& new_content) noexcept;
  // After replace_content: where a copy of the file's old content was left behind, because
  // putting it back or removing it failed; empty when none was.
  [[nodiscard]] const std::string& kept_copy() const noexcept { return kept_; }

  void close() noexcept;

  // What the platform holds while the file is open: its handle, where it was found, its
  // identity. Defined by each platform, for its own steps.
  struct Open;

 private:
  std::unique_ptr<Open> open_;
  std::int64_t size_ = -1;
  std::string kept_;
};

// Makes the replacements of this run durable where that was left until the end: on POSIX
// systems each directory in which files were replaced is flushed to disk once, here, rather than
// after every file. Each file holds its whole old or whole new content at every moment either
// way; after this every conversion of the run is on disk, except those of the files passed to
// not_on_disk (by their names as typed), whose directory could not be flushed. Called once, when
// the run ends.
void finish_replacements(void (*not_on_disk)(const char* path)) noexcept;
