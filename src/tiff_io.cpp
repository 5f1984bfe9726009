// The TIFF reader and writer: the transfer of an image record to and from
// the first image of a TIFF file through libtiff's strip interface.
//
// The reader accepts only what the tool can rewrite without loss: one image
// of 8-bit unsigned min-is-black samples, one sample per pixel, in strips.
// It decodes each strip straight into Pixels, strip i at i × S, where S is
// the library's strip size; the last strip supplies whatever remains.
//
// The writer reproduces the layout the record describes (RowsPerStrip rows a
// strip, StripCount strips) and the record's tags.  It makes every check
// that can end the run before the disk is touched, then hands the encoding
// to ReplaceWithTiff, which keeps the old file until the new one is whole.
#include <tiffio.h>

#include "im_proc.h"
#include "safe_output.h"

namespace tessvane {
namespace {

// Copies the directory's values into the record.  A tag the file lacks
// leaves its field alone.  Values land in typed temporaries first: libtiff
// stores 16 bits for the short tags and a pointer for the strip tables.
void FetchTags(TIFF* tiff, TMyImage& image) {
  std::uint32_t long_value;
  std::uint16_t short_value;
  float float_value;
  const std::uint64_t* table;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &long_value)) {
    image.Width = static_cast<std::int32_t>(long_value);
  }
  if (TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &long_value)) {
    image.Height = static_cast<std::int32_t>(long_value);
  }
  if (TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &short_value)) image.BitsPerSample = short_value;
  if (TIFFGetField(tiff, TIFFTAG_COMPRESSION, &short_value)) image.Compression = short_value;
  if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &short_value)) image.Photometric = short_value;
  // The strip tables are only recorded for information: the first strip's
  // position and stored length, when they fit the 32-bit fields.
  if (TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &table) && table != nullptr &&
      table[0] <= UINT32_MAX) {
    image.StripOffsets = static_cast<std::uint32_t>(table[0]);
  }
  if (TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &long_value)) {
    image.RowsPerStrip = static_cast<std::int32_t>(long_value);
  }
  if (TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &table) && table != nullptr &&
      table[0] <= UINT32_MAX) {
    image.StripByteCounts = static_cast<std::uint32_t>(table[0]);
  }
  if (TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &float_value)) image.XResolution = float_value;
  if (TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &float_value)) image.YResolution = float_value;
  if (TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &short_value)) image.ResolutionUnit = short_value;
  if (TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &short_value)) image.PlanarConfig = short_value;
  if (TIFFGetField(tiff, TIFFTAG_ORIENTATION, &short_value)) image.Orientation = short_value;
}

// True when the open image is one the tool can rewrite without loss: the
// file's only image, in strips, of 8-bit unsigned min-is-black samples, one
// a pixel (TIFF defaults applied to absent tags).  Anything else would lose
// its colour map, other images or samples, or come out inverted.
bool IsSingleGrayImage(TIFF* tiff) {
  std::uint16_t bits = 0;
  std::uint16_t samples = 0;
  std::uint16_t format = 0;
  std::uint16_t photometric = 0;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
  return bits == 8 && samples == 1 && format == SAMPLEFORMAT_UINT &&
         TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) &&
         photometric == PHOTOMETRIC_MINISBLACK && !TIFFIsTiled(tiff) &&
         TIFFLastDirectory(tiff);
}

// Decodes strip index into destination, which takes wanted bytes.  False
// when the library fails or delivers fewer bytes than wanted.
bool DecodeStrip(TIFF* tiff, std::uint32_t index, std::uint8_t* destination,
                 std::uint32_t wanted) {
  if (wanted == 0) return true;
  return TIFFReadEncodedStrip(tiff, index, destination, wanted) >= static_cast<tmsize_t>(wanted);
}

// The strip layout a record asks the writer for, checked against its pixels.
struct StripPlan {
  std::uint32_t strip_count;   // strips written
  std::uint32_t strip_size;    // bytes of every strip but the last
  std::uint32_t last_start;    // first pixel of the last strip
  std::uint32_t pixel_count;   // Width × Height
};

// Works out and checks the strips of image: EIntOverflow or ERangeError
// where a size cannot be formed or a strip would reach past the pixels.
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

// Sets the record's tags on a new image.  Zero fields are tags the input did
// not have (and are not legal values for them), so they are left out.
bool SetTags(TIFF* tiff, const TMyImage& image) {
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.Width)) &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.Height)) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, image.BitsPerSample) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  if (ok && image.RowsPerStrip != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(image.RowsPerStrip));
  }
  if (ok && image.Compression != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_COMPRESSION, image.Compression);
  }
  ok = ok && TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, image.Photometric);
  if (ok && image.PlanarConfig != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, image.PlanarConfig);
  }
  if (ok && image.XResolution != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<double>(image.XResolution));
  }
  if (ok && image.YResolution != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<double>(image.YResolution));
  }
  if (ok && image.ResolutionUnit != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, image.ResolutionUnit);
  }
  if (ok && image.Orientation != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_ORIENTATION, image.Orientation);
  }
  return ok;
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

std::int32_t ReadTiffImage(const char* const& name, TMyImage& image) {
  const TiffHandle tiff(TIFFOpen(name, "rm"));
  if (!tiff) return StatusCannotOpen;
  FetchTags(tiff.get(), image);
  if (!IsSingleGrayImage(tiff.get())) return StatusFailed;

  const std::int32_t signed_count = CheckedMul(image.Width, image.Height);
  image.Pixels.SetLength(signed_count);
  const auto pixel_count = static_cast<std::uint32_t>(signed_count);
  const std::int32_t strip_size = ToInt32(TIFFStripSize(tiff.get()));
  const std::uint32_t size = ToUnsigned(strip_size);
  const std::uint32_t strip_count = TIFFNumberOfStrips(tiff.get());
  if (strip_count > INT32_MAX) RaiseRangeError();
  image.StripCount = static_cast<std::int32_t>(strip_count);
  if (strip_count == 0) RaiseIntOverflow();  // there is no last strip

  // A strip that would reach past the pixels is decoded into a buffer of
  // its own and copied up to the end of the pixels before the range error.
  ByteArray overhang;
  std::uint8_t* pixels = image.Pixels.Data();
  for (std::uint32_t i = 0; i + 1 < strip_count; ++i) {  // full strips
    const std::uint64_t start = std::uint64_t{i} * size;
    const bool fits = start + size <= pixel_count;
    if (!fits && overhang.Length() == 0) overhang.SetLength(strip_size);
    if (!DecodeStrip(tiff.get(), i, fits ? pixels + start : overhang.Data(), size)) {
      return StatusFailed;
    }
    const std::int32_t low = CheckedMul(static_cast<std::int32_t>(i), strip_size);
    const std::uint32_t high = CheckedSubUnsigned(
        static_cast<std::uint32_t>(CheckedMul(static_cast<std::int32_t>(i + 1), strip_size)), 1);
    if (!fits) {
      for (std::uint32_t j = static_cast<std::uint32_t>(low); j <= high; ++j) {
        image.Pixels[j] = overhang[j - static_cast<std::uint32_t>(low)];
      }
    }
  }

  // The last strip supplies the rest of the pixels, at most one strip's worth.
  const std::uint32_t last = strip_count - 1;
  const std::uint64_t start = std::uint64_t{last} * size;
  const std::uint64_t rest = pixel_count > start ? pixel_count - start : 0;
  const auto wanted = static_cast<std::uint32_t>(rest < size ? rest : size);
  if (wanted > 0) {
    if (!DecodeStrip(tiff.get(), last, pixels + start, wanted)) return StatusFailed;
  } else {
    // Nothing of it is kept, but a strip that does not decode still means
    // a damaged file.
    if (overhang.Length() == 0) overhang.SetLength(strip_size);
    if (!DecodeStrip(tiff.get(), last, overhang.Data(), size)) return StatusFailed;
  }
  // The last strip's first pixel and the image's last pixel must both be
  // formable, and the rest may not be longer than one strip.
  CheckedMul(static_cast<std::int32_t>(last), strip_size);
  CheckedSubUnsigned(pixel_count, 1);
  if (rest > size) RaiseRangeError();
  return StatusDone;
}

std::int32_t WriteTiffImage(const char* name, const TMyImage& image) {
  const StripPlan plan = PlanStrips(image);
  switch (ReplaceWithTiff(name, [&](TIFF* tiff) { return EncodeImage(tiff, image, plan); })) {
    case OutputResult::Done: return StatusDone;
    case OutputResult::CannotOpen: return StatusCannotOpen;
    case OutputResult::Failed: break;
  }
  return StatusFailed;
}

}  // namespace tessvane
