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

// The mapping of image pixels 0 .. count − 1, by table.
void MapPixelsScalar(std::uint8_t* image, const std::uint8_t* marker, std::uint32_t count);

#ifdef __SSE2__
// The SSE2 kernels, for rows of at least 17 pixels.
void ForwardScanSse2(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                     std::uint32_t first, std::uint32_t last);
void BackwardScanSse2(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                      std::uint32_t first);
// The backward scan, mapping every block it finishes; returns the end of
// the pixels left unmapped.
std::uint32_t BackwardScanAndMapSse2(std::uint8_t* m, std::uint8_t* image, std::uint32_t w,
                                    std::uint32_t first);
void MapPixelsSse2(std::uint8_t* image, const std::uint8_t* marker, std::uint32_t count);
#endif

#if defined(__x86_64__)
// The AVX2 kernels, for rows of at least 33 pixels; call only on a
// processor that has AVX2.
void ForwardScanAvx2(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                     std::uint32_t first, std::uint32_t last);
void BackwardScanAvx2(std::uint8_t* m, const std::uint8_t* image, std::uint32_t w,
                      std::uint32_t first);
// The backward scan, mapping every block it finishes; returns the end of
// the pixels left unmapped.
std::uint32_t BackwardScanAndMapAvx2(std::uint8_t* m, std::uint8_t* image, std::uint32_t w,
                                    std::uint32_t first);
void MapPixelsAvx2(std::uint8_t* image, const std::uint8_t* marker, std::uint32_t count);
#endif

}  // namespace tessvane
