#pragma once

#include <cstdint>
#include <span>

// The few file-system operations the conversion job needs, with one implementation per platform.

// A regular file opened for reading. Directories, pipes, sockets and devices are refused, and
// opening never waits for a writer.
class SourceFile {
 public:
  SourceFile() = default;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile() { close(); }

  // Opens path for reading; false when it cannot be opened or is not a regular file.
  [[nodiscard]] bool open(const char* path) noexcept;
  // The file's size in bytes as a 64-bit count; negative when it cannot be measured.
  [[nodiscard]] std::int64_t measure() noexcept;
  // Reads the first buffer.size() bytes of the file; false on an error or when fewer arrive.
  [[nodiscard]] bool read_exactly(std::span<unsigned char> buffer) noexcept;
  void close() noexcept;

 private:
  std::intptr_t handle_ = -1;
};

// Gives the file at path the content new_content, where old_content is what was read from it.
// The file keeps its permission bits, its owner and group where the process may set them, every
// symbolic link to it and every hard link of it. Normally the new content goes to a temporary file
// beside the file that is then renamed over it, so the file holds its whole old or whole new
// content at every moment. A file with several hard links, or one whose directory takes no
// temporary file or whose owner cannot be kept, is overwritten in place instead, and put back
// from old_content if a write fails. A file the process may not write is left alone.
// Yields false when the file could not be given the new content; it then holds its old content.
[[nodiscard]] bool replace_content(const char* path, std::span<const unsigned char> old_content,
                                   std::span<const unsigned char> new_content);
