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

// The steps of one replacement, with the first failure among them recorded for the user.
class Recorded {
 public:
  Recorded(ReplacementSteps& steps, StepFailure& failure) noexcept
      : file(steps), failure_(failure) {}

  // A step that failed on an error when it yields false (or failed, or no_space).
  bool step(bool done, const char* what) noexcept {
    if (!done) {
      record(what, file.error());
    }
    return done;
  }
  Outcome step(Outcome outcome, const char* what) noexcept {
    if (outcome == Outcome::failed || outcome == Outcome::no_space) {
      record(what, file.error());
    }
    return outcome;
  }
  // A check that found something amiss when it yields false.
  bool finding(bool holds, const char* what) noexcept {
    if (!holds) {
      record(what, 0);
    }
    return holds;
  }

  ReplacementSteps& file;

 private:
  void record(const char* what, int error) noexcept {
    if (failure_.step == nullptr) {
      failure_ = {what, error};
    }
  }

  StepFailure& failure_;
};

// Whether another writer may have written the file since it was read. Where writers have been
// kept out since the read, nobody has. Where they were not, a rewrite of the same size within one
// tick of the file system's clock changes nothing the times show, so the content is compared with
// what was read, which was taken into memory while it could not change; nothing is read from the
// file now but to compare. A writer that broke in waits to write the file: it stays the file's,
// for that writer.
bool written_since_read(Recorded& steps, OldContent& old_content) noexcept {
  switch (steps.file.exclusion()) {
    case Exclusion::held:
      return false;
    case Exclusion::broken:
      return !steps.finding(false, "another program opened the file to write it");
    case Exclusion::lapsed:
      break;
  }
  const std::span<const unsigned char> old = old_content.in_memory();
  return !steps.finding(!old.empty() && steps.file.holds(old),
                        "another program wrote the file since it was read");
}

bool metadata_unchanged(Recorded& steps) noexcept {
  return steps.finding(steps.file.metadata_unchanged(),
                       "another program changed the file's permissions, owner or attributes");
}

// The last word before the file is given new content. Who may do what with it is compared
// whatever keeps writers out: a new file in its place would take back a change of it.
bool unchanged(Recorded& steps, OldContent& old_content) noexcept {
  return steps.finding(steps.file.still_the_file_read(),
                       "another program renamed, replaced or changed the file since it was read") &&
         metadata_unchanged(steps) && !written_since_read(steps, old_content);
}

// After the commit the file read is still open, out of its place: what the commit swapped is
// checked where the system shows it, and the file read as before the commit, its metadata too,
// since a writer or a change of permissions may have got in between the last check and the
// commit. Anything amiss puts the file back, with what the other program made of it.
bool settled(Recorded& steps, OldContent& old_content) noexcept {
  if (steps.finding(steps.file.swapped_as_meant(),
                    "another program replaced the file during the exchange") &&
      metadata_unchanged(steps) && !written_since_read(steps, old_content)) {
    return steps.step(steps.file.settle_commit(), "flushing the folder to disk");
  }
  static_cast<void>(steps.file.undo_commit());
  return false;
}

// The old content is on disk in the backup before the first byte of the file is written, and the
// backup goes only once the file holds a whole content again, so that at every moment one of the
// two holds every old byte. Nothing from outside may end the process meanwhile, nor, where the
// backup must be kept, until it has been reported (kept says so).
bool rewrite_in_place(Recorded& steps, OldContent& old_content, Content& new_content,
                      bool keep_time, bool& kept) noexcept {
  ReplacementSteps& file = steps.file;
  // Into memory while writers are still kept out, where they were: the file is written over, so
  // from here on the old content, and what the new content is made from, come from memory, and
  // later checks compare the file with what was read.
  const std::span<const unsigned char> old = old_content.whole();
  if (!steps.step(!old.empty(), "reading the file whole") || !new_content.acceptable() ||
      !steps.finding(file.exclusion() != Exclusion::broken,
                     "another program opened the file to write it") ||
      !steps.step(file.open_for_writing(), "opening the file for writing")) {
    return false;
  }
  const InterruptionsHeld held(file);
  // Beside the file, where the user looks for it; where the folder takes no new file, where it
  // still survives a reboot.
  Outcome made = file.make_scratch(ReplacementSteps::Scratch::backup);
  if (made == Outcome::only_in_place) {
    made = file.make_scratch(ReplacementSteps::Scratch::backup_elsewhere);
  }
  if (steps.step(made, "creating the backup") != Outcome::done) {
    steps.finding(made != Outcome::only_in_place, "no folder takes a backup of the file");
    return false;
  }
  const ScratchMade backup(file);
  // Checked again after the backup is on disk: the backup took time, and a wait for the disk
  // is when a writer gets in.
  HeldContent backed_up(old);
  if (steps.step(file.write_scratch(backed_up), "writing the backup") != Outcome::done ||
      !steps.step(file.flush_scratch(), "flushing the backup to disk") ||
      !unchanged(steps, old_content)) {
    return false;
  }
  const Written written = file.write_file(new_content);
  if (steps.step(written.whole, "writing the file") &&
      steps.step(file.finish_file(written.bytes, keep_time), "finishing the file")) {
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

bool Replacement::may_begin() noexcept {
  Recorded steps(file_, failure_);
  // Whether the file itself may be written decides, not its folder: a read-only file is not
  // replaced just because the folder would allow a rename over it.
  return steps.step(file_.read_metadata(), "reading the file's permissions and attributes") &&
         steps.step(file_.may_write(), "asking whether the file may be written");
}

Replacement::Prepared Replacement::prepare(bool others_wait) noexcept {
  Recorded steps(file_, failure_);
  if (!may_begin() ||
      !steps.finding(file_.still_the_file_read(),
                     "another program renamed, replaced or changed the file since it was read")) {
    return Prepared::over;
  }
  if (file_.may_take_new_file()) {
    Outcome made = steps.step(file_.make_scratch(ReplacementSteps::Scratch::temporary),
                              "creating the temporary file");
    if (made == Outcome::done) {
      // Who may do what with the file must not change with it: what cannot be carried keeps
      // the file.
      made = steps.step(file_.write_scratch(new_content_), "writing the temporary file");
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
  // A failure of the temporary file that left the rewrite in place to be tried is not the
  // rewrite's.
  failure_ = StepFailure();
  succeeded_ = rewrite_in_place(steps, old_content_, new_content_, keep_time_, kept_);
  return Prepared::over;
}

bool Replacement::finish() noexcept {
  Recorded steps(file_, failure_);
  Outcome committed = Outcome::failed;
  // On disk before the last check, so that nothing can happen between that check and the commit
  // but the commit.
  if (steps.step(file_.flush_scratch(), "flushing the temporary file to disk")) {
    const InterruptionsHeld held(file_);
    if (unchanged(steps, old_content_)) {
      committed = steps.step(file_.commit_scratch(), "exchanging the new file for the file");
      if (committed == Outcome::done && !settled(steps, old_content_)) {
        committed = Outcome::failed;
      }
    }
  }
  file_.drop_scratch();
  succeeded_ = committed == Outcome::only_in_place
                   ? rewrite_in_place(steps, old_content_, new_content_, keep_time_, kept_)
                   : committed == Outcome::done;
  return succeeded_;
}
