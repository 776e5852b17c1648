#pragma once

#include <cstddef>
#include <span>

#include "direction_rules.hpp"
#include "replacement.hpp"

// Pieces of about this many input bytes keep the converted content within a small buffer that
// stays in the cache, whatever the file's size.
inline constexpr std::size_t PIECE_BYTES = 64 * 1024;

// The converted form of an image, made a piece at a time into one reused buffer. The image is cut
// just after a line feed, where every transcoder is between characters with nothing pending (a
// line feed is never the first byte of a pair, and ends a CR LF), so the pieces together are
// exactly what converting the image whole would give.
class ConvertedContent final : public Content {
 public:
  // image[size] must be readable (the slack the last piece may pair a lead with); room must hold
  // room_needed(image, size, piece) bytes.
  ConvertedContent(const unsigned char* image, std::size_t size,
                   DirectionRules::Transcoder transcode, std::span<unsigned char> room,
                   std::size_t piece = PIECE_BYTES) noexcept
      : image_(image), size_(size), transcode_(transcode), room_(room), piece_(piece) {}

  // The room the largest piece of the image needs: twice the longest stretch between cuts.
  [[nodiscard]] static std::size_t room_needed(const unsigned char* image, std::size_t size,
                                               std::size_t piece = PIECE_BYTES) noexcept;

  [[nodiscard]] bool pieces(PieceSink& sink) noexcept override;

 private:
  const unsigned char* image_;
  std::size_t size_;
  DirectionRules::Transcoder transcode_;
  std::span<unsigned char> room_;
  std::size_t piece_;
};
