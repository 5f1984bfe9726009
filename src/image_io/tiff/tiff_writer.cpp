// The TIFF writer: an image record into a new TIFF, through libtiff's
// strip interface, written to a descriptor it is handed.
//
// The writer reproduces the layout the record describes (RowsPerStrip rows
// a strip, StripCount strips) and the record's tags.  It makes every check
// that can end the run before it writes a byte.  Where the descriptor
// comes from, and how the new file takes the old one's place, is the
// caller's: the run sequence hands it a Replacement's descriptor.
#include "tiff_writer.h"

#include <tiffio.h>

#include <cstring>

#include "file_failure.h"
#include "io_status.h"
#include "replacement.h"
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

// Encodes the record's EXIF directory, tags and strips into a new file;
// false on any failure the library reports or an empty strip.
// EOutOfMemory when a predictor's strip copy cannot be had.
bool EncodeImage(TIFF* tiff, const TMyImage& image, const StripPlan& plan) {
  std::uint64_t exif_offset = 0;
  if (!WriteExifDirectory(tiff, image.Carried, exif_offset) ||
      !SetTags(tiff, image, exif_offset)) {
    return false;
  }
  ByteArray scratch;
  if (EncodesWithPredictor(tiff)) scratch.SetLength(static_cast<std::int32_t>(plan.strip_size));
  ByteArray* const copy = scratch.Length() > 0 ? &scratch : nullptr;
  const std::uint8_t* pixels = image.Pixels.Data();
  for (std::uint32_t i = 0; i + 1 < plan.strip_count; ++i) {
    if (!WriteStrip(tiff, i, pixels + std::size_t{i} * plan.strip_size, plan.strip_size, copy)) {
      return false;
    }
  }
  // The last strip carries only the rows it holds.
  if (plan.pixel_count > plan.last_start &&
      !WriteStrip(tiff, plan.strip_count - 1, pixels + plan.last_start,
                  plan.pixel_count - plan.last_start, copy)) {
    return false;
  }
  return EveryStripWritten(tiff);
}

}  // namespace

std::int32_t WriteTiffImageTo(int fd, const char* const& name, const TMyImage& image) {
  const StripPlan plan = PlanStrips(image);
  const bool written =
      WriteTiffToFd(fd, name, {image.Carried.BigTiff, image.Carried.BigEndian},
                    [&](TIFF* tiff) { return EncodeImage(tiff, image, plan); });
  return StatusCode(written ? IoStatus::Done : IoStatus::Failed);
}

std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image) {
  static_cast<void>(PlanStrips(image));  // run-ending errors before the disk is touched
  try {
    const Target target(name);
    Replacement replacement(target);
    if (WriteTiffImageTo(replacement.fd(), name, image) != StatusDone) return StatusCode(IoStatus::Failed);
    replacement.Commit();
    return StatusDone;
  } catch (const EFileFailed& failure) {
    return StatusCode(IsReadStep(failure.Step()) ? IoStatus::CannotOpen : IoStatus::Failed);
  }
}

}  // namespace tessvane
