#include "file_job.hpp"

#include <cstring>
#include <span>

#include "console.hpp"
#include "file_content.hpp"
#include "file_system.hpp"

namespace {

int report(const char* format, const char* path) {
  print_message(format, path);
  return 0;
}

}  // namespace

int convert_file(const char* path, int check_encoding, const DirectionRules& rules) {
  // The file stays open, and locked against other conversions, until it has been replaced.
  SourceFile input;
  if (!input.open(path)) {
    return report("Failed to open file: %s\n", path);
  }

  const std::int64_t measured = input.measure();
  if (measured <= 0) {
    input.close();
    return measured == 0 ? 1 : report("Failed to get file size: %s\n", path);
  }
  if (measured >= MAX_FILE_SIZE) {
    input.close();
    print_message("File size is too large: %s (%lld KB)\n", path,
                  static_cast<long long>(measured / 1024));
    return 0;
  }

  // Read a piece at a time where nobody else can write the file meanwhile; otherwise whole, once,
  // so that what is checked, converted and compared before the replacement is one content.
  FileContent content(input, static_cast<std::size_t>(measured));
  Loaded loaded = input.writers_kept_out() ? Loaded::done : content.load();
  // Checked whole before anything is written; without the check, the pass still finds the
  // pieces, so that memory for the longest is had before the replacement begins.
  if (loaded == Loaded::done) {
    loaded = content.each_piece([&](std::span<const unsigned char> piece) {
      return check_encoding == 0 || rules.validator(piece.data(), piece.size()) != 0;
    });
  }
  ConvertedContent converted(content, rules, check_encoding != 0);
  if (loaded == Loaded::done && !converted.make_room()) {
    loaded = Loaded::no_memory;
  }
  if (loaded != Loaded::done) {
    input.close();
    if (loaded == Loaded::no_memory) {
      print_message("Failed to alloc memory\n");
      return 0;
    }
    return report(loaded == Loaded::stopped ? rules.rejection_message : "Failed to read file: %s\n",
                  path);
  }

  const bool written = input.replace_content(content, converted);
  input.close();
  if (!written) {
    report("Failed to write file: %s\n", path);
  }
  // The one thing the user must act on after a failure that could not be undone.
  if (!input.kept_copy().empty()) {
    print_message("Old content kept in: %s\n", input.kept_copy().c_str());
  }
  return written ? 1 : 0;
}
