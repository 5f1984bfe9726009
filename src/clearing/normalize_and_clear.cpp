// The final mapping: each image pixel through the ratio to its marker
// pixel.  See border_clearing.h.
//
// Where both pixel arrays hold the whole image no check inside the loop can
// fail, so it runs as the kernel of pixel_kernels.h on raw bytes; otherwise
// it runs here with every access checked and fails at exactly the first
// index past an array's end.
#include "border_clearing.h"
#include "pixel_count.h"
#include "pixel_kernels.h"

namespace tessvane {
namespace {

// The mapping with every access checked.
void CheckedMapPixels(ByteArray& image, const ByteArray& marker, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint8_t value = image[k];
    image[k] = MappedPixel(value, marker[k]);
  }
}

}  // namespace

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
