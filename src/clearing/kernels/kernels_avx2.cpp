// The AVX2 kernels: the vector kernels of vector_kernels.h on 32 lanes.
// This file is compiled for AVX2; its functions run only where the
// processor has it (see FastestKernelPath).
#include <immintrin.h>

#include "vector_kernels.h"

namespace tessvane {
namespace {

// The lane operations on 32 bytes.  The byte shifts of AVX2 work within
// each 128-bit half, so moving lanes across the whole vector pairs them
// with a permutation of the halves.
struct Avx2 {
  using Vec = __m256i;
  static constexpr std::uint32_t Lanes = 32;

  static Vec Load(const std::uint8_t* at) { return _mm256_loadu_si256(reinterpret_cast<const Vec*>(at)); }
  static void Store(std::uint8_t* at, Vec v) { _mm256_storeu_si256(reinterpret_cast<Vec*>(at), v); }
  static Vec Zero() { return _mm256_setzero_si256(); }
  static Vec Splat(std::uint8_t value) { return _mm256_set1_epi8(static_cast<char>(value)); }
  static Vec Min(Vec a, Vec b) { return _mm256_min_epu8(a, b); }
  static Vec Max(Vec a, Vec b) { return _mm256_max_epu8(a, b); }
  static Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
  static Vec And(Vec a, Vec b) { return _mm256_and_si256(a, b); }
  static Vec Equal(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
  static bool AllSet(Vec v) { return _mm256_movemask_epi8(v) == -1; }

  // Lane k takes lane k − S; the lowest S lanes get 0.
  template <int S>
  static Vec LanesUp(Vec v) {
    const Vec low_half_up = _mm256_permute2x128_si256(v, v, 0x08);  // [0, low half]
    if constexpr (S == 16) {
      return low_half_up;
    } else {
      return _mm256_alignr_epi8(v, low_half_up, 16 - S);
    }
  }
  // Lane k takes lane k + S; the highest S lanes get 0.
  template <int S>
  static Vec LanesDown(Vec v) {
    const Vec high_half_down = _mm256_permute2x128_si256(v, v, 0x81);  // [high half, 0]
    if constexpr (S == 16) {
      return high_half_down;
    } else {
      return _mm256_alignr_epi8(high_half_down, v, S);
    }
  }
  static Vec LowLanes(int count) { return Lanes255(0, count); }
  static Vec HighLanes(int count) { return Lanes255(32 - count, 32); }
  static Vec BroadcastLast(Vec v) {
    return _mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0xFF), _mm256_set1_epi8(7));
  }
  static Vec BroadcastFirst(Vec v) { return _mm256_broadcastb_epi8(_mm256_castsi256_si128(v)); }

  static Vec WidenLow8(Vec v, Vec zero) { return _mm256_unpacklo_epi8(v, zero); }
  static Vec WidenHigh8(Vec v, Vec zero) { return _mm256_unpackhi_epi8(v, zero); }
  static Vec WidenLow16(Vec v, Vec zero) { return _mm256_unpacklo_epi16(v, zero); }
  static Vec WidenHigh16(Vec v, Vec zero) { return _mm256_unpackhi_epi16(v, zero); }
  static Vec ShiftLeft32By8(Vec v) { return _mm256_slli_epi32(v, 8); }
  static __m256 ToFloat(Vec v) { return _mm256_cvtepi32_ps(v); }
  static __m256 Divide(__m256 a, __m256 b) { return _mm256_div_ps(a, b); }
  static Vec Truncate(__m256 v) { return _mm256_cvttps_epi32(v); }
  static Vec PackSigned32(Vec a, Vec b) { return _mm256_packs_epi32(a, b); }
  static Vec SubtractOne16(Vec v) { return _mm256_subs_epu16(v, _mm256_set1_epi16(1)); }
  static Vec PackUnsigned16(Vec a, Vec b) { return _mm256_packus_epi16(a, b); }

 private:
  // 255 in lanes begin .. end − 1, 0 elsewhere.
  static Vec Lanes255(int begin, int end) {
    alignas(32) std::uint8_t bytes[32] = {};
    for (int k = begin; k < end; ++k) bytes[k] = 255;
    return _mm256_load_si256(reinterpret_cast<const Vec*>(bytes));
  }
};

}  // namespace

constinit const VectorKernelSet Avx2Kernels = vector_kernels::KernelSetOf<Avx2>();

}  // namespace tessvane
