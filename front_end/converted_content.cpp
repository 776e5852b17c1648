#include "converted_content.hpp"

#include <algorithm>
#include <cstring>

#include "byte_sink.hpp"

namespace {

// Where the piece that starts at start ends: just after the last line feed within piece bytes,
// or, in a stretch without one, just after the next line feed or at the end of the image.
std::size_t piece_end(const unsigned char* image, std::size_t size, std::size_t start,
                      std::size_t piece) noexcept {
  const std::size_t window = std::min(piece, size - start);
  if (start + window == size) {
    return size;
  }
  for (std::size_t at = start + window; at > start; --at) {
    if (image[at - 1] == '\n') {
      return at;
    }
  }
  const void* next = std::memchr(image + start + window, '\n', size - start - window);
  return next == nullptr
             ? size
             : static_cast<std::size_t>(static_cast<const unsigned char*>(next) - image) + 1;
}

}  // namespace

std::size_t ConvertedContent::room_needed(const unsigned char* image, std::size_t size,
                                          std::size_t piece) noexcept {
  std::size_t longest = 0;
  for (std::size_t start = 0; start < size;) {
    const std::size_t end = piece_end(image, size, start, piece);
    longest = std::max(longest, end - start);
    start = end;
  }
  return longest * MAX_OUTPUT_PER_INPUT_BYTE;
}

bool ConvertedContent::pieces(PieceSink& sink) noexcept {
  for (std::size_t start = 0; start < size_;) {
    const std::size_t end = piece_end(image_, size_, start, piece_);
    ByteSink converted(room_.data(), room_.size());
    transcode_(image_ + start, end - start, converted);
    if (!sink.take(std::span<const unsigned char>(converted.data(), converted.size()))) {
      return false;
    }
    start = end;
  }
  return true;
}
