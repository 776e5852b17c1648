#pragma once

#include <cstddef>
#include <string_view>

#include "posix_file.hpp"

// The scratch files: a temporary file and a backup.

// Removes the name of every temporary file that has one; safe in a signal handler.
void remove_named_scratch_files() noexcept;

// Whether a temporary file has a name now.
[[nodiscard]] bool named_scratch_files_exist() noexcept;

// A new file in an open directory, readable and writable by its owner alone and locked like the
// file it is for. A temporary file has no name until link() gives it one, just before it takes
// the file's place, so no other process can reach it while it is written and a kill leaves
// nothing behind (where the file system has no unnamed files it is named at once); a signal that
// ends the process removes its name first. A backup is made the same way, and gets its own name,
// which no signal removes, only once it is whole: so a backup under that name always holds every
// byte it was given. Its owner must keep or discard it.
// At most MOST_SCRATCH_FILES exist at a time: one for each file of a run that waits at the
// flush, and one for the file being started.
inline constexpr std::size_t MOST_SCRATCH_FILES = 65;
struct ScratchSlot;

class ScratchFile {
 public:
  enum class Kind { temporary, backup };

  ScratchFile(int directory, std::string_view name, Kind kind) noexcept;
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  // The owner decides: a file created and neither kept nor discarded is a fault of the owner's,
  // caught by an assertion where they are on; it is discarded all the same.
  ~ScratchFile();

  // False when no file could be created; error() then says why.
  [[nodiscard]] bool created() const noexcept { return fd_.get() >= 0; }
  [[nodiscard]] int error() const noexcept { return error_; }
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] int directory() const noexcept { return directory_; }
  // Its name (scratch_name.hpp) once it has one; empty before.
  [[nodiscard]] const char* name() const noexcept;

  // Gives the file its random name in the directory, if it has none yet; false when it cannot.
  [[nodiscard]] bool link() noexcept;
  // Gives a backup that is whole, and on disk, its backup's name; false when it cannot.
  [[nodiscard]] bool name_whole_backup() noexcept;
  // Closes the file and removes its name, if it still has one.
  void discard() noexcept;
  // Closes the file and leaves whatever is under its name alone from now on: after a rename of
  // the name, or to keep a backup on disk.
  void keep() noexcept;

 private:
  [[nodiscard]] bool give_name(int unnamed) noexcept;
  void lock() noexcept;
  void unclaim() noexcept;

  Descriptor fd_;
  int directory_ = -1;
  Kind kind_;
  int error_ = 0;
  bool named_ = false;
  // A backup that has its backup's name.
  bool whole_ = false;
  bool claimed_ = false;
  bool decided_ = false;
  ScratchSlot* slot_ = nullptr;
};
