// Packed samples and gray levels: see packed_samples.h.
//
// The 1-bit row is packed eight levels at a time as one 64-bit word on a
// little-endian machine: each byte must be 0x00 or 0xFF, and its top bits
// are gathered into one byte by a multiplication (no two of the shifted
// copies meet in the top byte, nor carry into it).  Elsewhere a level at
// a time, through the nearest-level rule.
#include "packed_samples.h"

#include <bit>
#include <cstring>

#include "checked.h"

namespace tessvane {
namespace {

// The stored level nearest to gray level x among 2^bits levels.
std::uint32_t Nearest(std::uint32_t x, std::uint32_t bits) {
  const std::uint32_t top = (1u << bits) - 1;
  return (x * top + 127) / 255;
}

// Packs one 1-bit byte's worth of eight levels at gray, checked.
std::uint8_t PackEightBilevel(const std::uint8_t* gray) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t word;
    std::memcpy(&word, gray, 8);
    const std::uint64_t high = word & 0x8080808080808080u;
    if (word != (high >> 7) * 0xFF) RaiseRangeError();  // a level neither 0 nor 255
    return static_cast<std::uint8_t>(((high >> 7) * 0x8040201008040201u) >> 56);
  } else {
    std::uint8_t byte = 0;
    for (int i = 0; i < 8; ++i) {
      if (gray[i] != 0 && gray[i] != 255) RaiseRangeError();
      byte = static_cast<std::uint8_t>(byte << 1 | gray[i] >> 7);
    }
    return byte;
  }
}

}  // namespace

std::uint32_t PackedRowBytes(std::uint32_t count, std::uint32_t bits) {
  return static_cast<std::uint32_t>((std::uint64_t{count} * bits + 7) / 8);
}

std::uint8_t LevelOf(std::uint32_t v, std::uint32_t bits) {
  return static_cast<std::uint8_t>(v * 255 / ((1u << bits) - 1));
}

Unpacker::Unpacker(std::uint32_t bits, const std::array<std::uint8_t, 256>& levels)
    : bits_(bits), per_byte_(8 / bits) {
  const std::uint32_t mask = (1u << bits) - 1;
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    for (std::uint32_t k = 0; k < per_byte_; ++k) {
      const std::uint32_t stored = byte >> (8 - bits * (k + 1)) & mask;
      expanded_[byte * 8 + k] = levels[stored];
    }
  }
}

namespace {

// The whole bytes of a packed row, each into its Width levels: a copy of a
// size the compiler knows, made inline.
template <std::uint32_t Width>
void ExpandBytes(const std::uint8_t* packed, std::uint32_t bytes, const std::uint8_t* expanded,
                 std::uint8_t* gray) {
  for (std::uint32_t i = 0; i < bytes; ++i) {
    std::memcpy(gray + std::size_t{i} * Width, expanded + std::size_t{packed[i]} * 8, Width);
  }
}

}  // namespace

void Unpacker::Row(const std::uint8_t* packed, std::uint32_t count, std::uint8_t* gray) const {
  const std::uint32_t whole = count / per_byte_;
  switch (per_byte_) {
    case 8: ExpandBytes<8>(packed, whole, expanded_.data(), gray); break;
    case 4: ExpandBytes<4>(packed, whole, expanded_.data(), gray); break;
    default: ExpandBytes<2>(packed, whole, expanded_.data(), gray); break;
  }
  const std::uint32_t rest = count - whole * per_byte_;
  if (rest > 0) std::memcpy(gray + std::size_t{whole} * per_byte_, &expanded_[std::size_t{packed[whole]} * 8], rest);
}

void PackRow(const std::uint8_t* gray, std::uint32_t count, std::uint32_t bits, bool inverted,
             std::uint8_t* packed) {
  const std::uint32_t top = (1u << bits) - 1;
  std::uint32_t done = 0;
  std::uint32_t out = 0;
  if (bits == 1) {
    const std::uint8_t flip = inverted ? 0xFF : 0x00;
    for (; done + 8 <= count; done += 8) packed[out++] = PackEightBilevel(gray + done) ^ flip;
  }
  // The rest a level at a time, filling each byte from its top bit.
  std::uint32_t byte = 0;
  std::uint32_t filled = 0;
  for (; done < count; ++done) {
    const std::uint8_t x = gray[done];
    if (bits == 1 && x != 0 && x != 255) RaiseRangeError();  // a bilevel page gives only black and white
    const std::uint32_t level = Nearest(x, bits);
    byte = byte << bits | (inverted ? top - level : level);
    filled += bits;
    if (filled == 8) {
      packed[out++] = static_cast<std::uint8_t>(byte);
      byte = 0;
      filled = 0;
    }
  }
  if (filled > 0) packed[out] = static_cast<std::uint8_t>(byte << (8 - filled));
}

}  // namespace tessvane
