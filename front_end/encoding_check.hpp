#pragma once

#include <cstdint>
#include <span>

#include "direction_rules.hpp"

// The check that a file's content is in the direction's source encoding, over its pieces in
// order, as a reader would decide it. Every piece must pass the direction's validator and hold no
// NUL byte. Where the content holds a byte from 0x80 up and also passes the validator of a
// look-alike encoding (direction_rules.hpp), each reading is costed as Japanese text and the
// content is accepted only when the source encoding reads strictly best. A UTF-8 byte order mark
// refuses the content at once. Pieces must be cut where no character of any of these encodings
// is split, as after a line feed.
//
// Where the pieces cannot tell why the content is refused (bytes the source encoding cannot
// hold, a NUL byte, a UTF-16 byte order mark), the message is chosen over the whole content.
class EncodingCheck {
 public:
  explicit EncodingCheck(const DirectionRules& rules) noexcept : rules_(rules) {}

  // Takes the next piece; false as soon as the content is refused.
  [[nodiscard]] bool take(std::span<const unsigned char> piece) noexcept;
  // After the last piece: whether the whole content is accepted.
  [[nodiscard]] bool accepted() const noexcept;
  // Whether a piece refused the content.
  [[nodiscard]] bool refused() const noexcept { return refused_; }
  // Whether the message of a refusal needs the whole content.
  [[nodiscard]] bool needs_whole() const noexcept { return needs_whole_; }
  // The message of a refusal, with the whole content where needs_whole() (empty where it could
  // not be read): the reading it is written in, or the plain refusal.
  [[nodiscard]] const char* rejection_message(std::span<const unsigned char> whole) const noexcept;
  // Why the content was refused, in words, into reason (empty where that cannot be told), with
  // the whole content as rejection_message takes it: where the bytes break the source encoding
  // (line, column and bytes), or which reading is likelier and by how much.
  void refusal_reason(std::span<const unsigned char> whole, std::span<char> reason) const noexcept;

 private:
  [[nodiscard]] bool refuse(bool needs_whole, const char* message = nullptr) noexcept;

  const DirectionRules& rules_;
  bool first_ = true;
  bool refused_ = false;
  bool needs_whole_ = false;
  const char* message_ = nullptr;
  bool beyond_ascii_ = false;
  bool alike_[2] = {true, true};
  std::int64_t source_cost_ = 0;
  std::int64_t alike_cost_[2] = {0, 0};
};
