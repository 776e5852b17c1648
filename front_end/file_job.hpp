#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "direction_rules.hpp"
#include "file_content.hpp"
#include "replacement.hpp"
#include "source_file.hpp"

// Files of this size or larger are refused.
inline constexpr std::int64_t MAX_FILE_SIZE = 0x100000;

// The conversion of the file at path in place with the direction's rules, first checking that it
// is in the source encoding when check_encoding is non-zero. It runs in two halves, so that a run
// can let several files wait at the flush of their temporary files and flush them together
// (replacement.hpp). Any failure is reported as one line on standard output naming the path as
// typed, when the job ends, so that a group's messages come in the order its files were named.
// After a failure the file is as it was.
class FileJob {
 public:
  // What the job does with the file: convert it, or only find out whether it would convert,
  // reading and deciding it as a conversion would and changing nothing (and, listing, print its
  // name ended by a NUL byte when it would, and no message).
  enum class Mode { convert, check, check_and_list };

  // With keep_time the file keeps its modification time; with explain each message is followed
  // by a line that says why (the step that failed and the system's words, or where the check
  // found the bytes wrong).
  FileJob(const char* path, int check_encoding, const DirectionRules& rules, bool keep_time = false,
          Mode mode = Mode::convert, bool explain = false) noexcept
      : path_(path),
        check_(check_encoding != 0),
        keep_time_(keep_time),
        explain_(explain),
        mode_(mode),
        rules_(rules) {}
  FileJob(const FileJob&) = delete;
  FileJob& operator=(const FileJob&) = delete;

  enum class Started { waiting, over, busy, no_space, alone };
  // Runs the job up to the flush, beside the jobs of the run that wait there: waiting when its
  // file waits there too, over when the job is over. busy, having done nothing, when its file is
  // one of theirs by whatever name, or when, with wait false, another holder of the file's lock or
  // a writer has it (which may be one of theirs). no_space, having done nothing, when the file
  // system had no room for its temporary file while others wait, whose commits free the space of
  // their old files; with none waiting that is a failure. alone, having done nothing, when its
  // file is to be rewritten in place while others wait, which would keep them waiting through
  // its flushes.
  [[nodiscard]] Started start(bool wait,
                              std::span<const std::unique_ptr<FileJob>> waiting = {}) noexcept;
  // While it waits: starts the flush without waiting for it.
  void start_flush() noexcept;
  [[nodiscard]] bool waiting() const noexcept { return waiting_; }
  // Whether the file of this job is open and is the file of other's.
  [[nodiscard]] bool same_file_as(const FileJob& other) const noexcept {
    return input_.same_file_as(other.input_);
  }
  // Memory the job holds while it waits: its file's whole content, where that was loaded.
  [[nodiscard]] std::size_t bytes_held() const noexcept {
    return waiting_ && content_->loaded() ? static_cast<std::size_t>(input_.measure()) : 0;
  }
  // Finishes a job that waits, then reports; yields 1 when the file was converted or is empty
  // (or, checking, would be), 0 otherwise.
  int finish() noexcept;

 private:
  Started end(const char* format, long long number = 0) noexcept;
  // Whether a conversion would replace the file, found without creating or writing anything.
  Started check() noexcept;
  // The message of a replacement that did not happen. A file the check refuses says so before
  // any other failure: where the replacement stopped before the pass over the content ended (the
  // file may not be written, the disk is full), the content is checked now.
  [[nodiscard]] const char* failure_message() noexcept;
  // Sets the reason: what, with the system's words for error where it is not 0.
  void explain(const char* what, int error = 0) noexcept;
  // The reason of a failure_message(): the refusal's, or the replacement's first failed step.
  void explain_failure() noexcept;

  const char* path_;
  bool check_;
  bool keep_time_;
  bool explain_;
  Mode mode_;
  const DirectionRules& rules_;
  // Declared in the order each needs the one before it.
  SourceFile input_;
  std::optional<FileContent> content_;
  std::optional<ConvertedContent> converted_;
  std::unique_ptr<ReplacementSteps> steps_;
  std::optional<Replacement> replacement_;
  bool waiting_ = false;
  int result_ = 0;
  const char* message_ = nullptr;
  long long number_ = 0;
  std::array<char, 200> reason_{};
};

// Converts one file at once, as FileJob describes (or checks it, as mode says).
[[nodiscard]] int convert_file(const char* path, int check_encoding, const DirectionRules& rules,
                               bool keep_time = false, FileJob::Mode mode = FileJob::Mode::convert,
                               bool explain = false);
