#include "japanese_text.hpp"

#include <algorithm>

#include "euc_jp_scalar.hpp"
#include "ibm_extension_tables.hpp"
#include "shift_jis_scalar.hpp"
#include "text_model_tables.hpp"

namespace {

// Beginning a run of half-width katakana, beyond its first character, in quarter bits. Small:
// files that hold such runs are common, and the characters after the first already tell a real
// run from pairs read one byte at a time. Lower, more words written in half-width katakana are
// taken for what they are, and more short texts with a kanji or two for half-width katakana.
constexpr std::int64_t HALF_WIDTH_RUN_COST = 6;

// Where a JIS X 0208 position is among the kanji whose pairs are costed, -1 where it is not.
constexpr int pair_position(unsigned index) noexcept {
  const unsigned row = index / 94;
  const unsigned cell = index % 94;
  if (row < KANJI_PAIR_FIRST_ROW || row >= KANJI_PAIR_FIRST_ROW + KANJI_PAIR_ROWS ||
      cell >= KANJI_PAIR_CELLS) {
    return -1;
  }
  return static_cast<int>((row - KANJI_PAIR_FIRST_ROW) * KANJI_PAIR_CELLS + cell);
}

// What a kanji costs after another beyond its own cost.
std::int64_t pair_cost(int before, int position) noexcept {
  const std::uint16_t* const begin = KANJI_PAIR_NEXT + KANJI_PAIR_BEGIN[before];
  const std::uint16_t* const end = KANJI_PAIR_NEXT + KANJI_PAIR_BEGIN[before + 1];
  const std::uint16_t* const found = std::lower_bound(begin, end, position);
  if (found != end && *found == position) {
    return KANJI_PAIR_NEXT_COST[found - KANJI_PAIR_NEXT];
  }
  return KANJI_PAIR_UNSEEN_COST[before];
}

// The characters of one reading, with the half-width run under way, if any, and the kanji just
// read, if any.
class Reading {
 public:
  void ascii() noexcept {
    end_run();
    kanji_ = -1;
  }
  void jis(unsigned index) noexcept {
    end_run();
    const int position = pair_position(index);
    cost_ += JIS_COST[index];
    if (kanji_ >= 0 && position >= 0) {
      cost_ += pair_cost(kanji_, position);
    }
    kanji_ = position;
  }
  void half_width(unsigned katakana) noexcept {
    kanji_ = -1;
    cost_ += run_ < 0 ? HALF_WIDTH_RUN_COST + HALF_WIDTH_FIRST_COST[katakana]
                      : HALF_WIDTH_NEXT_COST[run_][katakana];
    alone_ = run_ < 0;
    run_ = static_cast<int>(katakana);
  }
  void costing(std::int64_t cost) noexcept {
    end_run();
    kanji_ = -1;
    cost_ += cost;
  }
  void unassigned() noexcept { costing(UNASSIGNED_COST); }
  [[nodiscard]] std::int64_t total() noexcept {
    end_run();
    return cost_;
  }

 private:
  void end_run() noexcept {
    if (run_ >= 0) {
      cost_ += alone_ ? HALF_WIDTH_ALONE_COST[run_] : HALF_WIDTH_NEXT_COST[run_][63];
      run_ = -1;
    }
  }

  std::int64_t cost_ = 0;
  // The last half-width katakana of the run under way, -1 where none is.
  int run_ = -1;
  bool alone_ = false;
  // The position of the kanji just read among those whose pairs are costed, -1 where none is.
  int kanji_ = -1;
};

constexpr bool shift_jis_lead(unsigned b) noexcept {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
}
constexpr bool shift_jis_trail(unsigned t) noexcept {
  return t >= 0x40 && t <= 0xFC && t != 0x7F;
}
// Row * 94 + cell of a Shift_JIS pair with a lead and trail as above.
constexpr unsigned shift_jis_index(unsigned lead, unsigned trail) noexcept {
  const unsigned row = (lead < 0xA0 ? lead - 0x81 : lead - 0xC1) * 2;
  if (trail >= 0x9F) {
    return (row + 1) * 94 + trail - 0x9F;
  }
  return row * 94 + trail - 0x40 - (trail > 0x7F ? 1 : 0);
}

// What a character costs in a UTF-8 text of another language, by its block; quarter bits.
std::int64_t other_language_cost(std::uint32_t code_point) noexcept {
  if (code_point < 0x100) {
    return 4 * 14;  // Latin-1: accented letters of western European languages, signs
  }
  if (code_point < 0x180) {
    return 4 * 16;  // Latin Extended-A: central European letters
  }
  if (code_point >= 0x370 && code_point < 0x530) {
    return 4 * 16;  // Greek, Cyrillic, Armenian
  }
  if (code_point >= 0x4E00 && code_point < 0xA000) {
    return 4 * 20;  // ideographs JIS X 0208 lacks
  }
  return 4 * 24;
}

std::int64_t code_point_cost(std::uint32_t code_point) noexcept {
  const UnicodeJis* const end = UNICODE_JIS + UNICODE_JIS_COUNT;
  const UnicodeJis* const found = std::lower_bound(
      UNICODE_JIS, end, code_point,
      [](const UnicodeJis& entry, std::uint32_t wanted) { return entry.code_point < wanted; });
  const std::int64_t other = other_language_cost(code_point);
  if (found != end && found->code_point == code_point) {
    return std::min<std::int64_t>(JIS_COST[found->jis], other);
  }
  return other;
}

}  // namespace

std::int64_t shift_jis_text_cost(const unsigned char* image, std::size_t size) noexcept {
  Reading reading;
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned b = image[i];
    if (b < 0x80) {
      reading.ascii();
    } else if (b >= 0xA1 && b <= 0xDF) {
      reading.half_width(b - 0xA1);
    } else if (shift_jis_lead(b) && i + 1 < size && shift_jis_trail(image[i + 1])) {
      reading.jis(shift_jis_index(b, image[i + 1]));
      ++i;
    } else if (const std::size_t ibm =
                   i + 1 < size ? ibm_extension_at(b, image[i + 1]) : IBM_EXTENSION_COUNT;
               ibm < IBM_EXTENSION_COUNT) {
      reading.jis(IBM_EXTENSIONS[ibm].twin);
      ++i;
    } else {
      reading.unassigned();
    }
  }
  return reading.total();
}

std::int64_t euc_jp_text_cost(const unsigned char* image, std::size_t size) noexcept {
  Reading reading;
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned b = image[i];
    const unsigned t = i + 1 < size ? image[i + 1] : 0;
    if (b < 0x80) {
      reading.ascii();
      continue;
    }
    if (b == 0x8E && t >= 0xA1 && t <= 0xDF) {
      reading.half_width(t - 0xA1);
    } else if (const std::size_t ibm = b == 0x8F && i + 2 < size
                                           ? euc_jp::ibm_extension(t, image[i + 2])
                                           : IBM_EXTENSION_COUNT;
               ibm < IBM_EXTENSION_COUNT) {
      reading.jis(IBM_EXTENSIONS[ibm].twin);
      i += 2;
      continue;
    } else if (b >= 0xA1 && b <= 0xFE && t >= 0xA1 && t <= 0xFE) {
      reading.jis((b - 0xA1) * 94 + t - 0xA1);
    } else {
      reading.unassigned();
      if (t < 0xA0) {
        continue;
      }
    }
    ++i;
  }
  return reading.total();
}

std::int64_t utf8_text_cost(const unsigned char* image, std::size_t size) noexcept {
  Reading reading;
  for (std::size_t i = 0; i < size;) {
    const unsigned b = image[i];
    if (b < 0x80) {
      reading.ascii();
      ++i;
      continue;
    }
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    std::uint32_t code_point = b & (0x7F >> length);
    bool formed = length > 1 && i + length <= size;
    for (std::size_t k = 1; formed && k < length; ++k) {
      formed = (image[i + k] & 0xC0) == 0x80;
      code_point = (code_point << 6) | (image[i + k] & 0x3F);
    }
    if (!formed) {
      reading.unassigned();
      ++i;
      continue;
    }
    if (code_point >= 0xFF61 && code_point <= 0xFF9F) {
      reading.half_width(code_point - 0xFF61);
    } else {
      reading.costing(code_point_cost(code_point));
    }
    i += length;
  }
  return reading.total();
}
