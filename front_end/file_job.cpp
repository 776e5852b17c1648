#include "file_job.hpp"

#include <cstring>
#include <span>

#include "console.hpp"
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

  // One block holds the image with its slack and, after it, room for the largest output.
  const auto size = static_cast<std::size_t>(measured);
  const std::size_t image_bytes = size + IMAGE_SLACK;
  const std::size_t output_room = size * MAX_OUTPUT_PER_INPUT_BYTE;
  // Text converts to about its own size; a little more keeps half-width katakana and line ends
  // within the part mapped at once.
  JobMemory block(image_bytes + output_room, image_bytes + size + size / 8);
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

  ByteSink sink(image + image_bytes, output_room);
  rules.transcoder(image, size, sink);
  const bool written =
      input.replace_content(std::span(image, size), std::span(sink.data(), sink.size()));
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
