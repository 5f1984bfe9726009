// The choice of kernel path: each call goes to the widest path that this
// build and processor have and the row width allows (AVX2 in
// kernels_avx2.cpp, SSE2 in kernels_sse2.cpp, scalar in kernels_scalar.cpp).
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

#include <cstring>

#include "kernels_internal.h"

namespace tessvane {
namespace {

bool HasAvx2() {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

// The vector kernels that path runs on rows of width pixels; nullptr where
// only the scalar kernels serve.
const VectorKernelSet* VectorKernelsFor([[maybe_unused]] KernelPath path,
                                        [[maybe_unused]] std::uint32_t width) {
#if defined(__x86_64__)
  if (path == KernelPath::Avx2 && width >= Avx2Kernels.minimum_width) return &Avx2Kernels;
#endif
#ifdef __SSE2__
  if (path != KernelPath::Scalar && width >= Sse2Kernels.minimum_width) return &Sse2Kernels;
#endif
  return nullptr;
}

}  // namespace

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

namespace {

// The forward scan over p = first .. last, first ≥ width + 1.
void ForwardScanRange(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                      std::uint32_t width, std::uint32_t first, std::uint32_t last) {
  if (last < first) return;
  if (const VectorKernelSet* vector = VectorKernelsFor(path, width)) {
    vector->forward_scan(marker, image, width, first, last);
  } else {
    ForwardScanScalar(marker, image, width, first, last);
  }
}

// Rows first_row .. end_row − 1 of the border marker: 255 inside, the
// image on the first and last column and on the image's last row.
void SetUpMarkerRows(std::uint8_t* marker, const std::uint8_t* image, std::uint32_t width,
                     std::uint32_t height, std::uint32_t first_row, std::uint32_t end_row) {
  for (std::uint32_t row = first_row; row < end_row; ++row) {
    std::uint8_t* out = marker + std::size_t{row} * width;
    const std::uint8_t* in = image + std::size_t{row} * width;
    if (row + 1 == height) {
      std::memcpy(out, in, width);
    } else {
      std::memset(out, 255, width);
      out[0] = in[0];
      out[width - 1] = in[width - 1];
    }
  }
}

// The pixels a backward scan in bands covers between two reports of the
// pixels it has mapped: a quarter of a megapixel, a few dozen rows.
constexpr std::uint32_t BackwardBandPixels = std::uint32_t{1} << 18;

// The backward scan over p = first .. 0, mapping into the marker on the
// way what the path maps behind the scan, and telling mapped, when given,
// after each band of pixels; returns the end of the pixels left unmapped.
std::uint32_t BackwardScanMappingBlocks(KernelPath path, std::uint8_t* marker,
                                        const std::uint8_t* image, std::uint32_t width,
                                        std::uint32_t first, const MappedPixels& mapped) {
  const VectorKernelSet* vector = VectorKernelsFor(path, width);
  if (vector == nullptr) {
    BackwardScanScalar(marker, image, width, first, 0);
    return first + 1;
  }
  BackwardBand band{first, first + 1, false};
  while (!band.finished) {
    const bool banded = mapped && band.top > BackwardBandPixels;
    band = vector->backward_scan_and_map(marker, image, width, band,
                                         banded ? band.top - BackwardBandPixels : 0);
    if (banded && band.unmapped_end <= first) mapped(band.unmapped_end, first + 1);
  }
  return band.unmapped_end;
}

// MapPixels with the results in out, which may be image or marker.
void MapPixelsInto(KernelPath path, std::uint8_t* out, const std::uint8_t* image,
                   const std::uint8_t* marker, std::uint32_t count) {
  // The mapping is pixel by pixel: any row width suits the vector kernels.
  if (const VectorKernelSet* vector = VectorKernelsFor(path, UINT32_MAX)) {
    vector->map_pixels(out, image, marker, count);
  } else {
    MapPixelsScalar(out, image, marker, count);
  }
}

}  // namespace

void ForwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                 std::uint32_t width, std::uint32_t last) {
  ForwardScanRange(path, marker, image, width, width + 1, last);
}

void MarkerAndForwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                          std::uint32_t width, std::uint32_t height) {
  // A band of rows is set up just before it is scanned, so that its marker
  // rows are still in the cache when the scan reads them.
  constexpr std::uint32_t BandPixels = 64 * 1024;
  const std::uint32_t band_rows = width >= BandPixels ? 1 : BandPixels / width;
  std::memcpy(marker, image, width);  // the first row
  for (std::uint32_t row = 1; row < height; row += band_rows) {
    const std::uint32_t end_row = height - row < band_rows ? height : row + band_rows;
    SetUpMarkerRows(marker, image, width, height, row, end_row);
    const std::uint32_t first = row == 1 ? width + 1 : row * width;
    ForwardScanRange(path, marker, image, width, first, end_row * width - 1);
  }
}

void BackwardScan(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                  std::uint32_t width, std::uint32_t first) {
  if (const VectorKernelSet* vector = VectorKernelsFor(path, width)) {
    vector->backward_scan(marker, image, width, first);
  } else {
    BackwardScanScalar(marker, image, width, first, 0);
  }
}

void BackwardScanAndMap(KernelPath path, std::uint8_t* marker, const std::uint8_t* image,
                        std::uint32_t width, std::uint32_t first, std::uint32_t count,
                        const MappedPixels& mapped) {
  const std::uint32_t unmapped_end =
      BackwardScanMappingBlocks(path, marker, image, width, first, mapped);
  // The scan leaves every marker pixel up to first at least its image
  // pixel, so only the pixels after first can raise, and they come last,
  // as in a whole mapping after the scan.
  MapPixelsInto(path, marker, image, marker, unmapped_end);
  MapPixelsInto(path, marker + first + 1, image + first + 1, marker + first + 1,
                count - first - 1);
}

void MapPixels(KernelPath path, std::uint8_t* image, const std::uint8_t* marker,
               std::uint32_t count) {
  MapPixelsInto(path, image, image, marker, count);
}

}  // namespace tessvane
