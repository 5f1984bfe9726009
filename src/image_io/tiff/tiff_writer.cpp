// The TIFF writer: an image record into a new TIFF, through libtiff's
// strip interface, handed to the safe replacement of the file.
//
// The writer reproduces the layout the record describes (RowsPerStrip rows
// a strip, StripCount strips) and the record's tags.  It makes every check
// that can end the run before the disk is touched, then gives ReplaceFile a
// function that writes the whole new TIFF to a descriptor; the old file
// stays until the new one is whole.  Compressed strips are encoded on
// several threads and written in order (strip_codec.h), byte for byte as
// encoding them one after the other writes them.
#include "tiff_writer.h"

#include <tiffio.h>

#include <cstring>

#include "io_status.h"
#include "safe_replace.h"
#include "strip_codec.h"
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

// Hands strip index, size bytes at data, to the library.  The library takes
// a writable buffer and does not promise to leave it alone: its predictor
// differences samples in place (libtiff 4.5 happens to do so on a copy of
// its own for whole strips).  So with a predictor the strip is first copied
// into scratch and the record's pixels are never handed over; without one
// (scratch null) nothing changes the buffer and the pixels go uncopied.
// False when the library fails.
bool WriteStrip(TIFF* tiff, std::uint32_t index, const std::uint8_t* data, std::uint32_t size,
                ByteArray* scratch) {
  auto* buffer = const_cast<std::uint8_t*>(data);  // only read when there is no predictor
  if (scratch != nullptr) {
    std::memcpy(scratch->Data(), data, size);
    buffer = scratch->Data();
  }
  return TIFFWriteEncodedStrip(tiff, index, buffer, size) >= 0;
}

// True when the image being written is encoded with a predictor.
bool EncodesWithPredictor(TIFF* tiff) {
  std::uint16_t predictor = PREDICTOR_NONE;
  return TIFFGetField(tiff, TIFFTAG_PREDICTOR, &predictor) && predictor != PREDICTOR_NONE;
}

// The strips the plan writes, in order: every full strip, then the last
// one with only the rows it holds, when it holds any.
std::uint32_t StripsWritten(const StripPlan& plan) {
  return plan.pixel_count > plan.last_start ? plan.strip_count : plan.strip_count - 1;
}

// Strip k of those, as a span of the pixels.
StripSource StripOfPlan(const std::uint8_t* pixels, const StripPlan& plan, std::uint32_t k) {
  if (k + 1 < plan.strip_count) {
    return {k, pixels + std::size_t{k} * plan.strip_size, plan.strip_size};
  }
  return {k, pixels + plan.last_start, plan.pixel_count - plan.last_start};
}

// Encodes the strips one after the other through tiff itself: the path
// for one thread, and the reference for the parallel one.
bool EncodeStripsInTurn(TIFF* tiff, const TMyImage& image, const StripPlan& plan) {
  ByteArray scratch;
  if (EncodesWithPredictor(tiff)) scratch.SetLength(static_cast<std::int32_t>(plan.strip_size));
  ByteArray* const copy = scratch.Length() > 0 ? &scratch : nullptr;
  for (std::uint32_t k = 0; k < StripsWritten(plan); ++k) {
    const StripSource strip = StripOfPlan(image.Pixels.Data(), plan, k);
    if (!WriteStrip(tiff, strip.index, strip.data, strip.size, copy)) return false;
  }
  return true;
}

// Encodes the record's EXIF directory, tags and strips into a new file;
// false on any failure the library reports or an empty strip.
// EOutOfMemory when a strip copy cannot be had.
bool EncodeImage(TIFF* tiff, const TMyImage& image, const StripPlan& plan) {
  std::uint64_t exif_offset = 0;
  if (!WriteExifDirectory(tiff, image.Carried, exif_offset) ||
      !SetTags(tiff, image, exif_offset)) {
    return false;
  }
  const std::uint8_t* pixels = image.Pixels.Data();
  const StripWrite parallel = WriteStripsInParallel(
      tiff, StripsWritten(plan), [&](std::uint32_t k) { return StripOfPlan(pixels, plan, k); },
      [&](TIFF* scratch) { return SetTags(scratch, image, 0); });
  if (parallel == StripWrite::Failed) return false;
  if (parallel == StripWrite::NotTried && !EncodeStripsInTurn(tiff, image, plan)) return false;
  return EveryStripWritten(tiff);
}

}  // namespace

std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image) {
  const StripPlan plan = PlanStrips(image);
  const auto write_tiff = [&](int fd) {
    return WriteTiffToFd(fd, name, {image.Carried.BigTiff, image.Carried.BigEndian},
                         [&](TIFF* tiff) { return EncodeImage(tiff, image, plan); });
  };
  return StatusCode(ReplaceFile(name, write_tiff));
}

}  // namespace tessvane
