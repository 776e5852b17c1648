#include "source_file.hpp"

#include <new>

// A name given to another file between the look and the lock (a conversion that held the lock
// has just replaced the file) is looked up again, a few times at most.
bool SourceFile::open(const char* path, bool wait) noexcept {
  close();
  for (int attempt = 0; attempt < 10; ++attempt) {
    open_failure_ = OpenFailure();
    const Attempt tried = open_once(path, wait);
    held_elsewhere_ = tried == Attempt::held;
    if (tried != Attempt::replaced) {
      return tried == Attempt::opened;
    }
  }
  open_failure_ = {0, "its name was given to another file again and again while it was opened"};
  return false;
}

std::unique_ptr<ReplacementSteps> SourceFile::replacement_steps() noexcept {
  kept_.clear();
  if (!open_) {
    return nullptr;
  }
  try {
    return steps_for(*open_, kept_);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
