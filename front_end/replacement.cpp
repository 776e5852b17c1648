#include "replacement.hpp"

namespace {

class InterruptionsHeld {
 public:
  explicit InterruptionsHeld(ReplacementSteps& file) noexcept : file_(file) {
    file_.hold_interruptions();
  }
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
  ~InterruptionsHeld() { file_.release_interruptions(); }

 private:
  ReplacementSteps& file_;
};

// Removes the scratch file on every way out unless it was committed or must be kept.
class ScratchMade {
 public:
  explicit ScratchMade(ReplacementSteps& file) noexcept : file_(file) {}
  ScratchMade(const ScratchMade&) = delete;
  ScratchMade& operator=(const ScratchMade&) = delete;
  ~ScratchMade() { file_.drop_scratch(); }

 private:
  ReplacementSteps& file_;
};

// Whether another writer may have written the file since it was read. Where writers have been
// kept out since the read, nobody has. Where they were not, a rewrite of the same size within one
// tick of the file system's clock changes nothing the times show, so the content is compared with
// what was read, which was taken into memory while it could not change; nothing is read from the
// file now but to compare. A writer that broke in waits to write the file: it stays the file's,
// for that writer.
bool written_since_read(ReplacementSteps& file, OldContent& old_content) noexcept {
  switch (file.exclusion()) {
    case Exclusion::held:
      return false;
    case Exclusion::broken:
      return true;
    case Exclusion::lapsed:
      break;
  }
  const std::span<const unsigned char> old = old_content.in_memory();
  return old.empty() || !file.holds(old);
}

// The last word before the file is given new content. Who may do what with it is compared
// whatever keeps writers out: a new file in its place would take back a change of it.
bool unchanged(ReplacementSteps& file, OldContent& old_content) noexcept {
  return file.still_the_file_read() && file.metadata_unchanged() &&
         !written_since_read(file, old_content);
}

// After the commit the file read is still open, out of its place: what the commit swapped is
// checked where the system shows it, and the file read as before the commit, its metadata too,
// since a writer or a change of permissions may have got in between the last check and the
// commit. Anything amiss puts the file back, with what the other program made of it.
bool settled(ReplacementSteps& file, OldContent& old_content) noexcept {
  if (file.swapped_as_meant() && file.metadata_unchanged() &&
      !written_since_read(file, old_content)) {
    return file.settle_commit();
  }
  static_cast<void>(file.undo_commit());
  return false;
}

// The old content is on disk in the backup before the first byte of the file is written, and the
// backup goes only once the file holds a whole content again, so that at every moment one of the
// two holds every old byte. Nothing from outside may end the process meanwhile, nor, where the
// backup must be kept, until it has been reported (kept says so).
bool rewrite_in_place(ReplacementSteps& file, OldContent& old_content, Content& new_content,
                      bool keep_time, bool& kept) noexcept {
  // Into memory while writers are still kept out, where they were: the file is written over, so
  // from here on the old content, and what the new content is made from, come from memory, and
  // later checks compare the file with what was read.
  const std::span<const unsigned char> old = old_content.whole();
  if (old.empty() || !new_content.acceptable() || file.exclusion() == Exclusion::broken ||
      !file.open_for_writing()) {
    return false;
  }
  const InterruptionsHeld held(file);
  // Beside the file, where the user looks for it; where the folder takes no new file, where it
  // still survives a reboot.
  Outcome made = file.make_scratch(ReplacementSteps::Scratch::backup);
  if (made == Outcome::only_in_place) {
    made = file.make_scratch(ReplacementSteps::Scratch::backup_elsewhere);
  }
  if (made != Outcome::done) {
    return false;
  }
  const ScratchMade backup(file);
  // Checked again after the backup is on disk: the backup took time, and a wait for the disk
  // is when a writer gets in.
  HeldContent backed_up(old);
  if (file.write_scratch(backed_up) != Outcome::done || !file.flush_scratch() ||
      !unchanged(file, old_content)) {
    return false;
  }
  const Written written = file.write_file(new_content);
  if (written.whole && file.finish_file(written.bytes, keep_time)) {
    return true;
  }
  // When not a byte was written the content never changed.
  if (written.bytes != 0 && !file.put_back(old)) {
    file.keep_scratch();
    // Nothing may end the process before the user is told where the old content is.
    file.hold_interruptions();
    kept = true;
  }
  return false;
}

}  // namespace

Replacement::Prepared Replacement::prepare(bool others_wait) noexcept {
  // Whether the file itself may be written decides, not its folder: a read-only file is not
  // replaced just because the folder would allow a rename over it.
  if (!file_.read_metadata() || !file_.may_write() || !file_.still_the_file_read()) {
    return Prepared::over;
  }
  if (file_.may_take_new_file()) {
    Outcome made = file_.make_scratch(ReplacementSteps::Scratch::temporary);
    if (made == Outcome::done) {
      // Who may do what with the file must not change with it: what cannot be carried keeps
      // the file.
      made = file_.write_scratch(new_content_);
      if (made == Outcome::done) {
        made = file_.carry_metadata(keep_time_);
      }
      if (made == Outcome::done) {
        return Prepared::waiting;
      }
      file_.drop_scratch();
    }
    if (made == Outcome::no_space) {
      return Prepared::no_space;
    }
    if (made == Outcome::failed) {
      return Prepared::over;
    }
  }
  if (others_wait) {
    return Prepared::alone;
  }
  succeeded_ = rewrite_in_place(file_, old_content_, new_content_, keep_time_, kept_);
  return Prepared::over;
}

bool Replacement::finish() noexcept {
  Outcome committed = Outcome::failed;
  // On disk before the last check, so that nothing can happen between that check and the commit
  // but the commit.
  if (file_.flush_scratch()) {
    const InterruptionsHeld held(file_);
    if (unchanged(file_, old_content_)) {
      committed = file_.commit_scratch();
      if (committed == Outcome::done && !settled(file_, old_content_)) {
        committed = Outcome::failed;
      }
    }
  }
  file_.drop_scratch();
  succeeded_ = committed == Outcome::only_in_place
                   ? rewrite_in_place(file_, old_content_, new_content_, keep_time_, kept_)
                   : committed == Outcome::done;
  return succeeded_;
}
