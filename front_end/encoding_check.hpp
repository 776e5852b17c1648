#pragma once

#include <span>

#include "direction_rules.hpp"

// The check that a file's content is in the direction's source encoding, over its pieces in
// order: each piece must pass the direction's validator, and the whole is refused as well when
// it begins with a UTF-8 byte order mark, or holds a byte from 0x80 up and is wholly valid in one
// of the direction's look-alike encodings (direction_rules.hpp). Pieces must be cut where no
// character of any of these encodings is split, as after a line feed.
class EncodingCheck {
 public:
  explicit EncodingCheck(const DirectionRules& rules) noexcept : rules_(rules) {}

  // Takes the next piece; false as soon as the content is refused.
  [[nodiscard]] bool take(std::span<const unsigned char> piece) noexcept;
  // After the last piece: whether the whole content is accepted.
  [[nodiscard]] bool accepted() const noexcept;

 private:
  const DirectionRules& rules_;
  bool first_ = true;
  bool refused_ = false;
  bool beyond_ascii_ = false;
  bool alike_[2] = {true, true};
};
