// The vector kernels of the scans and the mapping, written once over a
// type Ops that supplies the lane operations of one instruction set.  Each
// instruction set instantiates them in a translation unit of its own,
// compiled for that set (kernels_sse2.cpp, kernels_avx2.cpp).  Each
// instantiation takes a lane-operations type local to its translation
// unit, so the two sets of instantiations never meet.  How the
// kernels work is told in kernel_dispatch.cpp.
#pragma once

#include <cstdint>

#include "kernels_internal.h"
#include "pixel_kernels.h"

namespace tessvane::vector_kernels {

// For each prefix step of S = 1, 2, 4, ... lanes, the lanes that have no
// partner S lanes earlier in scan order: the first S (forward) or the last
// S (backward), as 255 in a vector.  Built once per scan.
template <typename Ops, bool Forward>
struct UnpairedLanes {
  typename Ops::Vec step[5];
  UnpairedLanes() {
    for (int k = 0; (1u << k) < Ops::Lanes; ++k) {
      step[k] = Forward ? Ops::LowLanes(1 << k) : Ops::HighLanes(1 << k);
    }
  }
};

// One prefix step: lane k combines its clamp (a, b) with that of lane k − S
// (forward) or k + S (backward), the earlier one in scan order.  Lanes
// without a partner combine with the identity clamp (0, 255): the shifts
// bring in zeros, and the unpaired mask turns the high bound's zeros into
// 255.
template <typename Ops, int S, bool Forward>
inline void PrefixStep(typename Ops::Vec& a, typename Ops::Vec& b, typename Ops::Vec unpaired) {
  const auto a_before = Forward ? Ops::template LanesUp<S>(a) : Ops::template LanesDown<S>(a);
  const auto b_before =
      Ops::Or(Forward ? Ops::template LanesUp<S>(b) : Ops::template LanesDown<S>(b), unpaired);
  a = Ops::Max(a, Ops::Min(b, a_before));
  b = Ops::Min(b, b_before);
}

// Applies the clamps (a, b) in scan order to the value carried in from the
// block before (in every lane of carry); returns the results.
template <typename Ops, bool Forward>
inline typename Ops::Vec ApplyClamps(typename Ops::Vec a, typename Ops::Vec b,
                                     typename Ops::Vec carry,
                                     const UnpairedLanes<Ops, Forward>& unpaired) {
  PrefixStep<Ops, 1, Forward>(a, b, unpaired.step[0]);
  PrefixStep<Ops, 2, Forward>(a, b, unpaired.step[1]);
  PrefixStep<Ops, 4, Forward>(a, b, unpaired.step[2]);
  PrefixStep<Ops, 8, Forward>(a, b, unpaired.step[3]);
  if constexpr (Ops::Lanes == 32) PrefixStep<Ops, 16, Forward>(a, b, unpaired.step[4]);
  return Ops::Max(a, Ops::Min(b, carry));
}

// The forward scan over p = first .. last (first ≥ w + 1) for rows longer
// than one block.
template <typename Ops>
void VectorForwardScan(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                       std::uint32_t first, std::uint32_t last) {
  constexpr std::uint32_t Lanes = Ops::Lanes;
  const UnpairedLanes<Ops, true> unpaired;
  std::uint32_t p = first;
  auto carry = Ops::Splat(m[p - 1]);
  for (; p <= last && last - p >= Lanes - 1; p += Lanes) {
    const auto above = Ops::Min(Ops::Min(Ops::Load(m + p - w - 1), Ops::Load(m + p - w)),
                                Ops::Load(m + p - w + 1));
    const auto out = ApplyClamps<Ops, true>(Ops::Load(image + p),
                                            Ops::Min(Ops::Load(m + p), above), carry, unpaired);
    Ops::Store(m + p, out);
    carry = Ops::BroadcastLast(out);
  }
  if (p <= last) ForwardScanScalar(m, image, w, p, last);
}

// One block of the backward scan: marker pixels p .. p + Lanes − 1 under
// image pixels pixels, the carry coming from the block after it.  Stores
// and returns the block's new marker pixels; the carry moves on.
template <typename Ops>
inline typename Ops::Vec BackwardBlock(std::uint8_t* m, typename Ops::Vec pixels, std::uint32_t w,
                                       std::uint32_t p, typename Ops::Vec& carry,
                                       const UnpairedLanes<Ops, false>& unpaired) {
  const auto below = Ops::Min(Ops::Min(Ops::Load(m + p + w - 1), Ops::Load(m + p + w)),
                              Ops::Load(m + p + w + 1));
  const auto out = ApplyClamps<Ops, false>(pixels, Ops::Min(Ops::Load(m + p), below), carry,
                                           unpaired);
  Ops::Store(m + p, out);
  carry = Ops::BroadcastFirst(out);
  return out;
}

// The backward scan over p = first .. 0 for rows longer than one block.
template <typename Ops>
void VectorBackwardScan(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                        std::uint32_t first) {
  constexpr std::uint32_t Lanes = Ops::Lanes;
  const UnpairedLanes<Ops, false> unpaired;
  auto carry = Ops::Splat(m[first + 1]);
  std::uint32_t top = first;  // highest pixel of the next block
  for (; top >= Lanes - 1; top -= Lanes) {
    BackwardBlock<Ops>(m, Ops::Load(image + top - (Lanes - 1)), w, top - (Lanes - 1), carry,
                       unpaired);
    if (top == Lanes - 1) return;
  }
  BackwardScanScalar(m, image, w, top, 0);
}

// 256 × i / m rounded down, for lanes of 32-bit pairs.  n / m for integers
// n ≤ 65,280 and m ≤ 255 is exact after truncation of the correctly
// rounded single-precision quotient: a quotient that is not a whole number
// lies at least 1/255 below the next one, far more than the rounding
// error.  m = 0 gives the most negative integer.
template <typename Ops>
inline typename Ops::Vec Quotients32(typename Ops::Vec i32, typename Ops::Vec m32) {
  return Ops::Truncate(Ops::Divide(Ops::ToFloat(Ops::ShiftLeft32By8(i32)), Ops::ToFloat(m32)));
}

// The 16-bit quotients of pairs widened to 16 bits.
template <typename Ops>
inline typename Ops::Vec Quotients16(typename Ops::Vec i16, typename Ops::Vec m16) {
  const auto zero = Ops::Zero();
  return Ops::PackSigned32(Quotients32<Ops>(Ops::WidenLow16(i16, zero), Ops::WidenLow16(m16, zero)),
                           Quotients32<Ops>(Ops::WidenHigh16(i16, zero), Ops::WidenHigh16(m16, zero)));
}

// The dark pairs of a block as 255 lanes: image and marker pixel both
// below DarkLimit (a byte is below it exactly when its minimum with
// DarkLimit − 1 is itself).
template <typename Ops>
inline typename Ops::Vec DarkPairs(typename Ops::Vec i, typename Ops::Vec m) {
  const auto darkest_not_white = Ops::Splat(static_cast<std::uint8_t>(DarkLimit - 1));
  return Ops::And(Ops::Equal(Ops::Min(i, darkest_not_white), i),
                  Ops::Equal(Ops::Min(m, darkest_not_white), m));
}

// True when every pair of the block is admissible: at or below its
// marker, a marker of 0, or dark.
template <typename Ops>
inline bool Admissible(typename Ops::Vec i, typename Ops::Vec m) {
  return Ops::AllSet(Ops::Or(Ops::Or(Ops::Equal(Ops::Max(i, m), m), Ops::Equal(m, Ops::Zero())),
                             DarkPairs<Ops>(i, m)));
}

// The mapped values of a block of image pixels i under marker pixels m,
// every pair admissible.
template <typename Ops>
inline typename Ops::Vec MapAdmissibleBlock(typename Ops::Vec i, typename Ops::Vec m) {
  const auto zero = Ops::Zero();
  // Quotient less one, 0 staying 0; the most negative quotient (m = 0)
  // becomes 32,767 and saturates to 255 like every other value above it.
  const auto low = Ops::SubtractOne16(Quotients16<Ops>(Ops::WidenLow8(i, zero), Ops::WidenLow8(m, zero)));
  const auto high =
      Ops::SubtractOne16(Quotients16<Ops>(Ops::WidenHigh8(i, zero), Ops::WidenHigh8(m, zero)));
  return Ops::Or(Ops::PackUnsigned16(low, high), DarkPairs<Ops>(i, m));
}

// Maps whole blocks into out (image or marker); a block holding a pair
// above its marker goes to the scalar loop, which raises the error at that
// pixel.
template <typename Ops>
void VectorMapPixels(std::uint8_t* out, const std::uint8_t* image, const std::uint8_t* marker,
                     std::uint32_t count) {
  constexpr std::uint32_t Lanes = Ops::Lanes;
  std::uint32_t k = 0;
  for (; count - k >= Lanes; k += Lanes) {
    const auto i = Ops::Load(image + k);
    const auto m = Ops::Load(marker + k);
    if (Admissible<Ops>(i, m)) {
      Ops::Store(out + k, MapAdmissibleBlock<Ops>(i, m));
    } else {
      MapPixelsScalar(out + k, image + k, marker + k, Lanes);
    }
  }
  MapPixelsScalar(out + k, image + k, marker + k, count - k);
}

// The backward scan from band.top down for rows longer than one block,
// replacing each marker pixel by its mapped value once the scan will read
// it no more.  The block at p reads the marker up to p + w + Lanes, and
// every later block no further than p + w, so once the block at p is done
// every pixel past p + w is final and free: the mapping follows a row and
// a block behind the scan.  Every marker value the scan writes is at least
// its image pixel, so every pair it maps is admissible.  The image is only
// read.  The scan stops before a block that would start below stop, so
// that a scan in bands gives the bytes of one scan: the carry from the
// block after is the marker pixel just above band.top, as at the start.
// At the end, the pixels left unmapped are the last row and a block the
// scan visited, and its scalar tail.
template <typename Ops>
BackwardBand VectorBackwardScanAndMap(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                                      BackwardBand band, std::uint32_t stop) {
  constexpr std::uint32_t Lanes = Ops::Lanes;
  const UnpairedLanes<Ops, false> unpaired;
  auto carry = Ops::Splat(m[band.top + 1]);
  for (;;) {
    if (band.top < Lanes - 1) {
      BackwardScanScalar(m, image, w, band.top, 0);
      band.finished = true;
      return band;
    }
    const std::uint32_t p = band.top - (Lanes - 1);
    if (p < stop) return band;
    BackwardBlock<Ops>(m, Ops::Load(image + p), w, p, carry, unpaired);
    for (; band.unmapped_end >= p + w + 1 + Lanes; band.unmapped_end -= Lanes) {
      const std::uint32_t k = band.unmapped_end - Lanes;
      Ops::Store(m + k, MapAdmissibleBlock<Ops>(Ops::Load(image + k), Ops::Load(m + k)));
    }
    if (p == 0) {
      band.finished = true;
      return band;
    }
    band.top = p - 1;
  }
}

// The kernel set of one instruction set, for its translation unit to define.
template <typename Ops>
constexpr VectorKernelSet KernelSetOf() noexcept {
  return {Ops::Lanes + 1, &VectorForwardScan<Ops>, &VectorBackwardScan<Ops>,
          &VectorBackwardScanAndMap<Ops>, &VectorMapPixels<Ops>};
}

}  // namespace tessvane::vector_kernels
