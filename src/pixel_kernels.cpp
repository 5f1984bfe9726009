// Scalar and SSE2 kernels of the erosion scans and the mapping.
//
// The scans.  In the forward scan, pixel p takes
//   x[p] = max(I[p], min(t[p], x[p − 1])),
//   t[p] = min(M[p], M[p − W − 1], M[p − W], M[p − W + 1]),
// where x[p − 1] is the value just written at p − 1.  For W > 16 the three
// neighbours above a block of 16 consecutive pixels all lie before the
// block, so t is one vector of minima.  What remains is the recurrence
// through x.  Each step is a clamp, x -> max(a, min(b, x)) with a = I[p] and
// b = t[p], and clamps compose into clamps:
//   (a2, b2) after (a1, b1)  =  (max(a2, min(b2, a1)), min(b2, b1)),
// so a prefix over the 16 lanes (four shift-and-combine steps) gives each
// lane the composition of all the clamps up to it, which is then applied to
// the value carried in from the block before.  The backward scan is the
// mirror image.  The pixels are taken in linear order exactly as the scalar
// kernel takes them, the neighbours across row ends included.
//
// The mapping is a pure function of two bytes.  The scalar kernel looks it
// up in a table of all 65,536 pairs built at compile time; the vector
// kernel divides in single precision, which is exact for these operands.
#include "pixel_kernels.h"

#include <algorithm>
#include <array>

#include "checked.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tessvane {
namespace {

// ---- scalar ------------------------------------------------------------------

// Minimum and maximum by value, which compilers turn into conditional
// moves: pixel comparisons are unpredictable, branches on them are slow.
inline std::uint32_t Min(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }
inline std::uint32_t Max(std::uint32_t a, std::uint32_t b) { return a < b ? b : a; }

// Visits p = first .. last, increasing.
void ForwardScanScalar(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                       std::uint32_t first, std::uint32_t last) {
  std::uint32_t x = m[first - 1];
  for (std::uint32_t p = first; p <= last; ++p) {
    const std::uint32_t t = Min(Min(m[p], m[p - w - 1]), Min(m[p - w], m[p - w + 1]));
    x = Max(image[p], Min(t, x));
    m[p] = static_cast<std::uint8_t>(x);
  }
}

// Visits p = first .. stop, decreasing.
void BackwardScanScalar(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                        std::uint32_t first, std::uint32_t stop) {
  std::uint32_t x = m[first + 1];
  for (std::uint32_t p = first + 1; p-- > stop;) {
    const std::uint32_t t = Min(Min(m[p], m[p + w - 1]), Min(m[p + w], m[p + w + 1]));
    x = Max(image[p], Min(t, x));
    m[p] = static_cast<std::uint8_t>(x);
  }
}

constexpr bool DarkPair(std::uint32_t i, std::uint32_t m) { return i < 30 && m < 30; }

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

void MapPixelsScalar(std::uint8_t* image, const std::uint8_t* marker, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) image[k] = Mapped(image[k], marker[k]);
}

// ---- SSE2 ----------------------------------------------------------------------

#ifdef __SSE2__

// A vector with 255 in its lowest (low) or highest (high) count bytes.
__m128i LowBytes(int count) {
  alignas(16) std::uint8_t bytes[16] = {};
  std::fill(bytes, bytes + count, 255);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
}
__m128i HighBytes(int count) {
  alignas(16) std::uint8_t bytes[16] = {};
  std::fill(bytes + 16 - count, bytes + 16, 255);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
}

__m128i Load(const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// One prefix step: lane k combines with lane k − S (forward) or k + S
// (backward); lanes without a partner combine with the identity clamp
// (0, 255), whose high bound the mask supplies.
template <int S, bool Forward>
void PrefixStep(__m128i& a, __m128i& b, __m128i identity_mask) {
  const __m128i a_before = Forward ? _mm_slli_si128(a, S) : _mm_srli_si128(a, S);
  const __m128i b_before =
      _mm_or_si128(Forward ? _mm_slli_si128(b, S) : _mm_srli_si128(b, S), identity_mask);
  a = _mm_max_epu8(a, _mm_min_epu8(b, a_before));
  b = _mm_min_epu8(b, b_before);
}

// Applies the 16 clamps (a, b) in lane order to the value carried in from
// the block before, which every lane of carry holds; returns the results.
template <bool Forward>
__m128i ApplyClamps(__m128i a, __m128i b, __m128i carry, const __m128i masks[4]) {
  PrefixStep<1, Forward>(a, b, masks[0]);
  PrefixStep<2, Forward>(a, b, masks[1]);
  PrefixStep<4, Forward>(a, b, masks[2]);
  PrefixStep<8, Forward>(a, b, masks[3]);
  return _mm_max_epu8(a, _mm_min_epu8(b, carry));
}

// The last lane of v (forward) or the first (backward) in every lane.  The
// carry stays in vector registers: a round trip through an integer register
// would lengthen the one chain of dependent steps from block to block.
__m128i BroadcastLastLane(__m128i v) {
  const __m128i pairs = _mm_unpackhi_epi8(v, v);
  return _mm_unpackhi_epi64(_mm_shufflehi_epi16(pairs, 0xFF), _mm_shufflehi_epi16(pairs, 0xFF));
}
__m128i BroadcastFirstLane(__m128i v) {
  const __m128i pairs = _mm_unpacklo_epi8(v, v);
  return _mm_unpacklo_epi64(_mm_shufflelo_epi16(pairs, 0), _mm_shufflelo_epi16(pairs, 0));
}

void ForwardScanSse2(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                     std::uint32_t last) {
  const __m128i masks[4] = {LowBytes(1), LowBytes(2), LowBytes(4), LowBytes(8)};
  std::uint32_t p = w + 1;
  __m128i carry = _mm_set1_epi8(static_cast<char>(m[p - 1]));
  for (; p <= last && last - p >= 15; p += 16) {
    const __m128i above = _mm_min_epu8(_mm_min_epu8(Load(m + p - w - 1), Load(m + p - w)),
                                       Load(m + p - w + 1));
    const __m128i out = ApplyClamps<true>(Load(image + p), _mm_min_epu8(Load(m + p), above),
                                          carry, masks);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(m + p), out);
    carry = BroadcastLastLane(out);
  }
  if (p <= last) ForwardScanScalar(m, image, w, p, last);
}

void BackwardScanSse2(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                      std::uint32_t first) {
  const __m128i masks[4] = {HighBytes(1), HighBytes(2), HighBytes(4), HighBytes(8)};
  __m128i carry = _mm_set1_epi8(static_cast<char>(m[first + 1]));
  std::uint32_t top = first;  // highest pixel of the next block
  for (; top >= 15; top -= 16) {
    const std::uint32_t p = top - 15;
    const __m128i below = _mm_min_epu8(_mm_min_epu8(Load(m + p + w - 1), Load(m + p + w)),
                                       Load(m + p + w + 1));
    const __m128i out = ApplyClamps<false>(Load(image + p), _mm_min_epu8(Load(m + p), below),
                                           carry, masks);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(m + p), out);
    carry = BroadcastFirstLane(out);
    if (top == 15) return;
  }
  BackwardScanScalar(m, image, w, top, 0);
}

// Sixteen lanes at once can only see neighbours outside their own block
// when rows are longer than the block.
constexpr std::uint32_t VectorMinimumWidth = 17;

// 256 × i / m rounded down, for four pairs widened to 32 bits.  n / m for
// integers n ≤ 65,280 and m ≤ 255 is exact after truncation of the
// correctly rounded single-precision quotient: a quotient that is not a
// whole number lies at least 1/255 below the next one, far more than the
// rounding error.  m = 0 gives the most negative integer.
__m128i QuarterQuotients(__m128i i32, __m128i m32) {
  const __m128 numerator = _mm_cvtepi32_ps(_mm_slli_epi32(i32, 8));
  return _mm_cvttps_epi32(_mm_div_ps(numerator, _mm_cvtepi32_ps(m32)));
}

// The 16-bit quotients of eight pairs widened to 16 bits.
__m128i HalfQuotients(__m128i i16, __m128i m16) {
  const __m128i zero = _mm_setzero_si128();
  return _mm_packs_epi32(
      QuarterQuotients(_mm_unpacklo_epi16(i16, zero), _mm_unpacklo_epi16(m16, zero)),
      QuarterQuotients(_mm_unpackhi_epi16(i16, zero), _mm_unpackhi_epi16(m16, zero)));
}

// Maps whole blocks of 16 pixels; a block holding a pair above its marker
// goes to the scalar loop, which raises the error at that pixel.
void MapPixelsSse2(std::uint8_t* image, const std::uint8_t* marker, std::uint32_t count) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i dark_limit = _mm_set1_epi8(29);
  std::uint32_t k = 0;
  for (; count - k >= 16; k += 16) {
    const __m128i i = Load(image + k);
    const __m128i m = Load(marker + k);
    const __m128i dark = _mm_and_si128(_mm_cmpeq_epi8(_mm_min_epu8(i, dark_limit), i),
                                       _mm_cmpeq_epi8(_mm_min_epu8(m, dark_limit), m));
    const __m128i admissible = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(i, m), m), _mm_cmpeq_epi8(m, zero)), dark);
    if (_mm_movemask_epi8(admissible) != 0xFFFF) {
      MapPixelsScalar(image + k, marker + k, 16);
      continue;
    }
    // Quotient less one, 0 staying 0; the most negative quotient (m = 0)
    // becomes 32,767 and saturates to 255 like every other value above it.
    const __m128i one = _mm_set1_epi16(1);
    const __m128i low = _mm_subs_epu16(
        HalfQuotients(_mm_unpacklo_epi8(i, zero), _mm_unpacklo_epi8(m, zero)), one);
    const __m128i high = _mm_subs_epu16(
        HalfQuotients(_mm_unpackhi_epi8(i, zero), _mm_unpackhi_epi8(m, zero)), one);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(image + k),
                     _mm_or_si128(_mm_packus_epi16(low, high), dark));
  }
  MapPixelsScalar(image + k, marker + k, count - k);
}

#endif  // __SSE2__

}  // namespace

KernelPath FastestKernelPath() {
#ifdef __SSE2__
  return KernelPath::Vector;
#else
  return KernelPath::Scalar;
#endif
}

void ForwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                 std::uint32_t width, std::uint32_t last) {
  if (last < width + 1) return;
#ifdef __SSE2__
  if (path == KernelPath::Vector && width >= VectorMinimumWidth) {
    ForwardScanSse2(marker, image, width, last);
    return;
  }
#endif
  static_cast<void>(path);
  ForwardScanScalar(marker, image, width, width + 1, last);
}

void BackwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                  std::uint32_t width, std::uint32_t first) {
#ifdef __SSE2__
  if (path == KernelPath::Vector && width >= VectorMinimumWidth) {
    BackwardScanSse2(marker, image, width, first);
    return;
  }
#endif
  static_cast<void>(path);
  BackwardScanScalar(marker, image, width, first, 0);
}

std::uint8_t MappedPixel(std::uint8_t image, std::uint8_t marker) { return Mapped(image, marker); }

void MapPixels(KernelPath path, std::uint8_t* image, const std::uint8_t* marker,
               std::uint32_t count) {
#ifdef __SSE2__
  if (path == KernelPath::Vector) {
    MapPixelsSse2(image, marker, count);
    return;
  }
#endif
  static_cast<void>(path);
  MapPixelsScalar(image, marker, count);
}

}  // namespace tessvane
