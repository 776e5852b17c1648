#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "direction_rules.hpp"
#include "encoding_check.hpp"
#include "job_memory.hpp"
#include "replacement.hpp"
#include "source_file.hpp"

// Pieces of about this many bytes keep what a conversion touches within a small buffer that stays
// in the cache, whatever the file's size.
inline constexpr std::size_t PIECE_BYTES = 64 * 1024;

// Zero bytes after the content, so that a transcoder standing on a final lead byte reads a fixed
// value rather than whatever memory held.
inline constexpr std::size_t IMAGE_SLACK = 2;

enum class Loaded { done, stopped, unreadable, no_memory };

// The content of an open file as the job reads it: a piece at a time through one small buffer
// where no other writer can change the file between two reads, and whole in memory where one
// could, or where a step needs it whole. Pieces are cut just after the last line feed within
// PIECE_BYTES, where every validator and transcoder is between characters with nothing pending (a
// line feed never starts a pair, and ends a CR LF), so that piece by piece they give what they
// give on the whole; a stretch without a line feed is taken whole from memory.
class FileContent final : public OldContent {
 public:
  FileContent(SourceFile& file, std::size_t size, std::size_t piece = PIECE_BYTES) noexcept
      : file_(file), size_(size), piece_(piece) {}

  // Reads the whole content into memory now.
  [[nodiscard]] Loaded load() noexcept;
  [[nodiscard]] std::span<const unsigned char> whole() noexcept override;
  [[nodiscard]] std::span<const unsigned char> in_memory() noexcept override {
    return loaded() ? std::span<const unsigned char>(image_.get(), size_)
                    : std::span<const unsigned char>();
  }

  // Hands each piece in order to visit, which yields false to stop. Each piece may be followed by
  // two readable bytes, zero after the last piece.
  template <typename Visit>
  [[nodiscard]] Loaded each_piece(Visit visit) noexcept {
    for (std::size_t start = 0; start < size_;) {
      std::span<const unsigned char> piece;
      const Loaded cut = next_piece(start, piece);
      if (cut != Loaded::done) {
        return cut;
      }
      longest_ = piece.size() > longest_ ? piece.size() : longest_;
      if (!visit(piece)) {
        return Loaded::stopped;
      }
      start += piece.size();
    }
    return Loaded::done;
  }

  // Gives back the buffer pieces are read through, until the next pass.
  void release_buffer() noexcept { buffer_ = JobMemory(); }
  // Whether the whole content is in memory.
  [[nodiscard]] bool loaded() const noexcept { return image_.get() != nullptr; }

  // The longest piece the reading window holds: pieces are no longer unless a stretch without a
  // line feed outgrows it.
  [[nodiscard]] std::size_t window() const noexcept { return piece_ < size_ ? piece_ : size_; }

  // The longest piece any pass has handed over.
  [[nodiscard]] std::size_t longest_piece() const noexcept { return longest_; }

 private:
  [[nodiscard]] Loaded next_piece(std::size_t start,
                                  std::span<const unsigned char>& piece) noexcept;

  SourceFile& file_;
  std::size_t size_;
  std::size_t piece_;
  std::size_t longest_ = 0;
  JobMemory buffer_;
  JobMemory image_;
};

// The converted form of the file's content, made a piece at a time, each time it is asked for,
// into room for the longest piece. With the check, the content is checked in the same pass as it
// is converted (encoding_check.hpp): a piece that fails stops the pass, and a whole that fails
// is known, and the pass fails, once the last piece is handed over. So the check and the
// conversion read the file once, and what is written is what was checked.
class ConvertedContent final : public Content {
 public:
  // With explain, a refusal is explained in words too (refusal_reason()).
  ConvertedContent(FileContent& content, const DirectionRules& rules, bool check,
                   bool explain = false) noexcept
      : content_(content), rules_(rules), check_(check), explain_(explain) {}

  // Gives the room back, until the next time the content is asked for.
  void release_room() noexcept {
    room_ = JobMemory();
    room_size_ = 0;
  }
  [[nodiscard]] bool pieces(PieceSink& sink) noexcept override;
  [[nodiscard]] bool acceptable() noexcept override;
  // How the last pass ended: none made yet, done, stopped by the sink, refused by the check, or
  // short of memory or of bytes to read.
  enum class Ended { not_made, done, stopped, refused, no_memory, unreadable };
  [[nodiscard]] Ended ended() const noexcept { return ended_; }
  // The message of the check's refusal, once a pass has ended refused.
  [[nodiscard]] const char* rejection_message() const noexcept { return rejection_message_; }
  // Why, in words, where the content was made with explain; empty otherwise.
  [[nodiscard]] const char* refusal_reason() const noexcept { return reason_.data(); }

 private:
  // Ends the pass refused by check, choosing its message.
  void refused(const EncodingCheck& check) noexcept;
  // Room for a piece of this size converted; false when it cannot be had.
  [[nodiscard]] bool make_room(std::size_t piece) noexcept;

  FileContent& content_;
  const DirectionRules& rules_;
  bool check_;
  bool explain_;
  std::array<char, 160> reason_{};
  JobMemory room_;
  std::size_t room_size_ = 0;
  Ended ended_ = Ended::not_made;
  const char* rejection_message_ = nullptr;
};
