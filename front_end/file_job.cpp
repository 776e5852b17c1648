#include "file_job.hpp"

#include <cstring>
#include <span>

#include "console.hpp"
#include "converted_content.hpp"
#include "file_system.hpp"
#include "job_memory.hpp"

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

  // The image with its slack. Populated in one step where the system allows, since it is all
  // written at once.
  const auto size = static_cast<std::size_t>(measured);
  JobMemory block(size + IMAGE_SLACK, size + IMAGE_SLACK);
  if (block.get() == nullptr) {
    input.close();
    print_message("Failed to alloc memory\n");
    return 0;
  }
  unsigned char* const image = block.get();
  std::memset(image + size, 0, IMAGE_SLACK);

  if (!input.read_exactly(std::span(image, size))) {
    input.close();
    return report("Failed to read file: %s\n", path);
  }

  if (check_encoding != 0 && rules.validator(image, size) == 0) {
    input.close();
    block.release();
    return report(rules.rejection_message, path);
  }

  // The converted content is made a piece at a time, each time it is written, into room for the
  // largest piece.
  const std::size_t room_size = ConvertedContent::room_needed(image, size);
  JobMemory room(room_size, room_size);
  if (room.get() == nullptr) {
    input.close();
    print_message("Failed to alloc memory\n");
    return 0;
  }
  ConvertedContent converted(image, size, rules.transcoder, std::span(room.get(), room_size));
  const bool written = input.replace_content(std::span(image, size), converted);
  input.close();
  block.release();
  if (!written) {
    report("Failed to write file: %s\n", path);
  }
  // The one thing the user must act on after a failure that could not be undone.
  if (!input.kept_copy().empty()) {
    print_message("Old content kept in: %s\n", input.kept_copy().c_str());
  }
  return written ? 1 : 0;
}
