#pragma once

#include <csignal>
#include <string>

// Holds SIGINT, SIGTERM and SIGHUP back for as long as it lives; they arrive when it ends.
class InterruptsHeld {
 public:
  InterruptsHeld() noexcept;
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
  ~InterruptsHeld();

 private:
  sigset_t previous_;
};

// A new file, created exclusively under a random name in the directory of a target file, that is
// removed again unless it is renamed over the target. While it exists, SIGINT, SIGTERM and SIGHUP
// remove it before they end the process. At most one exists at a time.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target);
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  // False when no file could be created; nothing then exists to write to.
  [[nodiscard]] bool created() const noexcept { return fd_ >= 0; }
  [[nodiscard]] int fd() const noexcept { return fd_; }
  [[nodiscard]] const char* path() const noexcept;

  // Flushes the file to disk, closes it and renames it over target. On failure the file is
  // removed and target is untouched.
  [[nodiscard]] bool commit_over(const std::string& target) noexcept;

 private:
  void remove() noexcept;

  int fd_ = -1;
  bool exists_ = false;
};
