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
// writer may change the file right after any named step, in a way its times show or (where no
// writer is kept out) in a way only its content does.
struct FakeFile final : ReplacementSteps {
  // Set up by a test.
  std::vector<std::string> fail_at;
  std::string change_after;
  bool change_shows_in_times = true;
  bool kept_out = true;
  bool new_file_allowed = true;
  Outcome commit_outcome = Outcome::done;
  std::size_t bytes_before_failure = 0;

  // What happened.
  Bytes content = OLD;
  bool changed_by_another = false;
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
    if (name == change_after && !changed_by_another) {
      changed_by_another = true;
      content = THEIRS;
    }
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

  bool open_for_writing() noexcept override {
    return done("open_for_writing", step("open_for_writing"));
  }
  bool read_metadata() noexcept override { return done("read_metadata", step("read_metadata")); }
  bool still_the_file_read() noexcept override {
    return done("still_the_file_read",
                step("still_the_file_read") && !(changed_by_another && change_shows_in_times));
  }
  bool writers_kept_out() noexcept override { return kept_out; }
  bool holds(std::span<const unsigned char> expected) noexcept override {
    return done("holds", step("holds") && std::equal(content.begin(), content.end(),
                                                     expected.begin(), expected.end()));
  }
  bool may_take_new_file() noexcept override { return new_file_allowed; }
  Outcome make_scratch(Scratch kind) noexcept override {
    const bool made = step(kind == Scratch::temporary ? "make_temporary" : "make_backup");
    scratch = made;
    backup = made && kind == Scratch::backup;
    return done(kind == Scratch::temporary ? "make_temporary" : "make_backup",
                made ? Outcome::done : Outcome::failed);
  }
  bool write_scratch(Content& bytes) noexcept override {
    scratch_content = whole(bytes);
    return done("write_scratch", step("write_scratch"));
  }
  Outcome carry_metadata() noexcept override {
    return done("carry_metadata", step("carry_metadata") ? Outcome::done : Outcome::only_in_place);
  }
  void start_flushing_scratch() noexcept override {}
  bool flush_scratch() noexcept override { return done("flush_scratch", step("flush_scratch")); }
  Outcome commit_scratch() noexcept override {
    must_be_held("commit_scratch");
    if (!step("commit_scratch")) {
      return done("commit_scratch", Outcome::failed);
    }
    if (commit_outcome == Outcome::done) {
      content = scratch_content;
      scratch = false;
    }
    return done("commit_scratch", commit_outcome);
  }
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
  bool finish_file(std::size_t size) noexcept override {
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

  bool run() {
    struct Read final : OldContent {
      std::span<const unsigned char> whole() noexcept override { return OLD; }
    } read;
    HeldContent converted(NEW);
    Replacement replacement(*this, read, converted);
    if (!replacement.prepare()) {
      return replacement.succeeded();
    }
    replacement.start_flush();
    return replacement.finish();
  }
};

// The steps each way takes when nothing goes wrong.
std::vector<std::string> steps_of(bool new_file_allowed) {
  FakeFile file;
  file.new_file_allowed = new_file_allowed;
  EXPECT_TRUE(file.run());
  EXPECT_EQ(file.content, NEW);
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
    EXPECT_EQ(file.content, NEW);
    EXPECT_FALSE(file.scratch);
    return;
  }
  if (file.kept) {
    EXPECT_TRUE(file.backup);
    EXPECT_EQ(file.scratch_content, OLD);
    return;
  }
  EXPECT_FALSE(file.scratch);
  EXPECT_EQ(file.content, file.changed_by_another ? THEIRS : OLD);
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
        expect_sound(file, replaced);
        // Only a failure of the metadata falls back to the rewrite in place, which succeeds.
        EXPECT_EQ(replaced, failing == "carry_metadata");
      }
    }
  }
}

TEST(ReplacementPolicy, AWriterAtAnyStepBeforeTheCommitKeepsItsWrite) {
  for (const bool new_file_allowed : {true, false}) {
    const std::vector<std::string> steps = steps_of(new_file_allowed);
    const char* const point_of_no_return = new_file_allowed ? "commit_scratch" : "write_file";
    for (auto step = steps.begin(); *step != point_of_no_return; ++step) {
      for (const bool shows_in_times : {true, false}) {
        SCOPED_TRACE(*step + (new_file_allowed ? " replacing" : " in place") +
                     (shows_in_times ? ", times changed" : ", times unchanged"));
        FakeFile file;
        file.new_file_allowed = new_file_allowed;
        file.change_after = *step;
        file.change_shows_in_times = shows_in_times;
        // A change the times hide can only come from a writer the platform did not keep out.
        file.kept_out = shows_in_times;
        EXPECT_FALSE(file.run());
        EXPECT_TRUE(file.changed_by_another);
        expect_sound(file, false);
      }
    }
  }
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
