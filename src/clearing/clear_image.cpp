// The three clearing steps as one operation: see ClearImage in
// border_clearing.h.
//
// Step by step, the marker is filled with 255 and framed in one pass, the
// forward scan reads it back in a second, the backward scan a third, and
// the mapping reads both arrays in a fourth.  Here the marker's rows are set
// up a band at a time just before the forward scan reads them, and each
// block is mapped, into the marker, as soon as the backward scan will read
// it no more: two passes over the arrays instead of four.  The marker then
// holds the cleared page and becomes the image's pixels.  The image's own
// pixels are only read, so a page the reader left as a view of its file is
// never copied.  The kernels give the same bytes as the steps
// (tests/clearing compares them).
#include "border_clearing.h"
#include "pixel_kernels.h"

#include <utility>

namespace tessvane {
namespace {

// The three steps one after the other; the marker is released on return.
std::int32_t ClearStepByStep(TMyImage& image) {
  TMyImage marker = MakeBorderMarker(image);
  ReconstructByErosion(image, marker);
  return NormalizeAndClear(image, marker);
}

}  // namespace

std::int32_t ClearImage(TMyImage& image, const ClearedPixels& cleared) {
  const std::int64_t width = image.Width;
  const std::int64_t count = width * image.Height;
  // Where no check of the three steps can fail (a width, the backward
  // scan's start formable, so two rows, every pixel present), the only
  // error left is the marker's allocation, which comes first either way.
  if (width < 1 || count > INT32_MAX || count < width + 2 ||
      image.Pixels.Length() != count) {
    const std::int32_t result = ClearStepByStep(image);
    // The steps wrote every pixel, but a view of a file must not reach the
    // writer, which may overwrite that very file.
    image.Pixels.MakePrivate();
    return result;
  }
  ByteArray marker;
  marker.SetLength(static_cast<std::int32_t>(count));
  const KernelPath path = FastestKernelPath();
  const auto w = static_cast<std::uint32_t>(width);
  const auto n = static_cast<std::uint32_t>(count);
  MarkerAndForwardScan(path, marker.Data(), image.Pixels.Data(), w,
                       static_cast<std::uint32_t>(image.Height));
  std::uint8_t* const result = marker.Data();  // stays put when marker becomes the pixels
  // Whoever was told of final pixels hears, before the marker can go on
  // an error, that there are no more (declared after the marker, so it
  // runs first).
  struct LastWord {
    explicit LastWord(const ClearedPixels& told) : cleared(told) {}
    LastWord(const LastWord&) = delete;
    LastWord& operator=(const LastWord&) = delete;
    ~LastWord() {
      if (cleared) cleared(nullptr, 0, 0);
    }
    const ClearedPixels& cleared;
  } last_word{cleared};
  MappedPixels mapped;
  if (cleared) mapped = [&](std::uint32_t begin, std::uint32_t end) { cleared(result, begin, end); };
  BackwardScanAndMap(path, result, image.Pixels.Data(), w, n - w - 2, n, mapped);
  image.Pixels = std::move(marker);  // the old pixels go with marker
  return 1;
}

}  // namespace tessvane
