// The border marker: the image on its frame, white inside.  See
// border_clearing.h.
#include <cstring>

#include "border_clearing.h"

namespace tessvane {

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
  // Formed checked, after the copies above, because the order decides the
  // report of an empty image: no rows fails in the first-row copy
  // (ERangeError), width 0 here (EIntOverflow).
  const std::uint32_t last_row = CheckedSubUnsigned(count, width);
  const std::uint32_t last = CheckedSubUnsigned(count, 1);
  for (std::uint32_t p = last_row; p <= last; ++p) out[p] = in[p];
  return marker;
}

}  // namespace tessvane
