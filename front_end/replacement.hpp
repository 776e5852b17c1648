#pragma once

#include <cstddef>
#include <span>

// Giving a file that was opened, locked and read its new content: the order of the steps and the
// checks between them, written once for every platform. A platform supplies the steps as
// primitives over the open file; none of them decides what happens next.

// How a step that may not be possible for this file ended. no_space when the file system ran out
// of space or quota for a scratch file: files of the run that wait may free some.
enum class Outcome { done, failed, only_in_place, no_space };

// What keeps other writers out of the file, as things stand now.
enum class Exclusion {
  // Every other writer has been kept out since the file was read, and still is: a writer cannot
  // have changed the content unseen, nor hold the file open to write it later.
  held,
  // Nothing keeps writers out now, or did not for the whole time since the read: only the content
  // can show that nobody wrote it.
  lapsed,
  // A writer has opened the file since it was read and waits to write it: a new file in its place
  // would take the writes of that writer away from the name.
  broken,
};

// Takes content a piece at a time, in order; false to stop.
class PieceSink {
 public:
  [[nodiscard]] virtual bool take(std::span<const unsigned char> piece) noexcept = 0;

 protected:
  ~PieceSink() = default;
};

// Content handed over a piece at a time, the same pieces each time it is asked, so that it need
// never be held whole.
class Content {
 public:
  // Hands every piece to sink in order; false when the sink stopped it, or when the content
  // turned out not to be acceptable, which may be known only once the last piece is handed over.
  [[nodiscard]] virtual bool pieces(PieceSink& sink) noexcept = 0;
  // Whether the content is acceptable, found by a pass of its own: for a write that cannot be
  // taken back once begun.
  [[nodiscard]] virtual bool acceptable() noexcept { return true; }

 protected:
  ~Content() = default;
};

// Content held whole in memory, as one piece.
class HeldContent final : public Content {
 public:
  explicit HeldContent(std::span<const unsigned char> bytes) noexcept : bytes_(bytes) {}
  [[nodiscard]] bool pieces(PieceSink& sink) noexcept override { return sink.take(bytes_); }

 private:
  std::span<const unsigned char> bytes_;
};

// The content the file had when it was read, which the steps need whole only for some files (a
// rewrite in place, a comparison where writers were not kept out), and then load.
class OldContent {
 public:
  // The whole old content in memory, loaded now if it was not; empty when it cannot be had.
  [[nodiscard]] virtual std::span<const unsigned char> whole() noexcept = 0;
  // The whole old content if it is in memory already, without reading the file; empty otherwise.
  [[nodiscard]] virtual std::span<const unsigned char> in_memory() noexcept = 0;

 protected:
  ~OldContent() = default;
};

// Why a replacement did not happen: the first step that failed, in words, with the system's error
// number where the step failed on one (0 where it found something amiss instead).
struct StepFailure {
  const char* step = nullptr;
  int error = 0;
};

// How much of some content a write put where it was going.
struct Written {
  std::size_t bytes = 0;
  bool whole = false;
};

class ReplacementSteps {
 public:
  // A temporary file goes beside the file; a backup beside it, or in the system's folder for
  // temporary files that survives a reboot.
  enum class Scratch { temporary, backup, backup_elsewhere };

  ReplacementSteps() = default;
  ReplacementSteps(const ReplacementSteps&) = delete;
  ReplacementSteps& operator=(const ReplacementSteps&) = delete;
  virtual ~ReplacementSteps() = default;

  // Reads what a new file in its place would have to carry. False when what a replacement would
  // lose cannot be told.
  [[nodiscard]] virtual bool read_metadata() noexcept = 0;
  // True when the process may write the file itself (not merely replace it through its folder),
  // found without opening it for writing.
  [[nodiscard]] virtual bool may_write() noexcept = 0;
  // Opens the file read for writing through what is open, never by its name again, for a rewrite
  // in place. Where the process's own writer would break what keeps others out, that ends here,
  // and exclusion() says so from now on. False when the file cannot be opened so.
  [[nodiscard]] virtual bool open_for_writing() noexcept = 0;
  // True when the name still refers to the file read and its identity, size and times are as
  // they were when it was read.
  [[nodiscard]] virtual bool still_the_file_read() noexcept = 0;
  // True when everything a new file carries from the file read (who may read, write or run it:
  // mode, owner, access list, extended attributes, attribute flags) is as read_metadata() found
  // it, read afresh through what is open. No exclusion keeps out a change of these, and where
  // times are coarse they do not show it.
  [[nodiscard]] virtual bool metadata_unchanged() noexcept = 0;
  // Whether other writers are kept out, and have been since the file was read.
  [[nodiscard]] virtual Exclusion exclusion() noexcept = 0;
  // True when the file holds exactly content now.
  [[nodiscard]] virtual bool holds(std::span<const unsigned char> content) noexcept = 0;
  // False when a new file in its place would split hard links, or the folder would keep a file
  // created in it for good, or this system cannot give a new file what the file has.
  [[nodiscard]] virtual bool may_take_new_file() noexcept = 0;

  // Creates the one scratch file: a temporary file, which no other process can reach and which
  // does not outlive the process, or a backup, which only its owner may open and which outlives
  // the process if it must. only_in_place when the folder takes no new file; no_space when it has
  // no room for one.
  [[nodiscard]] virtual Outcome make_scratch(Scratch kind) noexcept = 0;
  // done, failed, or no_space when the file system had no room for all of it.
  [[nodiscard]] virtual Outcome write_scratch(Content& content) noexcept = 0;
  // Gives the temporary file everything the file has that it must keep, and its modification
  // time when keep_time; only_in_place when something cannot be given.
  [[nodiscard]] virtual Outcome carry_metadata(bool keep_time) noexcept = 0;
  // Starts writing the temporary file's content to disk without waiting for it, so that the
  // flushes of several files overlap.
  virtual void start_flushing_scratch() noexcept = 0;
  // Makes the scratch file's content durable, and a backup's name too.
  [[nodiscard]] virtual bool flush_scratch() noexcept = 0;
  // Puts the temporary file in the file's place in one step that no writer can slip into. The
  // file read stays open, out of its place. only_in_place when the file turns out not to be
  // replaceable by a new one (opened elsewhere in a way that forbids it, writable but not
  // deletable, no such step on this system); the file is untouched then.
  [[nodiscard]] virtual Outcome commit_scratch() noexcept = 0;
  // After the commit: true when it put the temporary file in the file's place and took out the
  // file read with its size and modification time as read (the commit itself moves the change
  // time). True where the system does not show what a commit swapped.
  [[nodiscard]] virtual bool swapped_as_meant() noexcept = 0;
  // Puts what the commit took out back in the file's place, where the commit left it within
  // reach; true when the file read has its place again. Where it cannot, and the file read is
  // still on disk under another name, that name is recorded for the user.
  [[nodiscard]] virtual bool undo_commit() noexcept = 0;
  // Lets go of the file read, now out of its place, and makes the commit durable now or by the
  // end of the run; false when that could not be made so.
  [[nodiscard]] virtual bool settle_commit() noexcept = 0;
  // Removes the scratch file if it is still there and still ours.
  virtual void drop_scratch() noexcept = 0;
  // Leaves the backup on disk and records where, for the user.
  virtual void keep_scratch() noexcept = 0;

  // Writes content over the file from its start, until an error stops it.
  [[nodiscard]] virtual Written write_file(Content& content) noexcept = 0;
  // Ends the file after size bytes, puts back what a write takes from a file (set-ID bits,
  // capabilities, and its modification time when keep_time) and makes the content durable.
  [[nodiscard]] virtual bool finish_file(std::size_t size, bool keep_time) noexcept = 0;
  // Gives the file old_content back after a write that failed part-way, with its old times and
  // whatever the write took, and makes it durable.
  [[nodiscard]] virtual bool put_back(std::span<const unsigned char> old_content) noexcept = 0;

  // The system's error number of the step that has just failed (errno, or GetLastError on
  // Windows), asked before any other step runs; 0 where the step found something amiss rather
  // than met an error.
  [[nodiscard]] virtual int error() const noexcept = 0;

  // Holds back whatever would end the process from outside (signals, console control events)
  // until the matching release; nests.
  virtual void hold_interruptions() noexcept = 0;
  virtual void release_interruptions() noexcept = 0;
};

// Gives the file new content, where the old content is what was read from it. Normally a
// temporary file takes its place in one step, so that it holds its whole old or whole new content
// at every moment; where no new file may take its place it is overwritten in place, once a backup
// of its old content is on disk. Nothing is written when the file is no longer the one read or
// has changed since. When the file does not get the new content it holds its old content, or,
// after a failure that could not be undone, the backup does, and is kept.
//
// It runs in two halves: every step up to the flush of the temporary file, where the file may
// wait while other files' temporary files are written, so that their flushes overlap; then the
// flush, the last check and the commit. Meanwhile the file stays open and locked, and its
// temporary file cannot be reached by anyone. Where no new file may take the file's place, the
// first half does the whole rewrite in place.
class Replacement {
 public:
  // With keep_time the file keeps its modification time.
  Replacement(ReplacementSteps& file, OldContent& old_content, Content& new_content,
              bool keep_time = false) noexcept
      : file_(file), old_content_(old_content), new_content_(new_content), keep_time_(keep_time) {}
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  // A copy of the old content that had to be kept stays announced-before-interrupted: the hold on
  // interruptions taken for it lasts until the replacement goes, after its owner has reported it.
  ~Replacement() {
    file_.drop_scratch();
    if (kept_) {
      file_.release_interruptions();
    }
  }

  // The first steps, which only read: whether what the file has can be read and the process may
  // write the file itself. failure() says which failed otherwise. prepare() takes them first; a
  // check that changes nothing takes them alone.
  [[nodiscard]] bool may_begin() noexcept;

  enum class Prepared { waiting, over, no_space, alone };
  // The first half: waiting when the replacement waits at the flush; over when it is over
  // (succeeded() then says how it ended); no_space when a scratch file found no room and nothing
  // was written, so that it may be tried again once the files that wait have freed some. With
  // others_wait (other files wait at their flush), alone when the file is to be rewritten in
  // place, which takes flushes of its own that they would wait through: nothing was written, and
  // it is to be tried again once they are done.
  [[nodiscard]] Prepared prepare(bool others_wait = false) noexcept;
  // While it waits: starts the flush without waiting for it.
  void start_flush() noexcept { file_.start_flushing_scratch(); }
  // The second half, for a replacement that waits; yields succeeded().
  [[nodiscard]] bool finish() noexcept;
  // Whether the file got the new content.
  [[nodiscard]] bool succeeded() const noexcept { return succeeded_; }
  // Where it did not, the first step that failed; no step where none did (the file holds what
  // another program made of it, or the check refused the content).
  [[nodiscard]] const StepFailure& failure() const noexcept { return failure_; }

 private:
  ReplacementSteps& file_;
  OldContent& old_content_;
  Content& new_content_;
  bool keep_time_;
  bool succeeded_ = false;
  StepFailure failure_;
  // Whether a backup was kept, with interruptions held until it has been reported.
  bool kept_ = false;
};
