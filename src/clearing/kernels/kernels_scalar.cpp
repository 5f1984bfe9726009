// The scalar kernels: the erosion scans one pixel at a time, and the
// mapping by a table of all 65,536 (image, marker) pairs built at compile
// time.  They are the reference every vector path must match byte for
// byte, and the vector kernels' tails.
#include <array>

#include "checked.h"
#include "kernels_internal.h"
#include "pixel_kernels.h"

namespace tessvane {
namespace {

// Minimum and maximum by value, which compilers turn into conditional
// moves: pixel comparisons are unpredictable, branches on them are slow.
inline std::uint32_t Min(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }
inline std::uint32_t Max(std::uint32_t a, std::uint32_t b) { return a < b ? b : a; }

constexpr bool DarkPair(std::uint32_t i, std::uint32_t m) { return i < DarkLimit && m < DarkLimit; }

// The mapped value of every admissible (image, marker) pair; 0 for the
// pairs that raise an error.
struct MappingTable {
  std::array<std::uint8_t, 65536> value{};
  constexpr MappingTable() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      for (std::uint32_t m = 0; m < 256; ++m) {
        std::uint32_t q = m == 0 ? 256 : (i * 256) / m;
        if (q > 0) --q;
        if (DarkPair(i, m)) q = 255;
        value[i << 8 | m] = static_cast<std::uint8_t>(q <= 255 ? q : 0);
      }
    }
  }
};

constexpr MappingTable Mapping;

inline std::uint8_t Mapped(std::uint32_t i, std::uint32_t m) {
  // 256 × i / m − 1 exceeds 255 exactly when i > m ≥ 1, unless the pair is dark.
  if (i > m && m != 0 && !DarkPair(i, m)) RaiseRangeError();
  return Mapping.value[i << 8 | m];
}

}  // namespace

void ForwardScanScalar(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                       std::uint32_t first, std::uint32_t last) {
  std::uint32_t x = m[first - 1];
  for (std::uint32_t p = first; p <= last; ++p) {
    const std::uint32_t t = Min(Min(m[p], m[p - w - 1]), Min(m[p - w], m[p - w + 1]));
    x = Max(image[p], Min(t, x));
    m[p] = static_cast<std::uint8_t>(x);
  }
}

void BackwardScanScalar(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                        std::uint32_t first, std::uint32_t stop) {
  std::uint32_t x = m[first + 1];
  for (std::uint32_t p = first + 1; p-- > stop;) {
    const std::uint32_t t = Min(Min(m[p], m[p + w - 1]), Min(m[p + w], m[p + w + 1]));
    x = Max(image[p], Min(t, x));
    m[p] = static_cast<std::uint8_t>(x);
  }
}

void MapPixelsScalar(std::uint8_t* out, const std::uint8_t* image, const std::uint8_t* marker,
                     std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) out[k] = Mapped(image[k], marker[k]);
}

std::uint8_t MappedPixel(std::uint8_t image, std::uint8_t marker) { return Mapped(image, marker); }

}  // namespace tessvane
