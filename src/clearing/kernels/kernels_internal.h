// What the kernel translation units share: the scalar kernels, which the
// vector kernels use for their tails, and the entry points of the SSE2 and
// AVX2 kernels, each in a translation unit compiled for its instruction set.
#pragma once

#include <cstdint>

namespace tessvane {

// The forward scan over p = first .. last, increasing.
void ForwardScanScalar(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                       std::uint32_t first, std::uint32_t last);

// The backward scan over p = first .. stop, decreasing.
void BackwardScanScalar(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                        std::uint32_t first, std::uint32_t stop);

// The mapping of pixels 0 .. count − 1, by table, into out, which may be
// image or marker itself.
void MapPixelsScalar(std::uint8_t* out, const std::uint8_t* image, const std::uint8_t* marker,
                     std::uint32_t count);

// Where a backward scan that maps behind it stands: the highest pixel it
// has still to scan (when not finished), and the end of the pixels it
// has left unmapped, 0 .. unmapped_end − 1, all of them from first on.
struct BackwardBand {
  std::uint32_t top;
  std::uint32_t unmapped_end;
  bool finished;
};

// The vector kernels of one instruction set, and the shortest rows they
// can scan: a block's neighbours in the row before (or after) must lie
// outside the block, so rows must be longer than a block of lanes.
struct VectorKernelSet {
  std::uint32_t minimum_width;
  // The forward scan over p = first .. last, increasing.
  void (*forward_scan)(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                       std::uint32_t first, std::uint32_t last);
  // The backward scan over p = first .. 0, decreasing.
  void (*backward_scan)(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                        std::uint32_t first);
  // The backward scan from band.top down to the lowest block that starts
  // at stop or above (to 0 when stop is 0), mapping into the marker every
  // pixel the scan has left behind for good; returns where it stopped.
  BackwardBand (*backward_scan_and_map)(std::uint8_t* m, const std::uint8_t* image,
                                        std::uint32_t w, BackwardBand band, std::uint32_t stop);
  // The mapping of pixels 0 .. count − 1 into out (image or marker).
  void (*map_pixels)(std::uint8_t* out, const std::uint8_t* image, const std::uint8_t* marker,
                     std::uint32_t count);
};

#ifdef __SSE2__
extern const VectorKernelSet Sse2Kernels;  // 16 lanes, every x86-64 processor
#endif
#if defined(__x86_64__)
extern const VectorKernelSet Avx2Kernels;  // 32 lanes; only where the processor has AVX2
#endif

}  // namespace tessvane
