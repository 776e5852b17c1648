#include "command_line.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "console.hpp"
#include "file_job.hpp"
#include "source_file.hpp"
#include "utf16.hpp"

namespace {

// Whether a file of the run was reported as not converted (or, checking, as one that would not
// be), for the exit status.
bool g_any_not_converted = false;

// Whether -v was given: the files whose directories are flushed when the run ends are reported
// then with their reasons.
bool g_explaining = false;

// A file whose replacement could not be made durable has not safely been written.
void report_not_on_disk(const char* path, int error) {
  g_any_not_converted = true;
  print_message("Failed to write file: %s\n", path);
  if (g_explaining) {
    std::array<char, 120> words{};
    print_message("  flushing the folder to disk: %s\n", system_error_text(error, words));
  }
}

// Finishes a job and notes how it ended.
void finish_job(FileJob& job) {
  g_any_not_converted = job.finish() == 0 || g_any_not_converted;
}

// The files of a run that wait at the flush of their temporary files, with those that ended
// before them, so that messages come in the order the files were named. Their flushes overlap
// when the group is finished, before each takes its file's place in turn. A file of the group is
// locked, and keeps other runs waiting for it, until its commit: so no file waits longer than
// about MOST_WAIT, well within the time another run waits for a lock, however slow the disk. The
// first group is one file, since nothing is known of the disk before a flush; then a group holds
// as many files as the last one could flush in half that time.
class Group {
 public:
  // Starts the file's job, waiting for another holder only when no file of this run waits.
  void start(const char* path, int check_encoding, bool keep_time, FileJob::Mode mode, bool explain,
             const DirectionRules& rules) {
    std::unique_ptr<FileJob> job;
    try {
      job = std::make_unique<FileJob>(path, check_encoding, rules, keep_time, mode, explain);
      jobs_.reserve(jobs_.size() + 1);
    } catch (const std::bad_alloc&) {
      // No memory to let the file wait: it goes alone, after those that wait.
      finish();
      g_any_not_converted =
          convert_file(path, check_encoding, rules, keep_time, mode, explain) == 0 ||
          g_any_not_converted;
      return;
    }
    const FileJob::Started started = job->start(jobs_.empty(), jobs_);
    if (started == FileJob::Started::busy || started == FileJob::Started::no_space ||
        started == FileJob::Started::alone) {
      // Held by a file of this group (the same file by another name, or named twice), short of
      // the space that the group's commits free, or to be rewritten in place, which the group
      // would wait through.
      finish();
      (void)job->start(true);
    }
    const std::size_t held = job->bytes_held();
    // Memory held by the files that wait stays within its bound: they go first.
    if (held_ + held > MOST_BYTES_HELD) {
      finish();
    }
    if (job->waiting() && !has_waiting()) {
      first_waits_ = Clock::now();
    }
    jobs_.push_back(std::move(job));
    // What no waiting file stands before is reported at once, so that a log of a run that is
    // killed keeps it.
    while (!jobs_.empty() && !jobs_.front()->waiting()) {
      finish_job(*jobs_.front());
      jobs_.erase(jobs_.begin());
    }
    held_ += held;
    if (jobs_.size() >= most_files_ ||
        (has_waiting() && Clock::now() - first_waits_ >= MOST_WAIT / 2)) {
      finish();
    }
  }

  void finish() {
    std::size_t waiting = 0;
    for (const std::unique_ptr<FileJob>& job : jobs_) {
      waiting += job->waiting() ? 1U : 0U;
      job->start_flush();
    }
    const Clock::time_point started = Clock::now();
    for (const std::unique_ptr<FileJob>& job : jobs_) {
      // Each file stands alone: its outcome has been reported and does not stop the run.
      finish_job(*job);
    }
    if (waiting > 0) {
      const Clock::duration each = (Clock::now() - started) / static_cast<long long>(waiting);
      const long long fits = each.count() > 0 ? (MOST_WAIT / 2) / each : 1LL << 16;
      most_files_ = std::clamp<std::size_t>(static_cast<std::size_t>(fits), 1, files_at_once());
    }
    jobs_.clear();
    held_ = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds MOST_WAIT{1000};
  // Files whose content had to be loaded whole hold it while they wait; this much at most.
  static constexpr std::size_t MOST_BYTES_HELD = 16 << 20;

  [[nodiscard]] bool has_waiting() const noexcept {
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [](const std::unique_ptr<FileJob>& job) { return job->waiting(); });
  }

  std::vector<std::unique_ptr<FileJob>> jobs_;
  std::size_t held_ = 0;
  std::size_t most_files_ = 1;
  Clock::time_point first_waits_;
};

}  // namespace

int print_usage(const DirectionRules& rules) {
  std::puts(rules.usage_text);
  return 0;
}

namespace {

// The long switches: the GNU ones every peer answers, and --check. Any other argument that
// starts with "--" before a lone "--" is a mistake the user should hear of before any file is
// touched.
bool is_known_long_switch(const char* argument) {
  return std::strcmp(argument, "--") == 0 || std::strcmp(argument, "--help") == 0 ||
         std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "--check") == 0;
}

bool has_unknown_long_switch(int argc, const char* const* argv) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0 && !is_known_long_switch(argv[i])) {
      return true;
    }
  }
  return false;
}

// Ends the run after the files named so far, printing text.
int stop_with(Group& group, const char* text) {
  group.finish();
  finish_replacements(report_not_on_disk);
  std::puts(text);
  return 0;
}

}  // namespace

int run_command_line(int argc, const char* const* argv, const DirectionRules& rules) {
  if (argc < 2 || has_unknown_long_switch(argc, argv)) {
    return print_usage(rules);
  }
  int check_encoding = 1;
  bool keep_time = false;
  const DirectionRules* file_rules = &rules;
  bool explain = false;
  // --check for the names after it; -0 lists those that would convert; -e (or --check) makes
  // the exit status tell whether every file was converted (or would be).
  bool checking = false;
  bool listing = false;
  bool exit_status_tells = false;
  bool switches = true;
  Group group;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
#ifdef _WIN32
    // Every Windows console program answers "/?" with its usage; no file can have that name.
    if (switches && std::strcmp(argument, "/?") == 0) {
      argument = "-?";
    }
#endif
    if (!switches || argument[0] != '-') {
      const FileJob::Mode mode = !checking ? FileJob::Mode::convert
                                 : listing ? FileJob::Mode::check_and_list
                                           : FileJob::Mode::check;
      group.start(argument, check_encoding, keep_time, mode, explain, *file_rules);
      continue;
    }
    if (argument[1] == '-') {
      if (argument[2] == '\0') {
        switches = false;
        continue;
      }
      if (std::strcmp(argument, "--check") == 0) {
        checking = true;
        exit_status_tells = true;
        continue;
      }
      if (std::strcmp(argument, "--version") != 0) {
        return stop_with(group, rules.usage_text);
      }
      char version[128];
      std::snprintf(version, sizeof version, "%s\nkernels: %s", rules.version_line,
                    rules.kernel_set());
      return stop_with(group, version);
    }
    // Only the character after the dash counts, so "-nc" is "-n" and a lone "-" is ignored.
    switch (argument[1]) {
      case 'n':
      case 'N':
        check_encoding = 0;
        break;
      case 'c':
      case 'C':
        check_encoding = 1;
        break;
      case 'k':
      case 'K':
        keep_time = true;
        break;
      case 'e':
      case 'E':
        exit_status_tells = true;
        break;
      case 'v':
      case 'V':
        explain = true;
        g_explaining = true;
        break;
      case 'w':
      case 'W':
        if (rules.with_ibm_extensions != nullptr) {
          file_rules = rules.with_ibm_extensions;
        }
        break;
      case '0':
        listing = true;
        break;
      case '?':
      case 'h':
      case 'H':
        return stop_with(group, rules.usage_text);
      default:
        break;
    }
  }
  group.finish();
  finish_replacements(report_not_on_disk);
  return exit_status_tells && g_any_not_converted ? 1 : 0;
}

#ifdef _WIN32
int run_command_line(int argc, const wchar_t* const* argv, const DirectionRules& rules) {
  std::vector<std::string> arguments;
  std::vector<const char*> pointers;
  for (int i = 0; i < argc; ++i) {
    const std::wstring_view argument(argv[i]);
    arguments.push_back(utf8_of(std::u16string(argument.begin(), argument.end())));
  }
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  pointers.push_back(nullptr);
  return run_command_line(argc, pointers.data(), rules);
}
#endif
