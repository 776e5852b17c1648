#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "replacement.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes OLD = {'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};
const Bytes NEW = {'n', 'e', 'w', '!'};
const Bytes THEIRS = {'t', 'h', 'e', 'i', 'r', 's', ' ', 'w', 'r', 'i', 't', 'e'};

// A file and the platform under it, as a model: steps succeed unless told to fail, and another
// writer may open the file right after any named step. Where a lease keeps writers out, that
// open breaks it and the writer waits to write; where none does (none was had, or the process's
// own writer ended it), the writer changes the file at once, in a way its times show or in a way
// only its content does. What was read is in memory from the start where no lease was had, as
// the job reads it; loading it later reads the file as it is then.
struct FakeFile final : ReplacementSteps {
  // Set up by a test.
  StepFailure failure;
  std::vector<std::string> fail_at;
  std::string change_after;
  // Another program changes who may do what with the file after this step.
  std::string chmod_after;
  bool change_shows_in_times = true;
  bool leased = true;
  bool new_file_allowed = true;
  Outcome commit_outcome = Outcome::done;
  Outcome scratch_write_outcome = Outcome::done;
  std::size_t bytes_before_failure = 0;

  // What happened. content is the file read, which the process holds open; the commit puts the
  // temporary file in its place under its name.
  Bytes content = OLD;
  bool committed = false;
  bool changed_by_another = false;
  bool chmod_by_another = false;
  bool lease_given_up = false;
  bool lease_broken = false;
  bool scratch = false;
  bool backup = false;
  Bytes scratch_content;
  bool kept = false;
  int held = 0;
  std::vector<std::string> steps;
  std::vector<std::string> unheld_writes;

  bool step(const char* name) {
    steps.emplace_back(name);
    return std::find(fail_at.begin(), fail_at.end(), name) == fail_at.end();
  }
  // Called after each step: the other writer strikes now.
  void after(const char* name) {
    // After the commit the name leads to the new file, which a change by name reaches instead.
    chmod_by_another = chmod_by_another || (name == chmod_after && !committed);
    if (name != change_after || changed_by_another || lease_broken) {
      return;
    }
    if (leased && !lease_given_up) {
      lease_broken = true;
      return;
    }
    changed_by_another = true;
    content = THEIRS;
  }
  template <typename Result>
  Result done(const char* name, Result result) {
    after(name);
    return result;
  }
  void must_be_held(const char* name) {
    if (held == 0) {
      unheld_writes.emplace_back(name);
    }
  }

  bool read_metadata() noexcept override { return done("read_metadata", step("read_metadata")); }
  bool may_write() noexcept override { return done("may_write", step("may_write")); }
  bool open_for_writing() noexcept override {
    lease_given_up = true;
    return done("open_for_writing", step("open_for_writing"));
  }
  bool still_the_file_read() noexcept override {
    return done("still_the_file_read",
                step("still_the_file_read") && !(changed_by_another && change_shows_in_times));
  }
  bool metadata_unchanged() noexcept override {
    return done("metadata_unchanged", step("metadata_unchanged") && !chmod_by_another);
  }
  Exclusion exclusion() noexcept override {
    return !leased || lease_given_up ? Exclusion::lapsed
           : lease_broken            ? Exclusion::broken
                                     : Exclusion::held;
  }
  bool holds(std::span<const unsigned char> expected) noexcept override {
    return done("holds", step("holds") && std::equal(content.begin(), content.end(),
                                                     expected.begin(), expected.end()));
  }
  bool may_take_new_file() noexcept override { return new_file_allowed; }
  Outcome make_scratch(Scratch kind) noexcept override {
    const bool made = step(kind == Scratch::temporary ? "make_temporary" : "make_backup");
    scratch = made;
    backup = made && kind != Scratch::temporary;
    return done(kind == Scratch::temporary ? "make_temporary" : "make_backup",
                made ? Outcome::done : Outcome::failed);
  }
  Outcome write_scratch(Content& bytes) noexcept override {
    scratch_content = whole(bytes);
    const bool written = step("write_scratch");
    return done("write_scratch", !written                 ? Outcome::failed
                                 : scratch_content == OLD ? Outcome::done
                                                          : scratch_write_outcome);
  }
  Outcome carry_metadata(bool) noexcept override {
    return done("carry_metadata", step("carry_metadata") ? Outcome::done : Outcome::only_in_place);
  }
  void start_flushing_scratch() noexcept override {}
  bool flush_scratch() noexcept override { return done("flush_scratch", step("flush_scratch")); }
  Outcome commit_scratch() noexcept override {
    must_be_held("commit_scratch");
    if (!step("commit_scratch")) {
      return done("commit_scratch", Outcome::failed);
    }
    committed = commit_outcome == Outcome::done;
    return done("commit_scratch", commit_outcome);
  }
  bool swapped_as_meant() noexcept override { return true; }
  bool undo_commit() noexcept override {
    committed = !step("undo_commit");
    return done("undo_commit", !committed);
  }
  bool settle_commit() noexcept override {
    scratch = false;
    return done("settle_commit", step("settle_commit"));
  }
  // What the file's name holds.
  [[nodiscard]] const Bytes& named() const { return committed ? scratch_content : content; }
  void drop_scratch() noexcept override {
    if (!kept) {
      scratch = false;
    }
  }
  void keep_scratch() noexcept override { kept = true; }
  Written write_file(Content& new_content) noexcept override {
    must_be_held("write_file");
    const Bytes bytes = whole(new_content);
    const bool all = step("write_file");
    const std::size_t written = all ? bytes.size() : std::min(bytes_before_failure, bytes.size());
    content.resize(std::max(content.size(), written));
    std::copy_n(bytes.begin(), written, content.begin());
    return done("write_file", Written{written, all});
  }
  bool finish_file(std::size_t size, bool) noexcept override {
    must_be_held("finish_file");
    content.resize(size);
    return done("finish_file", step("finish_file"));
  }
  bool put_back(std::span<const unsigned char> old_content) noexcept override {
    must_be_held("put_back");
    if (!step("put_back")) {
      return done("put_back", false);
    }
    content.assign(old_content.begin(), old_content.end());
    return done("put_back", true);
  }
  int error() const noexcept override { return 0; }
  void hold_interruptions() noexcept override { ++held; }
  void release_interruptions() noexcept override { --held; }

  static Bytes whole(Content& content) {
    struct Collected final : PieceSink {
      Bytes bytes;
      bool take(std::span<const unsigned char> piece) noexcept override {
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        return true;
      }
    } collected;
    EXPECT_TRUE(content.pieces(collected));
    return collected.bytes;
  }

  struct Read final : OldContent {
    explicit Read(FakeFile& read_from) : file(read_from) {
      if (!file.leased) {
        loaded = file.content;
      }
    }
    std::span<const unsigned char> whole() noexcept override {
      if (loaded.empty()) {
        loaded = file.content;
      }
      return loaded;
    }
    std::span<const unsigned char> in_memory() noexcept override { return loaded; }
    FakeFile& file;
    Bytes loaded;
  };

  Replacement::Prepared prepared = Replacement::Prepared::over;

  bool run() {
    Read read(*this);
    HeldContent converted(NEW);
    Replacement replacement(*this, read, converted);
    prepared = replacement.prepare();
    if (prepared != Replacement::Prepared::waiting) {
      failure = replacement.failure();
      return replacement.succeeded();
    }
    replacement.start_flush();
    const bool finished = replacement.finish();
    failure = replacement.failure();
    return finished;
  }
};

// The steps each way takes when nothing goes wrong.
std::vector<std::string> steps_of(bool new_file_allowed) {
  FakeFile file;
  file.new_file_allowed = new_file_allowed;
  EXPECT_TRUE(file.run());
  EXPECT_EQ(file.named(), NEW);
  return file.steps;
}

// What must hold after any run: the file holds a whole content, the new one exactly when the
// run says so; no scratch file is left but a backup that holds every old byte of a file that
// could not be put right; nothing is written or committed with interruptions free to end the
// process.
void expect_sound(const FakeFile& file, bool replaced) {
  EXPECT_EQ(file.held, 0);
  EXPECT_TRUE(file.unheld_writes.empty()) << file.unheld_writes.front();
  if (replaced) {
    EXPECT_EQ(file.named(), NEW);
    EXPECT_FALSE(file.scratch);
    return;
  }
  if (file.kept) {
    EXPECT_TRUE(file.backup);
    EXPECT_EQ(file.scratch_content, OLD);
    return;
  }
  EXPECT_FALSE(file.scratch);
  // A writer that broke the lease writes the file once this run lets it go.
  EXPECT_EQ(file.named(), file.changed_by_another ? THEIRS : OLD);
}

TEST(ReplacementPolicy, AFailureAtAnyStepLeavesAWholeFileAndNoScratchFile) {
  for (const bool new_file_allowed : {true, false}) {
    for (const std::string& failing : steps_of(new_file_allowed)) {
      for (const std::size_t written : {std::size_t{0}, std::size_t{2}}) {
        SCOPED_TRACE(failing + (new_file_allowed ? " replacing" : " in place") +
                     ", bytes written before the failure: " + std::to_string(written));
        FakeFile file;
        file.new_file_allowed = new_file_allowed;
        file.fail_at = {failing};
        file.bytes_before_failure = written;
        const bool replaced = file.run();
        if (failing == "settle_commit") {
          // The new content is in place, but may not survive a crash: said so, not undone.
          EXPECT_FALSE(replaced);
          EXPECT_EQ(file.named(), NEW);
          EXPECT_STREQ(file.failure.step, "flushing the folder to disk");
          continue;
        }
        expect_sound(file, replaced);
        // Only a failure of the metadata falls back to the rewrite in place, which succeeds.
        EXPECT_EQ(replaced, failing == "carry_metadata");
        // Any other failure is told by the step it stopped at.
        EXPECT_TRUE(replaced || file.failure.step != nullptr);
      }
    }
  }
}

// Whether a lease kept writers out or not, and whether or not the times show a change: a writer
// that opens the file at any step up to the commit keeps the file, and its write; a commit it
// followed is undone. Only the moment between the last comparison and the write in place is
// beyond reach: nothing keeps writers out there.
TEST(ReplacementPolicy, AWriterAtAnyStepBeforeTheCommitKeepsItsWrite) {
  for (const bool new_file_allowed : {true, false}) {
    for (const bool leased : {true, false}) {
      FakeFile plain;
      plain.new_file_allowed = new_file_allowed;
      plain.leased = leased;
      EXPECT_TRUE(plain.run());
      const std::vector<std::string>& steps = plain.steps;
      const char* const point_of_no_return = new_file_allowed ? "settle_commit" : "write_file";
      for (auto step = steps.begin(); *step != point_of_no_return; ++step) {
        if (*step == "holds" && *(step + 1) == point_of_no_return) {
          continue;
        }
        for (const bool shows_in_times : {true, false}) {
          SCOPED_TRACE(*step + (new_file_allowed ? " replacing" : " in place") +
                       (leased ? ", leased" : ", no lease") +
                       (shows_in_times ? ", times changed" : ", times unchanged"));
          FakeFile file;
          file.new_file_allowed = new_file_allowed;
          file.leased = leased;
          file.change_after = *step;
          file.change_shows_in_times = shows_in_times;
          EXPECT_FALSE(file.run());
          EXPECT_TRUE(file.changed_by_another || file.lease_broken);
          expect_sound(file, false);
        }
      }
    }
  }
}

// A change of who may do what with the file, made at any step before the commit, stays: the file
// keeps it and its content. Neither a lease nor the file's times keep it out or show it. (Made
// after the commit, it reaches the new file, which keeps it.)
TEST(ReplacementPolicy, APermissionChangeAtAnyStepBeforeTheCommitStays) {
  for (const bool leased : {true, false}) {
    FakeFile plain;
    plain.leased = leased;
    EXPECT_TRUE(plain.run());
    for (auto step = plain.steps.begin(); *step != "commit_scratch"; ++step) {
      SCOPED_TRACE(*step + (leased ? ", leased" : ", no lease"));
      FakeFile file;
      file.leased = leased;
      file.chmod_after = *step;
      EXPECT_FALSE(file.run());
      EXPECT_FALSE(file.committed);
      expect_sound(file, false);
    }
  }
}

// Held until the commit, the lease makes a comparison needless; ended by the process's own
// writer, the content is compared with what was read before that, never with itself.
TEST(ReplacementPolicy, ContentIsComparedExactlyWhereTheLeaseDidNotHoldSinceTheRead) {
  for (const bool new_file_allowed : {true, false}) {
    for (const bool leased : {true, false}) {
      FakeFile file;
      file.new_file_allowed = new_file_allowed;
      file.leased = leased;
      EXPECT_TRUE(file.run());
      const bool compared = std::count(file.steps.begin(), file.steps.end(), "holds") > 0;
      EXPECT_EQ(compared, !leased || !new_file_allowed) << new_file_allowed << leased;
    }
  }
}

// Short of space while other files wait, the temporary file goes and nothing else happens, so
// that the job can be tried again once theirs have freed some.
TEST(ReplacementPolicy, NoSpaceForTheTemporaryFileLeavesAllAsItWas) {
  FakeFile file;
  file.scratch_write_outcome = Outcome::no_space;
  EXPECT_FALSE(file.run());
  EXPECT_EQ(file.prepared, Replacement::Prepared::no_space);
  EXPECT_EQ(std::count(file.steps.begin(), file.steps.end(), "make_backup"), 0);
  expect_sound(file, false);
}

// A file to be rewritten in place while other files wait at their flush is left for later, with
// nothing written: its own flushes would keep them, and their locks, waiting.
TEST(ReplacementPolicy, ARewriteInPlaceWaitsUntilNoOtherFileWaits) {
  FakeFile file;
  file.new_file_allowed = false;
  FakeFile::Read read(file);
  HeldContent converted(NEW);
  Replacement replacement(file, read, converted);
  EXPECT_EQ(replacement.prepare(true), Replacement::Prepared::alone);
  EXPECT_EQ(std::count(file.steps.begin(), file.steps.end(), "make_backup"), 0);
  expect_sound(file, false);
}

TEST(ReplacementPolicy, ACommitTheSystemRefusesRewritesInPlaceAfterTheBackup) {
  FakeFile file;
  file.commit_outcome = Outcome::only_in_place;
  EXPECT_TRUE(file.run());
  expect_sound(file, true);
  const auto backup_made = std::find(file.steps.begin(), file.steps.end(), "make_backup");
  ASSERT_NE(backup_made, file.steps.end());
  EXPECT_NE(std::find(backup_made, file.steps.end(), "write_file"), file.steps.end());
}

// A write that fails before its first byte changed nothing: its backup goes, even where putting
// the old content back would fail too (another program holds a lock on the content).
TEST(ReplacementPolicy, OnlyAPartWrittenFileThatCannotBePutBackKeepsItsBackup) {
  for (const std::size_t written : {std::size_t{0}, std::size_t{2}}) {
    SCOPED_TRACE("bytes written before the failure: " + std::to_string(written));
    FakeFile file;
    file.new_file_allowed = false;
    file.fail_at = {"write_file", "put_back"};
    file.bytes_before_failure = written;
    EXPECT_FALSE(file.run());
    EXPECT_EQ(file.kept, written != 0);
    expect_sound(file, false);
  }
}

}  // namespace
