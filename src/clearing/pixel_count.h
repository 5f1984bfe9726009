// The pixel count of an image record, as the scans and the mapping form it.
#pragma once

#include <cstdint>

#include "checked.h"
#include "image_record.h"

namespace tessvane {

// Width × Height of image as an unsigned count: ERangeError if either is
// negative, EIntOverflow if the product exceeds 2,147,483,647.
inline std::uint32_t PixelCount(const TMyImage& image) {
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t height = ToUnsigned(image.Height);
  const std::uint64_t count = std::uint64_t{width} * height;
  if (count > INT32_MAX) RaiseIntOverflow();
  return static_cast<std::uint32_t>(count);
}

}  // namespace tessvane
