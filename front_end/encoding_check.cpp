#include "encoding_check.hpp"

#include <cstdio>
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

namespace {

// How long the characters that byte begins are in the encoding the validator checks, where they
// are longer than one byte (2 or 3); 0 where byte begins none.
std::size_t length_of_characters_begun(DirectionRules::Validator validator,
                                       unsigned char byte) noexcept {
  for (unsigned second = 0; second < 256; ++second) {
    const unsigned char pair[] = {byte, static_cast<unsigned char>(second)};
    if (validator(pair, 2) != 0) {
      return 2;
    }
  }
  for (unsigned second = 0x80; second < 256; ++second) {
    for (unsigned third = 0x80; third < 256; ++third) {
      const unsigned char triple[] = {byte, static_cast<unsigned char>(second),
                                      static_cast<unsigned char>(third)};
      if (validator(triple, 3) != 0) {
        return 3;
      }
    }
  }
  return 0;
}

// "line L, column C" of the byte at offset, both counted from 1, columns in bytes.
int write_place(std::span<const unsigned char> bytes, std::size_t offset,
                std::span<char> out) noexcept {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (bytes[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return std::snprintf(out.data(), out.size(), "line %zu, column %zu: ", line,
                       offset - line_start + 1);
}

}  // namespace

void EncodingCheck::refusal_reason(std::span<const unsigned char> whole,
                                   std::span<char> reason) const noexcept {
  reason[0] = '\0';
  if (message_ != nullptr) {
    std::snprintf(reason.data(), reason.size(),
                  "it begins with a UTF-8 byte order mark (0xEF 0xBB 0xBF)");
    return;
  }
  if (!needs_whole_) {
    const int best = !alike_[0] || (alike_[1] && alike_cost_[1] < alike_cost_[0]) ? 1 : 0;
    std::snprintf(reason.data(), reason.size(),
                  "read as %s it is at least as likely Japanese text as read as %s (%.1f bits "
                  "against %.1f)",
                  rules_.look_alikes[best].name, rules_.source_name,
                  static_cast<double>(alike_cost_[best]) / 4,
                  static_cast<double>(source_cost_) / 4);
    return;
  }
  const std::size_t size = whole.size();
  if (size == 0) {
    return;
  }
  if (starts_with_utf16_mark(whole)) {
    std::snprintf(reason.data(), reason.size(),
                  "it begins with a UTF-16 byte order mark (0x%02X 0x%02X)", whole[0], whole[1]);
    return;
  }
  const void* const nul = std::memchr(whole.data(), 0, size);
  const std::size_t at =
      nul != nullptr
          ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - whole.data())
          : rules_.refused_at(whole.data(), size);
  if (at >= size) {
    return;
  }
  const int place = write_place(whole, at, reason);
  if (place < 0 || static_cast<std::size_t>(place) >= reason.size()) {
    return;
  }
  const std::span<char> rest = reason.subspan(static_cast<std::size_t>(place));
  const unsigned char first = whole[at];
  const std::size_t length = first == 0 ? 0 : length_of_characters_begun(rules_.validator, first);
  if (first == 0) {
    std::snprintf(rest.data(), rest.size(), "0x00, a NUL byte");
  } else if (length == 0) {
    std::snprintf(rest.data(), rest.size(), "0x%02X cannot begin a character", first);
  } else if (size - at < length) {
    std::snprintf(rest.data(), rest.size(), "0x%02X is cut off by the end of the file", first);
  } else if (length == 2) {
    std::snprintf(rest.data(), rest.size(), "0x%02X 0x%02X is no character", first, whole[at + 1]);
  } else {
    std::snprintf(rest.data(), rest.size(), "0x%02X 0x%02X 0x%02X is no character", first,
                  whole[at + 1], whole[at + 2]);
  }
}
