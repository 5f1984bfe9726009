// The inner loops of the reconstruction and the mapping, on raw pixel
// bytes whose whole range the caller has already checked.
//
// Each kernel exists as portable scalar code and, on x86-64, as vector code
// for SSE2 (16 lanes, every x86-64) and AVX2 (32 lanes, chosen when the
// processor has it).  All paths give the same bytes for every input; the
// tests run them all on random images and markers.
#pragma once

#include <cstdint>
#include <functional>

namespace tessvane {

// An image pixel and its marker pixel both below this are a dark pair,
// part of a dark region joined to the border: the mapping makes it white.
inline constexpr std::uint32_t DarkLimit = 30;

enum class KernelPath { Scalar, Sse2, Avx2 };

// True when this build and this processor can run path.
bool KernelPathAvailable(KernelPath path);

// The widest available path.
KernelPath FastestKernelPath();

// Forward erosion scan over p = width + 1 .. last: marker[p] becomes
// max(image[p], min(marker[p], marker[p − 1], marker[p − width − 1],
// marker[p − width], marker[p − width + 1])), in increasing p, each step
// seeing the values the earlier steps wrote.  Needs last < both lengths.
void ForwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                 std::uint32_t width, std::uint32_t last);

// Backward erosion scan over p = first .. 0, decreasing: the same with the
// neighbours p + width − 1, p + width, p + width + 1 and p + 1.  Needs
// first + width + 1 < both lengths.
void BackwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                  std::uint32_t width, std::uint32_t first);

// The border marker of the image written into marker (the image on the
// first and last row and column, 255 inside), then ForwardScan over it to
// the last pixel, both a band of rows at a time: the same bytes as the
// two done one after the other.  Needs width, height ≥ 1 and width ×
// height pixels in both arrays.
void MarkerAndForwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                          std::uint32_t width, std::uint32_t height);

// Told that marker pixels begin .. end − 1 hold their mapped values and
// will not change again; called on the scanning thread.
using MappedPixels = std::function<void(std::uint32_t begin, std::uint32_t end)>;

// BackwardScan from first, then the mapping of pixels 0 .. count − 1 with
// the results in the marker, in one pass where the path allows: marker
// pixel k ends as MappedPixel(image[k], the scanned marker[k]), and
// ERangeError comes at the same first pixel as MapPixels raises it, with
// the marker pixels before it mapped.  The image is only read, so it may
// be a view of a file.  Needs first + width + 1 < count ≤ both lengths.
// mapped, when given, is told every few dozen rows which pixels the scan
// has mapped for good so far (from the bottom up, never the last row,
// which is mapped at the end).
void BackwardScanAndMap(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                        std::uint32_t width, std::uint32_t first, std::uint32_t count,
                        const MappedPixels& mapped = {});

// The mapped value of an image pixel under its marker pixel: 255 when both
// are below DarkLimit, else 256 × image / marker rounded down, less 1 (0 at
// least; 255 for a marker of 0).  ERangeError for an image pixel above a
// marker of 1 or more that is not dark, whose value would exceed 255.
std::uint8_t MappedPixel(std::uint8_t image, std::uint8_t marker);

// Maps image pixels 0 .. count − 1 through their marker pixels with
// MappedPixel.  A pixel above its marker that is not dark raises
// ERangeError after the pixels before it have been mapped.
void MapPixels(KernelPath path, std::uint8_t* image, const std::uint8_t* marker,
               std::uint32_t count);

}  // namespace tessvane
