// The reconstruction by erosion: the forward and the backward scan of the
// marker.  See border_clearing.h for what they compute.
//
// Neighbours are reached by relative linear index alone, so at the first and
// last column they wrap to the far end of the neighbouring row.  That only
// ever serves frame pixels, whose marker equals the image and which a visit
// therefore cannot change.
//
// Every pixel access is bounds-checked.  Where both pixel arrays hold the
// whole image no check inside a loop can fail, so the loops then run as the
// kernels of pixel_kernels.h on raw bytes; otherwise they run here with
// every access checked and fail at exactly the first index past an array's
// end.
#include <algorithm>

#include "border_clearing.h"
#include "pixel_count.h"
#include "pixel_kernels.h"

namespace tessvane {
namespace {

// The forward scan with every access checked; the same steps as ForwardScan.
void CheckedForwardScan(ByteArray& m, const ByteArray& image, std::uint32_t w, std::uint32_t last) {
  for (std::uint32_t p = w + 1; p <= last; ++p) {
    const std::uint8_t t = std::min({m[p], m[p - 1], m[p - w - 1], m[p - w], m[p - w + 1]});
    m[p] = std::max(t, image[p]);
  }
}

// The backward scan with every access checked; the same steps as BackwardScan.
void CheckedBackwardScan(ByteArray& m, const ByteArray& image, std::uint32_t w,
                         std::uint32_t first) {
  for (std::uint32_t p = first + 1; p-- > 0;) {
    const std::uint8_t t = std::min({m[p], m[p + w - 1], m[p + w], m[p + w + 1], m[p + 1]});
    m[p] = std::max(t, image[p]);
  }
}

}  // namespace

std::int32_t ReconstructByErosion(const TMyImage& image, TMyImage& marker) {
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t count = PixelCount(image);
  const std::uint32_t last = CheckedSubUnsigned(count, 1);
  // Both scans are empty below two interior-reaching pixels, and the
  // backward scan's start cannot be formed there: refuse before scanning.
  const std::uint32_t backward_first = CheckedSubUnsigned(CheckedSubUnsigned(count, width), 2);

  if (image.Pixels.Length() >= count && marker.Pixels.Length() >= count) {
    const KernelPath path = FastestKernelPath();
    ForwardScan(path, marker.Pixels.Data(), image.Pixels.Data(), width, last);
    BackwardScan(path, marker.Pixels.Data(), image.Pixels.Data(), width, backward_first);
  } else {
    CheckedForwardScan(marker.Pixels, image.Pixels, width, last);
    CheckedBackwardScan(marker.Pixels, image.Pixels, width, backward_first);
  }
  return 1;
}

}  // namespace tessvane
