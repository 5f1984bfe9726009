// Samples of fewer than 8 bits (1, 2 or 4), packed as TIFF stores them,
// and the gray levels of the image record they become.
//
// A row of a packed page starts on a byte; its samples follow from the
// most significant bit of each byte on (the library undoes FillOrder 2
// before and after), and the bits past the row's last sample are zero.
// A stored level v of b bits is the gray level v × 255 / (2^b − 1), exact
// for b = 1, 2, 4 and 8 (255 / (2^b − 1) is 255, 85, 17, 1); a gray level
// x is stored as the nearest level, round(x × (2^b − 1) / 255), which is
// never a tie.  On a 1-bit page every gray level must be 0 or 255: the
// clearing of a page of black and white gives only black and white, so
// any other level is an internal error, raised and never thresholded.
#pragma once

#include <array>
#include <cstdint>

namespace tessvane {

// The bytes of a row of count samples of bits bits.  Raises nothing.
std::uint32_t PackedRowBytes(std::uint32_t count, std::uint32_t bits);

// Turns packed rows of stored levels into gray levels: each stored level
// v (0 .. 2^bits − 1) becomes levels[v].  Made once a page.
class Unpacker {
 public:
  // Raises nothing.
  Unpacker(std::uint32_t bits, const std::array<std::uint8_t, 256>& levels);

  // The gray levels of the first count samples of packed, into gray.
  // Raises nothing.
  void Row(const std::uint8_t* packed, std::uint32_t count, std::uint8_t* gray) const;

 private:
  std::uint32_t bits_;
  std::uint32_t per_byte_;                         // samples in a byte
  std::array<std::uint8_t, 256 * 8> expanded_{};  // each byte's samples, per_byte_ apart
};

// Stores count gray levels from gray as a packed row of bits bits into
// packed, PackedRowBytes(count, bits) bytes, the bits past the last
// sample zero; each level as (2^bits − 1) minus it when inverted (a
// min-is-white page).  ERangeError, on a 1-bit row, for a level other
// than 0 or 255.
void PackRow(const std::uint8_t* gray, std::uint32_t count, std::uint32_t bits, bool inverted,
             std::uint8_t* packed);

// The gray level of stored level v of bits bits, min-is-black.  Raises
// nothing.
std::uint8_t LevelOf(std::uint32_t v, std::uint32_t bits);

}  // namespace tessvane
