// The TIFF reader: a page of a checked file (tiff_pages.cpp) into an
// image record, through libtiff's strip and tile interfaces.
//
// The strips of a strip page that land whole in Pixels, and the tiles of
// a tile page, are decoded ahead on several threads (decode_ahead.h); the
// loops that check each block then take their outcome in block order, so
// failures, their reasons and the checks come in the same order as with
// one thread.
//
// A strip page is decoded straight into Pixels, strip i at i × S, where S
// is the library's strip size; the last strip supplies whatever remains.
// A tile page is decoded tile by tile into a buffer, one a thread, and
// copied into its rectangle of Pixels.  Min-is-white and palette pages
// are then mapped to gray levels as the page looks.  A page of fewer than
// 8 bits a sample is read by packed_reader.cpp.
//
// A min-is-black page stored uncompressed with its strips back to back is
// one range of the file, exactly the bytes decoding would copy.  Pixels
// are then a view of that range (ByteArray::ViewOfFile) rather than a
// copy.  Whoever reads the view must compare LostFileViews() before and
// after, in case the file is cut short meanwhile.
//
// The order of the checks is part of the tool's behaviour: which error a
// malformed file reports, and at which check, is what users and scripts
// see, so each check below stands where it fires and says why.
#include "tiff_reader.h"

#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "codec_budget.h"
#include "decode_ahead.h"
#include "file_failure.h"
#include "tag_table.h"
#include "tiff_pages.h"

namespace tessvane {
namespace {

// The gray level of each palette entry: the high byte of its 16-bit value.
std::array<std::uint8_t, 256> PaletteLevels(const ColourMap& map) {
  std::array<std::uint8_t, 256> levels{};
  for (int i = 0; i < 256; ++i) levels[i] = static_cast<std::uint8_t>(map.red[i] >> 8);
  return levels;
}

bool IsIdentity(const std::array<std::uint8_t, 256>& levels) {
  for (int i = 0; i < 256; ++i) {
    if (levels[i] != i) return false;
  }
  return true;
}

// ---- decoding strips -----------------------------------------------------------------

// Strips or tiles decoded ahead on several threads, by index; empty when
// none was (every block then decodes in the loops below).  Each block's
// outcome is taken in block order, with what the library said meanwhile.
using DecodedAhead = DecodedBlocks;

// Nothing decoded ahead: for strips that do not land in the pixels.
const DecodedAhead NothingAhead;

// Decodes strip index into destination, which takes wanted bytes, unless
// it was decoded there ahead; refuses the page when the library fails or
// delivers fewer bytes than wanted.
void DecodeStrip(TIFF* tiff, std::uint32_t index, std::uint8_t* destination,
                 std::uint32_t wanted, const DecodedAhead& ahead) {
  if (wanted == 0) return;
  const bool decoded = ahead.Take(tiff, index) ||
                       TIFFReadEncodedStrip(tiff, index, destination, wanted) >=
                           static_cast<tmsize_t>(wanted);
  if (!decoded) Refuse("strip " + std::to_string(index) + " does not decode");
}

// The strip geometry the reader works with: the library's strip size and
// count, checked as the record's signed fields must hold them.
struct StripLayout {
  std::int32_t strip_size;   // bytes of a whole strip
  std::uint32_t size;        // the same, unsigned
  std::uint32_t strip_count;
  std::uint32_t pixel_count;  // Width × Height
};

// Every strip but the last, each decoded straight into its place.  A strip
// that would reach past the pixels is decoded into overhang and copied up to
// the end of the pixels, so that the range error comes after the bytes
// before it are stored, as a byte-by-byte copy would fail.  EFileFailed: a
// strip does not decode.  ERangeError / EIntOverflow as the byte copy meets
// them.
void ReadFullStrips(TIFF* tiff, const StripLayout& layout, ByteArray& pixels,
                    ByteArray& overhang, const DecodedAhead& ahead) {
  for (std::uint32_t i = 0; i + 1 < layout.strip_count; ++i) {
    const std::uint64_t start = std::uint64_t{i} * layout.size;
    const bool fits = start + layout.size <= layout.pixel_count;
    if (!fits && overhang.Length() == 0) overhang.SetLength(layout.strip_size);
    DecodeStrip(tiff, i, fits ? pixels.Data() + start : overhang.Data(), layout.size,
                fits ? ahead : NothingAhead);
    // The strip's first and last index are formed (and may overflow) even
    // when the strip fits, as the copy into Pixels forms them.
    const std::int32_t low = CheckedMul(static_cast<std::int32_t>(i), layout.strip_size);
    const std::uint32_t high = CheckedSubUnsigned(
        static_cast<std::uint32_t>(CheckedMul(static_cast<std::int32_t>(i + 1), layout.strip_size)),
        1);
    if (!fits) {
      for (auto j = static_cast<std::uint32_t>(low); j <= high; ++j) {
        pixels[j] = overhang[j - static_cast<std::uint32_t>(low)];
      }
    }
  }
}

// The last strip, which supplies the rest of the pixels, at most one strip's
// worth.  EFileFailed: it does not decode.  Then the last strip's first pixel
// and the image's last pixel must both be formable (EIntOverflow), and the
// rest may not be longer than one strip (ERangeError).
void ReadLastStrip(TIFF* tiff, const StripLayout& layout, ByteArray& pixels,
                   ByteArray& overhang, const DecodedAhead& ahead) {
  const std::uint32_t last = layout.strip_count - 1;
  const std::uint64_t start = std::uint64_t{last} * layout.size;
  const std::uint64_t rest = layout.pixel_count > start ? layout.pixel_count - start : 0;
  const auto wanted = static_cast<std::uint32_t>(rest < layout.size ? rest : layout.size);
  if (wanted > 0) {
    DecodeStrip(tiff, last, pixels.Data() + start, wanted, ahead);
  } else {
    // Nothing of it is kept, but a strip that does not decode still means
    // a damaged file.
    if (overhang.Length() == 0) overhang.SetLength(layout.strip_size);
    DecodeStrip(tiff, last, overhang.Data(), layout.size, NothingAhead);
  }
  RequireMulFits(static_cast<std::int32_t>(last), layout.strip_size);
  RequireSubUnsignedFits(layout.pixel_count, 1);
  if (rest > layout.size) RaiseRangeError();
}

// Sizes Pixels and works out the strips: EIntOverflow when Width × Height
// does not fit 32 bits, ERangeError for a strip size or count outside the
// record's signed fields, EIntOverflow for a file without strips.  The
// pixels are sized before the strips are looked at, so a too-large image
// reports its size first.
StripLayout PlanReading(TIFF* tiff, TMyImage& image) {
  const std::int32_t signed_count = CheckedMul(image.Width, image.Height);
  image.Pixels.SetLength(signed_count);
  const std::int32_t strip_size = ToInt32(TIFFStripSize(tiff));
  const std::uint32_t size = ToUnsigned(strip_size);
  const std::uint32_t strip_count = TIFFNumberOfStrips(tiff);
  if (strip_count > INT32_MAX) RaiseRangeError();
  image.StripCount = static_cast<std::int32_t>(strip_count);
  if (strip_count == 0) RaiseIntOverflow();  // there is no last strip
  return {strip_size, size, strip_count, static_cast<std::uint32_t>(signed_count)};
}

// The first strip's place in the file when the pixels can be a view of it:
// strips stored uncompressed and unreversed (so decoding copies them
// unchanged), strip i at the first strip's offset plus i × S, each strip as
// long as the library would read it (so every strip would decode whole),
// and the file holding them all.  0 otherwise (no strip starts at 0, where
// the header is).
std::uint64_t StripsAsOneRange(TIFF* tiff, const StripLayout& layout) {
  const auto compression = DefaultedField<std::uint16_t>(tiff, TIFFTAG_COMPRESSION);
  const auto fill_order = DefaultedField<std::uint16_t>(tiff, TIFFTAG_FILLORDER);
  const auto height = FieldOrZero<std::uint32_t>(tiff, TIFFTAG_IMAGELENGTH);
  auto rows_per_strip = DefaultedField<std::uint32_t>(tiff, TIFFTAG_ROWSPERSTRIP);
  if (compression != COMPRESSION_NONE || fill_order != FILLORDER_MSB2LSB || height == 0) return 0;
  // The library's own rule for the rows of each strip, the last one short.
  if (rows_per_strip == 0 || rows_per_strip > height) rows_per_strip = height;
  const std::uint32_t last = layout.strip_count - 1;
  const std::uint64_t last_start = std::uint64_t{last} * layout.size;
  if (layout.strip_count != (height - 1) / rows_per_strip + 1 ||
      last_start >= layout.pixel_count ||
      TIFFVStripSize(tiff, rows_per_strip) != static_cast<tmsize_t>(layout.size) ||
      TIFFVStripSize(tiff, height - last * rows_per_strip) !=
          static_cast<tmsize_t>(layout.pixel_count - last_start)) {
    return 0;
  }
  const std::uint64_t first = TIFFGetStrileOffset(tiff, 0);
  for (std::uint32_t i = 1; i < layout.strip_count; ++i) {
    if (TIFFGetStrileOffset(tiff, i) != first + std::uint64_t{i} * layout.size) return 0;
  }
  struct stat status;
  if (fstat(TIFFFileno(tiff), &status) != 0 || status.st_size < 0 ||
      first > static_cast<std::uint64_t>(status.st_size) ||
      static_cast<std::uint64_t>(status.st_size) - first < layout.pixel_count) {
    return 0;
  }
  return first;
}

// Makes pixels a view of the strips where they form one range of the
// file; false where they do not, or the system maps nothing, and the
// strips are to be decoded.  Where it is true, decoding every strip would
// succeed and form no index that fails, so the view skips no check.
bool ViewStrips(TIFF* tiff, const StripLayout& layout, ByteArray& pixels) {
  const std::uint64_t offset = StripsAsOneRange(tiff, layout);
  if (offset == 0) return false;
  ByteArray view = ByteArray::ViewOfFile(TIFFFileno(tiff), offset, layout.pixel_count);
  if (view.Length() == 0) return false;
  pixels = std::move(view);
  return true;
}

// Decodes ahead, on several threads, every strip that the loops above
// decode straight into the pixels, into the same place: the loops then
// meet each strip's outcome, and so the first failure or failing check,
// in the same order as if they decoded it themselves.
DecodedAhead DecodeAhead(TIFF* tiff, const StripLayout& layout, ByteArray& pixels) {
  return DecodeStripsAhead(tiff, ReadMode, layout.strip_count, [&](std::uint32_t i) {
    const std::uint64_t start = std::uint64_t{i} * layout.size;
    std::uint64_t wanted = 0;
    if (i + 1 < layout.strip_count) {
      if (start + layout.size <= layout.pixel_count) wanted = layout.size;
    } else if (layout.pixel_count > start) {
      wanted = std::min<std::uint64_t>(layout.pixel_count - start, layout.size);
    }
    return StripTarget{i, wanted > 0 ? pixels.Data() + start : nullptr,
                       static_cast<std::uint32_t>(wanted)};
  });
}

// Decodes a strip page into image.Pixels, as a view of the file where the
// strips allow it, else on several threads where that pays.
void ReadStrips(TIFF* tiff, TMyImage& image) {
  const StripLayout layout = PlanReading(tiff, image);
  if (image.Photometric == PHOTOMETRIC_MINISBLACK && ViewStrips(tiff, layout, image.Pixels)) return;
  ByteArray overhang;
  const DecodedAhead ahead = DecodeAhead(tiff, layout, image.Pixels);
  ReadFullStrips(tiff, layout, image.Pixels, overhang, ahead);
  ReadLastStrip(tiff, layout, image.Pixels, overhang, ahead);
}

// ---- decoding tiles --------------------------------------------------------------------

// Decodes tile index into buffer, which takes one whole tile; refuses the
// page when the library fails.
void DecodeTile(TIFF* tiff, std::uint32_t index, ByteArray& buffer) {
  if (TIFFReadEncodedTile(tiff, index, buffer.Data(), buffer.Length()) <
      static_cast<tmsize_t>(buffer.Length())) {
    Refuse("tile " + std::to_string(index) + " does not decode");
  }
}

// Copies the part of tile index that lies inside the image from decoded,
// one whole tile, into pixels; the rest of the tile is padding.
void PlaceTile(const TileGrid& grid, std::uint32_t index, const std::uint8_t* decoded,
               const TMyImage& image, ByteArray& pixels) {
  const auto width = static_cast<std::uint32_t>(image.Width);
  const auto height = static_cast<std::uint32_t>(image.Height);
  const std::uint32_t x = index % grid.across * grid.width;
  const std::uint32_t y = index / grid.across * grid.length;
  const std::uint32_t columns = std::min(grid.width, width - x);
  const std::uint32_t rows = std::min(grid.length, height - y);
  for (std::uint32_t r = 0; r < rows; ++r) {
    std::copy_n(decoded + std::size_t{r} * grid.width, columns,
                pixels.Data() + std::size_t{y + r} * width + x);
  }
}

// Decodes a tile page into image.Pixels: ahead on several threads where
// that pays, then, in tile order, each tile not decoded ahead, and the
// first that failed refused, as one thread decoding them in turn would.
// The other threads' tile buffers take at most 1.2 bytes a pixel, what
// the run's cap of 2.2 leaves beside the pixels.
void ReadTiles(TIFF* tiff, TMyImage& image) {
  const TileGrid grid = PlanTiles(tiff, image);
  const auto tile_bytes = static_cast<std::uint32_t>(std::uint64_t{grid.width} * grid.length);
  ByteArray& pixels = image.Pixels;
  const DecodedAhead ahead = DecodeTilesAhead(
      tiff, ReadMode, grid.across * grid.down, tile_bytes, FreeWhileReadingOrWriting(pixels.Length()),
      [&](std::uint32_t index, const std::uint8_t* decoded) {
        PlaceTile(grid, index, decoded, image, pixels);
      });
  ByteArray buffer;
  for (std::uint32_t index = 0; index < grid.across * grid.down; ++index) {
    if (ahead.Take(tiff, index)) continue;
    if (buffer.Length() == 0) buffer.SetLength(ToInt32(tile_bytes));
    DecodeTile(tiff, index, buffer);
    PlaceTile(grid, index, buffer.Data(), image, pixels);
  }
}

// ---- gray levels -----------------------------------------------------------------------

// Maps every pixel through levels.
void MapPixels(ByteArray& pixels, const std::array<std::uint8_t, 256>& levels) {
  std::uint8_t* const data = pixels.Data();
  for (std::uint32_t i = 0; i < pixels.Length(); ++i) data[i] = levels[data[i]];
}

// Turns the stored samples of image into gray levels as the page looks.  A
// min-is-white page is inverted; a palette page goes through its map's
// levels and keeps the map only when it is the identity ramp, which it is
// then written back with; otherwise it is written back as min-is-black.
void ToGrayLevels(TIFF* tiff, TMyImage& image) {
  if (image.Photometric == PHOTOMETRIC_MINISWHITE) {
    std::array<std::uint8_t, 256> inverted{};
    for (int i = 0; i < 256; ++i) inverted[i] = static_cast<std::uint8_t>(255 - i);
    MapPixels(image.Pixels, inverted);
  } else if (image.Photometric == PHOTOMETRIC_PALETTE) {
    const ColourMap map = ColourMapOf(tiff);
    const std::array<std::uint8_t, 256> levels = PaletteLevels(map);
    if (IsIdentity(levels)) {
      image.Carried.Colormap.assign(map.red, map.red + 256);
      image.Carried.Colormap.insert(image.Carried.Colormap.end(), map.green, map.green + 256);
      image.Carried.Colormap.insert(image.Carried.Colormap.end(), map.blue, map.blue + 256);
    } else {
      MapPixels(image.Pixels, levels);
      image.Photometric = PHOTOMETRIC_MINISBLACK;
    }
  }
}

}  // namespace

TileGrid PlanTiles(TIFF* tiff, TMyImage& image) {
  const std::int32_t count = CheckedMul(image.Width, image.Height);
  image.Pixels.SetLength(count);
  const std::uint32_t width = image.TileWidth;
  const std::uint32_t length = image.TileLength;
  if (width == 0 || length == 0) Refuse("tiles of no size");
  static_cast<void>(ToUnsigned(CheckedMul(ToInt32(width), ToInt32(length))));
  const TileGrid grid{width, length, (ToUnsigned(image.Width) + width - 1) / width,
                      (ToUnsigned(image.Height) + length - 1) / length};
  const std::uint32_t tiles = TIFFNumberOfTiles(tiff);
  if (std::uint64_t{grid.across} * grid.down != tiles) Refuse("the tiles do not cover the image");
  image.StripCount = ToInt32(tiles);
  return grid;
}

void ReadTiffPage(TiffPages& input, std::uint32_t index, TMyImage& image) {
  TIFF* const tiff = input.tiff.get();
  OpenDirectory(input, index);
  FetchTags(tiff, image);
  try {
    const bool tiled = TIFFIsTiled(tiff) != 0;
    if (tiled) {
      image.RowsPerStrip = 0;  // tiles have no strips
      TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &image.TileWidth);
      TIFFGetField(tiff, TIFFTAG_TILELENGTH, &image.TileLength);
    }
    if (DefaultedField<std::uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE) < 8) {
      ReadPackedPage(tiff, image);  // its gray levels as it unpacks them
    } else {
      if (tiled) {
        ReadTiles(tiff, image);
      } else {
        ReadStrips(tiff, image);
      }
      ToGrayLevels(tiff, image);
    }
    // Last, as it leaves the page's directory: an EXIF directory that
    // cannot be read cannot be carried, and the file is refused rather
    // than lose it.
    if (!FetchExifDirectory(tiff, image.Carried)) Refuse("the EXIF directory cannot be read");
  } catch (const EFileFailed& failure) {
    Refuse(PagePrefix(input, index) + failure.Reason());
  }
}

}  // namespace tessvane
