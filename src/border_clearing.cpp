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
// whole image no check inside a loop can fail, so the loops then run on raw
// bytes; otherwise they run on checked accessors and fail at exactly the
// first index past an array's end.
#include <cstring>

#include "im_proc.h"

namespace tessvane {
namespace {

// Bytes addressed without a bounds test; used once a whole range is known
// to lie inside the array.
template <typename Byte>
struct RawPixels {
  Byte* bytes;
  Byte& operator[](std::uint32_t index) const { return bytes[index]; }
};

// Bytes addressed through ByteArray's bounds test.
template <typename Array>
struct CheckedPixels {
  Array& array;
  decltype(auto) operator[](std::uint32_t index) const { return array[index]; }
};

// Width × Height of image as an unsigned count: ERangeError if either is
// negative, EIntOverflow if the product exceeds 2,147,483,647.
std::uint32_t PixelCount(const TMyImage& image) {
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t height = ToUnsigned(image.Height);
  const std::uint64_t count = std::uint64_t{width} * height;
  if (count > INT32_MAX) RaiseIntOverflow();
  return static_cast<std::uint32_t>(count);
}

// The larger of the running minimum e and the image value.
inline std::uint8_t Raised(std::uint8_t e, std::uint8_t image_value) {
  return e > image_value ? e : image_value;
}

// Forward scan over p = width + 1 .. last: the minimum of the pixel, its
// left neighbour and the three above, raised to the image.
template <typename Marker, typename Image>
void ForwardScan(Marker m, Image image, std::uint32_t width, std::uint32_t last) {
  for (std::uint32_t p = width + 1; p <= last; ++p) {
    std::uint8_t e = m[p];
    if (m[p - 1] < e) e = m[p - 1];
    if (m[p - width - 1] < e) e = m[p - width - 1];
    if (m[p - width] < e) e = m[p - width];
    if (m[p - width + 1] < e) e = m[p - width + 1];
    m[p] = Raised(e, image[p]);
  }
}

// Backward scan over p = first .. 0: the minimum of the pixel, the three
// below and its right neighbour, raised to the image.
template <typename Marker, typename Image>
void BackwardScan(Marker m, Image image, std::uint32_t width, std::uint32_t first) {
  for (std::uint32_t p = first + 1; p-- > 0;) {
    std::uint8_t e = m[p];
    if (m[p + width - 1] < e) e = m[p + width - 1];
    if (m[p + width] < e) e = m[p + width];
    if (m[p + width + 1] < e) e = m[p + width + 1];
    if (m[p + 1] < e) e = m[p + 1];
    m[p] = Raised(e, image[p]);
  }
}

// The mapped value of image pixel i under marker pixel m.
inline std::uint8_t Normalized(std::uint8_t i, std::uint8_t m) {
  std::uint32_t q = m == 0 ? 256 : (std::uint32_t{i} * 256) / m;
  if (q > 0) --q;
  if (m < 30 && i < 30) return 255;
  return ToByte(q);
}

template <typename Image, typename Marker>
void MapPixels(Image image, Marker marker, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t value = image[i];
    image[i] = Normalized(value, marker[i]);
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
    const RawPixels<std::uint8_t> m{marker.Pixels.Data()};
    const RawPixels<const std::uint8_t> in{image.Pixels.Data()};
    ForwardScan(m, in, width, last);
    BackwardScan(m, in, width, backward_first);
  } else {
    const CheckedPixels<ByteArray> m{marker.Pixels};
    const CheckedPixels<const ByteArray> in{image.Pixels};
    ForwardScan(m, in, width, last);
    BackwardScan(m, in, width, backward_first);
  }
  return 1;
}

std::int32_t NormalizeAndClear(TMyImage& image, const TMyImage& marker) {
  const std::uint32_t count = PixelCount(image);
  if (count == 0) RaiseIntOverflow();  // the last index, count − 1, cannot be formed
  if (image.Pixels.Length() >= count && marker.Pixels.Length() >= count) {
    MapPixels(RawPixels<std::uint8_t>{image.Pixels.Data()},
              RawPixels<const std::uint8_t>{marker.Pixels.Data()}, count);
  } else {
    MapPixels(CheckedPixels<ByteArray>{image.Pixels},
              CheckedPixels<const ByteArray>{marker.Pixels}, count);
  }
  return 1;
}

}  // namespace tessvane
