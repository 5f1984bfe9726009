// The SSE2 kernels: the vector kernels of vector_kernels.h on 16 lanes.
// SSE2 is part of every x86-64 processor, so this path needs no check at
// run time; elsewhere the file is empty.
#ifdef __SSE2__
#include <emmintrin.h>

#include "kernels_internal.h"
#include "vector_kernels.h"

namespace tessvane {
namespace {

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

}  // namespace

constinit const VectorKernelSet Sse2Kernels = vector_kernels::KernelSetOf<Sse2>();

}  // namespace tessvane

#endif  // __SSE2__
