#include "file_job.hpp"

#include <algorithm>
#include <cstdio>
#include <span>

#include "console.hpp"
#include "file_content.hpp"
#include "source_file.hpp"

namespace {

constexpr const char* NO_MEMORY = "no memory for the file's content and its conversion";

}  // namespace

// What the job held goes as soon as it is over; its message waits for its turn. A replacement
// that kept a copy of the old content stays until that is reported: it holds off interruptions.
FileJob::Started FileJob::end(const char* format, long long number) noexcept {
  message_ = format;
  number_ = number;
  if (!input_.kept_copy().empty()) {
    return Started::over;
  }
  replacement_.reset();
  steps_.reset();
  converted_.reset();
  content_.reset();
  input_.close();
  return Started::over;
}

FileJob::Started FileJob::start(bool wait,
                                std::span<const std::unique_ptr<FileJob>> waiting) noexcept {
  // The file stays open, and locked against other conversions, until it has been replaced.
  if (!input_.open(path_, wait)) {
    if (input_.held_elsewhere() && !wait) {
      return Started::busy;
    }
    explain(input_.open_failure().what, input_.open_failure().error);
    return end("Failed to open file: %s\n");
  }
  // Where locks are refused the lock cannot tell that the file waits already.
  for (const std::unique_ptr<FileJob>& other : waiting) {
    if (other->waiting_ && same_file_as(*other)) {
      input_.close();
      return Started::busy;
    }
  }

  const std::int64_t measured = input_.measure();
  if (measured == 0) {
    result_ = 1;
    return end(nullptr);
  }
  if (measured < 0) {
    explain("the system gave no size for the file");
    return end("Failed to get file size: %s\n");
  }
  if (measured >= MAX_FILE_SIZE) {
    explain("files of 1,048,576 bytes or more are not converted");
    return end("File size is too large: %s (%lld KB)\n", measured / 1024);
  }

  // Read a piece at a time where nobody else can write the file meanwhile; otherwise whole, once,
  // so that what is checked, converted and compared before the replacement is one content. The
  // check runs as the content is converted (file_content.hpp): a file it refuses keeps its bytes
  // and its date, whichever way it was to be replaced.
  FileContent& content = content_.emplace(input_, static_cast<std::size_t>(measured));
  Loaded loaded = input_.writers_kept_out() ? Loaded::done : content.load();
  if (loaded == Loaded::unreadable) {
    explain("reading the file", last_system_error());
  }
  ConvertedContent& converted = converted_.emplace(content, rules_, check_, explain_);
  if (loaded == Loaded::done) {
    steps_ = input_.replacement_steps();
    loaded = steps_ != nullptr ? Loaded::done : Loaded::no_memory;
  }
  if (loaded == Loaded::done && mode_ != Mode::convert) {
    return check();
  }
  if (loaded == Loaded::no_memory) {
    explain(NO_MEMORY);
  }
  if (loaded != Loaded::done) {
    return end(loaded == Loaded::no_memory ? "Failed to alloc memory\n"
               : loaded == Loaded::stopped ? rules_.rejection_message
                                           : "Failed to read file: %s\n");
  }

  Replacement& replacement = replacement_.emplace(*steps_, content, converted, keep_time_);
  const bool others_wait =
      std::any_of(waiting.begin(), waiting.end(),
                  [](const std::unique_ptr<FileJob>& other) { return other->waiting_; });
  const Replacement::Prepared prepared = replacement.prepare(others_wait);
  if (prepared == Replacement::Prepared::no_space && !waiting.empty()) {
    end(nullptr);
    return Started::no_space;
  }
  if (prepared == Replacement::Prepared::alone) {
    end(nullptr);
    return Started::alone;
  }
  if (prepared == Replacement::Prepared::waiting) {
    // Nothing is converted again unless the rewrite in place needs it: the memory goes back
    // while the file waits.
    content.release_buffer();
    converted.release_room();
    waiting_ = true;
    return Started::waiting;
  }
  result_ = replacement.succeeded() ? 1 : 0;
  if (result_ != 0) {
    return end(nullptr);
  }
  const char* const message = failure_message();
  explain_failure();
  return end(message);
}

FileJob::Started FileJob::check() noexcept {
  // The same pass over the content as the conversion's, and the same first steps, which only
  // read: whether the file may be written.
  if (!converted_->acceptable()) {
    const char* const message = failure_message();
    explain_failure();
    return end(message);
  }
  if (!replacement_.emplace(*steps_, *content_, *converted_, keep_time_).may_begin()) {
    explain_failure();
    return end("Failed to write file: %s\n");
  }
  result_ = 1;
  return end(nullptr);
}

const char* FileJob::failure_message() noexcept {
  ConvertedContent& converted = *converted_;
  if (converted.ended() == ConvertedContent::Ended::not_made ||
      converted.ended() == ConvertedContent::Ended::stopped) {
    static_cast<void>(converted.acceptable());
  }
  switch (converted.ended()) {
    case ConvertedContent::Ended::refused:
      return converted.rejection_message();
    case ConvertedContent::Ended::no_memory:
      return "Failed to alloc memory\n";
    case ConvertedContent::Ended::unreadable:
      return "Failed to read file: %s\n";
    case ConvertedContent::Ended::not_made:
    case ConvertedContent::Ended::done:
    case ConvertedContent::Ended::stopped:
      break;
  }
  return "Failed to write file: %s\n";
}

void FileJob::explain(const char* what, int error) noexcept {
  if (!explain_ || what == nullptr) {
    return;
  }
  std::array<char, 120> words{};
  if (error != 0) {
    std::snprintf(reason_.data(), reason_.size(), "%s: %s", what, system_error_text(error, words));
  } else {
    std::snprintf(reason_.data(), reason_.size(), "%s", what);
  }
}

void FileJob::explain_failure() noexcept {
  if (!explain_) {
    return;
  }
  // What became of the content comes first: a step that failed for want of it is no reason.
  switch (converted_ ? converted_->ended() : ConvertedContent::Ended::not_made) {
    case ConvertedContent::Ended::refused:
      std::snprintf(reason_.data(), reason_.size(), "%s", converted_->refusal_reason());
      return;
    case ConvertedContent::Ended::no_memory:
      explain(NO_MEMORY);
      return;
    case ConvertedContent::Ended::unreadable:
      explain("reading the file");
      return;
    case ConvertedContent::Ended::not_made:
    case ConvertedContent::Ended::done:
    case ConvertedContent::Ended::stopped:
      break;
  }
  if (replacement_) {
    explain(replacement_->failure().step, replacement_->failure().error);
  }
}

void FileJob::start_flush() noexcept {
  if (waiting_) {
    replacement_->start_flush();
  }
}

int FileJob::finish() noexcept {
  if (waiting_) {
    waiting_ = false;
    result_ = replacement_->finish() ? 1 : 0;
    if (result_ == 0) {
      explain_failure();
    }
    end(result_ != 0 ? nullptr : "Failed to write file: %s\n");
  }
  // A list for another program holds names only.
  if (mode_ == Mode::check_and_list) {
    if (result_ != 0) {
      print_name_ended_by_nul(path_);
    }
  } else if (message_ != nullptr) {
    print_message(message_, path_, number_);
    if (reason_[0] != '\0') {
      print_message("  %s\n", reason_.data());
    }
  }
  // The one thing the user must act on after a failure that could not be undone.
  if (!input_.kept_copy().empty()) {
    print_message("Old content kept in: %s\n", input_.kept_copy().c_str());
    replacement_.reset();
  }
  return result_;
}

int convert_file(const char* path, int check_encoding, const DirectionRules& rules, bool keep_time,
                 FileJob::Mode mode, bool explain) {
  FileJob job(path, check_encoding, rules, keep_time, mode, explain);
  if (job.start(true) == FileJob::Started::waiting) {
    job.start_flush();
  }
  return job.finish();
}
