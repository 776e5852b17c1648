#include "file_content.hpp"

#include <cstring>

#include "byte_sink.hpp"
#include "encoding_check.hpp"

namespace {

// How many of the first window bytes end just after the last line feed among them; 0 when none.
std::size_t through_last_line_feed(const unsigned char* bytes, std::size_t window) noexcept {
  while (window > 0 && bytes[window - 1] != '\n') {
    --window;
  }
  return window;
}

}  // namespace

Loaded FileContent::load() noexcept {
  if (image_.get() != nullptr) {
    return Loaded::done;
  }
  JobMemory image(size_ + IMAGE_SLACK, size_ + IMAGE_SLACK);
  if (image.get() == nullptr) {
    return Loaded::no_memory;
  }
  if (!file_.read_exactly(std::span(image.get(), size_))) {
    return Loaded::unreadable;
  }
  std::memset(image.get() + size_, 0, IMAGE_SLACK);
  image_ = std::move(image);
  return Loaded::done;
}

std::span<const unsigned char> FileContent::whole() noexcept {
  if (load() != Loaded::done) {
    return {};
  }
  return {image_.get(), size_};
}

Loaded FileContent::next_piece(std::size_t start, std::span<const unsigned char>& piece) noexcept {
  const std::size_t window = size_ - start < piece_ ? size_ - start : piece_;
  const bool last = start + window == size_;
  if (image_.get() == nullptr) {
    if (buffer_.get() == nullptr) {
      buffer_ = JobMemory(piece_ + IMAGE_SLACK, piece_ + IMAGE_SLACK);
      if (buffer_.get() == nullptr) {
        return Loaded::no_memory;
      }
    }
    unsigned char* const buffer = buffer_.get();
    if (!file_.read_exactly(std::span(buffer, window), start)) {
      return Loaded::unreadable;
    }
    if (last) {
      std::memset(buffer + window, 0, IMAGE_SLACK);
      piece = {buffer, window};
      return Loaded::done;
    }
    const std::size_t cut = through_last_line_feed(buffer, window);
    if (cut != 0) {
      piece = {buffer, cut};
      return Loaded::done;
    }
    const Loaded loaded = load();
    if (loaded != Loaded::done) {
      return loaded;
    }
  }
  const unsigned char* const image = image_.get();
  std::size_t end = start + window;
  if (!last) {
    end = start + through_last_line_feed(image + start, window);
    if (end == start) {
      const void* next = std::memchr(image + start + window, '\n', size_ - start - window);
      end = next == nullptr
                ? size_
                : static_cast<std::size_t>(static_cast<const unsigned char*>(next) - image) + 1;
    }
  }
  piece = {image + start, end - start};
  return Loaded::done;
}

bool ConvertedContent::make_room(std::size_t piece) noexcept {
  // Room for the whole window at once, so that pieces of slightly different lengths do not each
  // map a block of their own.
  const std::size_t longest = piece > content_.window() ? piece : content_.window();
  const std::size_t needed = longest * MAX_OUTPUT_PER_INPUT_BYTE;
  if (needed <= room_size_) {
    return true;
  }
  room_ = JobMemory(needed, needed);
  room_size_ = room_.get() != nullptr ? needed : 0;
  return room_.get() != nullptr;
}

void ConvertedContent::refused(const EncodingCheck& check) noexcept {
  ended_ = Ended::refused;
  const std::span<const unsigned char> whole =
      check.needs_whole() ? content_.whole() : std::span<const unsigned char>();
  rejection_message_ = check.rejection_message(whole);
  if (explain_) {
    check.refusal_reason(whole, reason_);
  }
}

bool ConvertedContent::pieces(PieceSink& sink) noexcept {
  EncodingCheck check(rules_);
  ended_ = Ended::stopped;
  const Loaded passed = content_.each_piece([&](std::span<const unsigned char> piece) {
    if (check_ && !check.take(piece)) {
      return false;
    }
    if (!make_room(piece.size())) {
      ended_ = Ended::no_memory;
      return false;
    }
    ByteSink converted(room_.get(), room_size_);
    rules_.transcoder(piece.data(), piece.size(), converted);
    return sink.take(std::span<const unsigned char>(converted.data(), converted.size()));
  });
  if (passed == Loaded::no_memory || passed == Loaded::unreadable) {
    ended_ = passed == Loaded::no_memory ? Ended::no_memory : Ended::unreadable;
  }
  if (passed == Loaded::stopped && check.refused()) {
    refused(check);
  }
  if (passed != Loaded::done) {
    return false;
  }
  ended_ = Ended::done;
  if (check_ && !check.accepted()) {
    refused(check);
  }
  return ended_ == Ended::done;
}

bool ConvertedContent::acceptable() noexcept {
  if (!check_) {
    return true;
  }
  EncodingCheck check(rules_);
  const Loaded passed =
      content_.each_piece([&](std::span<const unsigned char> piece) { return check.take(piece); });
  ended_ = passed == Loaded::no_memory    ? Ended::no_memory
           : passed == Loaded::unreadable ? Ended::unreadable
                                          : Ended::done;
  if (ended_ == Ended::done && !check.accepted()) {
    refused(check);
  }
  return ended_ == Ended::done;
}
