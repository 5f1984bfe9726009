// The tags read into and written from the record: see tag_table.h.
#include "tag_table.h"

namespace tessvane {

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

}  // namespace tessvane
