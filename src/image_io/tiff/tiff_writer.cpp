// The TIFF writer: an image record into a new TIFF, through libtiff's
// strip interface, handed to the safe replacement of the file.
//
// The writer reproduces the layout the record describes (RowsPerStrip rows
// a strip, StripCount strips) and the record's tags.  It makes every check
// that can end the run before the disk is touched, then gives ReplaceFile a
// function that writes the whole new TIFF to a descriptor; the old file
// stays until the new one is whole.
#include "tiff_writer.h"

#include <tiffio.h>

#include "io_status.h"
#include "safe_replace.h"
#include "tag_table.h"
#include "tiff_handle.h"

namespace tessvane {
namespace {

// The strip layout a record asks the writer for, checked against its pixels.
struct StripPlan {
  std::uint32_t strip_count;   // strips written
  std::uint32_t strip_size;    // bytes of every strip but the last
  std::uint32_t last_start;    // first pixel of the last strip
  std::uint32_t pixel_count;   // Width × Height
};

// Works out and checks the strips of image: EIntOverflow or ERangeError
// where a size cannot be formed or a strip would reach past the pixels.
//
// Each index below is formed and tested in the order in which a strip-by-
// strip copy out of Pixels would meet it, so that a layout that does not
// fit reports the same error at the same check as that copy would, before
// anything is written.  Some products are formed only to be checked.
StripPlan PlanStrips(const TMyImage& image) {
  const std::int32_t signed_count = CheckedMul(image.Width, image.Height);
  if (signed_count < 0) RaiseRangeError();
  const auto pixel_count = static_cast<std::uint32_t>(signed_count);
  if (image.StripCount < 0) RaiseRangeError();
  const auto strip_count = static_cast<std::uint32_t>(image.StripCount);
  const std::uint32_t available = image.Pixels.Length();

  std::int32_t strip_size;
  if (strip_count == 1) {
    // One strip holds every row, whatever RowsPerStrip says (0 when absent,
    // 2^32 − 1 as the TIFF default).
    auto rows = static_cast<std::uint32_t>(image.RowsPerStrip);
    const std::uint32_t height = ToUnsigned(image.Height);
    if (rows == 0 || rows > height) rows = height;
    strip_size = static_cast<std::int32_t>(rows * ToUnsigned(image.Width));
  } else {
    strip_size = CheckedMul(image.RowsPerStrip, image.Width);
    if (strip_size < 0) RaiseRangeError();
    if (strip_count == 0) RaiseIntOverflow();  // there is no last strip
  }

  for (std::uint32_t i = 0; i + 1 < strip_count; ++i) {  // full strips
    const std::uint32_t end = static_cast<std::uint32_t>(
        CheckedMul(static_cast<std::int32_t>(i + 1), strip_size));
    const std::uint32_t high = CheckedSubUnsigned(end, 1);
    if (high >= available) RaiseRangeError();
  }
  const auto last_start = static_cast<std::uint32_t>(
      CheckedMul(static_cast<std::int32_t>(strip_count - 1), strip_size));
  const std::uint32_t high = CheckedSubUnsigned(pixel_count, 1);
  if (high >= last_start) {
    if (high - last_start >= static_cast<std::uint32_t>(strip_size)) RaiseRangeError();
    if (high >= available) RaiseRangeError();
  }
  return {strip_count, static_cast<std::uint32_t>(strip_size), last_start, pixel_count};
}

// True when every strip of the image being written holds data.  The library
// reports success for compressions it cannot encode and leaves those strips
// empty.
bool EveryStripWritten(TIFF* tiff) {
  const std::uint64_t* byte_counts = nullptr;
  if (!TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &byte_counts) || byte_counts == nullptr) {
    return false;
  }
  const std::uint32_t strips = TIFFNumberOfStrips(tiff);
  for (std::uint32_t i = 0; i < strips; ++i) {
    if (byte_counts[i] == 0) return false;
  }
  return true;
}

// Encodes the record's tags and strips into a new image; false on any
// failure the library reports or an empty strip.
bool EncodeImage(TIFF* tiff, const TMyImage& image, const StripPlan& plan) {
  if (!SetTags(tiff, image)) return false;
  // The library takes a writable buffer because a predictor or bit-order
  // conversion would work in place; neither is set here, so the pixels are
  // only read.
  auto* pixels = const_cast<std::uint8_t*>(image.Pixels.Data());
  for (std::uint32_t i = 0; i + 1 < plan.strip_count; ++i) {
    if (TIFFWriteEncodedStrip(tiff, i, pixels + std::size_t{i} * plan.strip_size,
                              plan.strip_size) < 0) {
      return false;
    }
  }
  // The last strip carries only the rows it holds.
  if (plan.pixel_count > plan.last_start &&
      TIFFWriteEncodedStrip(tiff, plan.strip_count - 1, pixels + plan.last_start,
                            plan.pixel_count - plan.last_start) < 0) {
    return false;
  }
  return EveryStripWritten(tiff);
}

}  // namespace

std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image) {
  const StripPlan plan = PlanStrips(image);
  const auto write_tiff = [&](int fd) {
    return WriteTiffToFd(fd, name, [&](TIFF* tiff) { return EncodeImage(tiff, image, plan); });
  };
  return StatusCode(ReplaceFile(name, write_tiff));
}

}  // namespace tessvane
