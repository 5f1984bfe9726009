// Border clearing: the marker, the reconstruction by erosion and the final
// mapping.
//
// The marker starts as the image on its frame and white (255) inside.  One
// forward and one backward raster scan of grayscale erosion lower it towards
// the image: each visited pixel takes the minimum of itself and its four
// already-visited 8-neighbours, but never less than the image pixel.  Low
// values enter from the frame and follow every dark region that touches it
// through pixels at least as dark (as far as one scan in each direction can
// follow a path); a dark region enclosed by brighter pixels is filled over
// at the level of its surroundings.  The marker is then the background
// estimate: dividing the image by it whitens the background and the regions
// joined to the border, and keeps the contrast of enclosed content.
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
#include <cstring>

#include "im_proc.h"
#include "pixel_kernels.h"

namespace tessvane {
namespace {

// Width × Height of image as an unsigned count: ERangeError if either is
// negative, EIntOverflow if the product exceeds 2,147,483,647.
std::uint32_t PixelCount(const TMyImage& image) {
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t height = ToUnsigned(image.Height);
  const std::uint64_t count = std::uint64_t{width} * height;
  if (count > INT32_MAX) RaiseIntOverflow();
  return static_cast<std::uint32_t>(count);
}

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

// The mapping with every access checked.
void CheckedMapPixels(ByteArray& image, const ByteArray& marker, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint8_t value = image[k];
    image[k] = MappedPixel(value, marker[k]);
  }
}

}  // namespace

TMyImage MakeBorderMarker(const TMyImage& image) {
  TMyImage marker;
  static_cast<TImageFields&>(marker) = image;
  marker.Pixels.SetLength(CheckedMul(image.Width, image.Height));
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t height = ToUnsigned(image.Height);
  const std::uint32_t count = width * height;
  if (count > 0) std::memset(marker.Pixels.Data(), 255, count);

  ByteArray& out = marker.Pixels;
  const ByteArray& in = image.Pixels;
  for (std::uint32_t p = 0; p < count; p += width) {  // left and right edges
    out[p] = in[p];
    out[p + width - 1] = in[p + width - 1];
  }
  for (std::uint32_t p = 0; p < width; ++p) out[p] = in[p];  // first row
  const std::uint32_t last_row = CheckedSubUnsigned(count, width);
  const std::uint32_t last = CheckedSubUnsigned(count, 1);
  for (std::uint32_t p = last_row; p <= last; ++p) out[p] = in[p];
  return marker;
}

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

std::int32_t NormalizeAndClear(TMyImage& image, const TMyImage& marker) {
  const std::uint32_t count = PixelCount(image);
  if (count == 0) RaiseIntOverflow();  // the last index, count − 1, cannot be formed
  if (image.Pixels.Length() >= count && marker.Pixels.Length() >= count) {
    MapPixels(FastestKernelPath(), image.Pixels.Data(), marker.Pixels.Data(), count);
  } else {
    CheckedMapPixels(image.Pixels, marker.Pixels, count);
  }
  return 1;
}

}  // namespace tessvane
