// The kernels of the erosion scans and the mapping: scalar code, and the
// dispatch to the vector kernels of vector_kernels.h (SSE2 here, AVX2 in
// pixel_kernels_avx2.cpp).
//
// The scans.  In the forward scan, pixel p takes
//   x[p] = max(I[p], min(t[p], x[p − 1])),
//   t[p] = min(M[p], M[p − W − 1], M[p − W], M[p − W + 1]),
// where x[p − 1] is the value just written at p − 1.  When the rows are
// longer than a block of lanes, the three neighbours above every pixel of a
// block lie before the block, so t is one vector of minima.  What remains
// is the recurrence through x.  Each step is a clamp, x -> max(a, min(b, x))
// with a = I[p] and b = t[p], and clamps compose into clamps:
//   (a2, b2) after (a1, b1)  =  (max(a2, min(b2, a1)), min(b2, b1)),
// so a prefix over the lanes (shift-and-combine steps of 1, 2, 4, ...
// lanes) gives each lane the composition of all the clamps up to it, which
// is then applied to the value carried in from the block before.  The
// backward scan is the mirror image.  The pixels are taken in linear order
// exactly as the scalar kernel takes them, neighbours across row ends
// included, so every path gives the same bytes.
//
// The mapping is a pure function of two bytes.  The scalar kernel looks it
// up in a table of all 65,536 pairs built at compile time; the vector
// kernels divide in single precision, which is exact for these operands.
#include "pixel_kernels.h"

#include <array>

#include "checked.h"
#include "pixel_kernels_internal.h"

#ifdef __SSE2__
#include <emmintrin.h>

#include "vector_kernels.h"
#endif

namespace tessvane {
namespace {

// Minimum and maximum by value, which compilers turn into conditional
// moves: pixel comparisons are unpredictable, branches on them are slow.
inline std::uint32_t Min(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }
inline std::uint32_t Max(std::uint32_t a, std::uint32_t b) { return a < b ? b : a; }

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

#ifdef __SSE2__

// The lane operations on 16 bytes.
struct Sse2 {
  using Vec = __m128i;
  static constexpr std::uint32_t Lanes = 16;

  static Vec Load(const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const Vec*>(at)); }
  static void Store(std::uint8_t* at, Vec v) { _mm_storeu_si128(reinterpret_cast<Vec*>(at), v); }
  static Vec Zero() { return _mm_setzero_si128(); }
  static Vec Splat(std::uint8_t value) { return _mm_set1_epi8(static_cast<char>(value)); }
  static Vec Min(Vec a, Vec b) { return _mm_min_epu8(a, b); }
  static Vec Max(Vec a, Vec b) { return _mm_max_epu8(a, b); }
  static Vec Or(Vec a, Vec b) { return _mm_or_si128(a, b); }
  static Vec And(Vec a, Vec b) { return _mm_and_si128(a, b); }
  static Vec Equal(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
  static bool AllSet(Vec v) { return _mm_movemask_epi8(v) == 0xFFFF; }

  // Lane k takes lane k − S (up) or k + S (down); lanes without one get 0.
  template <int S>
  static Vec LanesUp(Vec v) { return _mm_slli_si128(v, S); }
  template <int S>
  static Vec LanesDown(Vec v) { return _mm_srli_si128(v, S); }
  static Vec LowLanes(int count) { return Lanes255(0, count); }
  static Vec HighLanes(int count) { return Lanes255(16 - count, 16); }
  // The carry stays in vector registers: a round trip through an integer
  // register would lengthen the one chain of dependent steps between blocks.
  static Vec BroadcastLast(Vec v) {
    const Vec pairs = _mm_shufflehi_epi16(_mm_unpackhi_epi8(v, v), 0xFF);
    return _mm_unpackhi_epi64(pairs, pairs);
  }
  static Vec BroadcastFirst(Vec v) {
    const Vec pairs = _mm_shufflelo_epi16(_mm_unpacklo_epi8(v, v), 0);
    return _mm_unpacklo_epi64(pairs, pairs);
  }

  static Vec WidenLow8(Vec v, Vec zero) { return _mm_unpacklo_epi8(v, zero); }
  static Vec WidenHigh8(Vec v, Vec zero) { return _mm_unpackhi_epi8(v, zero); }
  static Vec WidenLow16(Vec v, Vec zero) { return _mm_unpacklo_epi16(v, zero); }
  static Vec WidenHigh16(Vec v, Vec zero) { return _mm_unpackhi_epi16(v, zero); }
  static Vec ShiftLeft32By8(Vec v) { return _mm_slli_epi32(v, 8); }
  static __m128 ToFloat(Vec v) { return _mm_cvtepi32_ps(v); }
  static __m128 Divide(__m128 a, __m128 b) { return _mm_div_ps(a, b); }
  static Vec Truncate(__m128 v) { return _mm_cvttps_epi32(v); }
  static Vec PackSigned32(Vec a, Vec b) { return _mm_packs_epi32(a, b); }
  static Vec SubtractOne16(Vec v) { return _mm_subs_epu16(v, _mm_set1_epi16(1)); }
  static Vec PackUnsigned16(Vec a, Vec b) { return _mm_packus_epi16(a, b); }

 private:
  // 255 in lanes begin .. end − 1, 0 elsewhere.
  static Vec Lanes255(int begin, int end) {
    alignas(16) std::uint8_t bytes[16] = {};
    for (int k = begin; k < end; ++k) bytes[k] = 255;
    return _mm_load_si128(reinterpret_cast<const Vec*>(bytes));
  }
};

#endif  // __SSE2__

// The shortest rows each vector width can scan: a block's neighbours in
// the row before (or after) must lie outside the block.
constexpr std::uint32_t Sse2MinimumWidth = 17;
constexpr std::uint32_t Avx2MinimumWidth = 33;

bool HasAvx2() {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
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

void MapPixelsScalar(std::uint8_t* image, const std::uint8_t* marker, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) image[k] = Mapped(image[k], marker[k]);
}

std::uint8_t MappedPixel(std::uint8_t image, std::uint8_t marker) { return Mapped(image, marker); }

bool KernelPathAvailable(KernelPath path) {
  if (path == KernelPath::Avx2) return HasAvx2();
#ifndef __SSE2__
  if (path == KernelPath::Sse2) return false;
#endif
  return true;
}

KernelPath FastestKernelPath() {
  if (KernelPathAvailable(KernelPath::Avx2)) return KernelPath::Avx2;
  if (KernelPathAvailable(KernelPath::Sse2)) return KernelPath::Sse2;
  return KernelPath::Scalar;
}

void ForwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                 std::uint32_t width, std::uint32_t last) {
  if (last < width + 1) return;
#if defined(__x86_64__)
  if (path == KernelPath::Avx2 && width >= Avx2MinimumWidth) {
    ForwardScanAvx2(marker, image, width, last);
    return;
  }
#endif
#ifdef __SSE2__
  if (path != KernelPath::Scalar && width >= Sse2MinimumWidth) {
    vector_kernels::VectorForwardScan<Sse2>(marker, image, width, last);
    return;
  }
#endif
  ForwardScanScalar(marker, image, width, width + 1, last);
}

void BackwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                  std::uint32_t width, std::uint32_t first) {
#if defined(__x86_64__)
  if (path == KernelPath::Avx2 && width >= Avx2MinimumWidth) {
    BackwardScanAvx2(marker, image, width, first);
    return;
  }
#endif
#ifdef __SSE2__
  if (path != KernelPath::Scalar && width >= Sse2MinimumWidth) {
    vector_kernels::VectorBackwardScan<Sse2>(marker, image, width, first);
    return;
  }
#endif
  BackwardScanScalar(marker, image, width, first, 0);
}

void MapPixels(KernelPath path, std::uint8_t* image, const std::uint8_t* marker,
               std::uint32_t count) {
#if defined(__x86_64__)
  if (path == KernelPath::Avx2) {
    MapPixelsAvx2(image, marker, count);
    return;
  }
#endif
#ifdef __SSE2__
  if (path != KernelPath::Scalar) {
    vector_kernels::VectorMapPixels<Sse2>(image, marker, count);
    return;
  }
#endif
  MapPixelsScalar(image, marker, count);
}

}  // namespace tessvane
