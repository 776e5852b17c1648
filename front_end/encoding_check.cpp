#include "encoding_check.hpp"

#include <cstring>

#include "utf16_text.hpp"

namespace {

bool starts_with_utf16_mark(std::span<const unsigned char> bytes) noexcept {
  return bytes.size() >= 2 &&
         ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF));
}

}  // namespace

bool EncodingCheck::refuse(bool needs_whole, const char* message) noexcept {
  refused_ = true;
  needs_whole_ = needs_whole;
  message_ = message;
  return false;
}

bool EncodingCheck::take(std::span<const unsigned char> piece) noexcept {
  const unsigned char* const bytes = piece.data();
  const std::size_t size = piece.size();
  if (refused_) {
    return false;
  }
  if (first_) {
    // What Notepad and many editors put before UTF-8 and UTF-16 text.
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
      return refuse(false, rules_.look_alikes[1].rejection_message);
    }
    if (starts_with_utf16_mark(piece)) {
      return refuse(true);
    }
  }
  first_ = false;
  // Text holds no NUL: a file that does is UTF-16 or binary, whatever its bytes pass.
  if (std::memchr(bytes, 0, size) != nullptr || rules_.validator(bytes, size) == 0) {
    return refuse(true);
  }
  if (rules_.ascii(bytes, size) != 0) {
    return true;
  }
  beyond_ascii_ = true;
  // Real text almost always leaves its look-alikes within its first piece, so text is costed
  // only where it is ambiguous.
  bool ambiguous = false;
  for (int i = 0; i < 2; ++i) {
    alike_[i] = alike_[i] && rules_.look_alikes[i].validator(bytes, size) != 0;
    ambiguous = ambiguous || alike_[i];
  }
  if (ambiguous) {
    source_cost_ += rules_.cost(bytes, size);
    for (int i = 0; i < 2; ++i) {
      alike_cost_[i] += alike_[i] ? rules_.look_alikes[i].cost(bytes, size) : 0;
    }
  }
  return true;
}

bool EncodingCheck::accepted() const noexcept {
  if (refused_ || first_) {
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (beyond_ascii_ && alike_[i] && alike_cost_[i] <= source_cost_) {
      return false;
    }
  }
  return true;
}

const char* EncodingCheck::rejection_message(std::span<const unsigned char> whole) const noexcept {
  if (message_ != nullptr) {
    return message_;
  }
  if (!needs_whole_) {
    // Read better in a look-alike: the cheapest.
    const int best = !alike_[0] || (alike_[1] && alike_cost_[1] < alike_cost_[0]) ? 1 : 0;
    return rules_.look_alikes[best].rejection_message;
  }
  const unsigned char* const bytes = whole.data();
  const std::size_t size = whole.size();
  if (size == 0) {
    return rules_.rejection_message;
  }
  if (std::memchr(bytes, 0, size) != nullptr || starts_with_utf16_mark(whole)) {
    return is_utf16_text(bytes, size) != 0 ? rules_.utf16_message : rules_.rejection_message;
  }
  if (rules_.ascii(bytes, size) != 0) {
    return rules_.rejection_message;
  }
  // Bytes the source encoding cannot hold: the look-alike the file is written in, if any.
  const DirectionRules::Reading* best = nullptr;
  std::int64_t best_cost = 0;
  for (const DirectionRules::Reading& reading : rules_.look_alikes) {
    if (reading.validator(bytes, size) != 0) {
      const std::int64_t cost = reading.cost(bytes, size);
      if (best == nullptr || cost < best_cost) {
        best = &reading;
        best_cost = cost;
      }
    }
  }
  return best != nullptr ? best->rejection_message : rules_.rejection_message;
}
