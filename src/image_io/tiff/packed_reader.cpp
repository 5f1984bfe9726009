// The reading of a page of 1, 2 or 4 bits a sample (bilevel scans above
// all, CCITT Group 3 and 4 among them) into the 8-bit record, as gray
// levels as the page looks: see tiff_pages.h.
//
// Each strip or tile is decoded whole into a buffer, ahead on several
// threads where that pays (decode_ahead.h), and unpacked into its rows of
// Pixels through the page's levels: stored level v is v × 255 / (2^b − 1)
// min-is-black, 255 minus that min-is-white, and the colour map's gray
// through a palette.  A palette whose grays are exactly those levels (the
// ramp) is kept, and the page written back with it; a 1-bit palette of
// white then black makes the page min-is-white, as it then is stored; any
// other gray palette makes the page an 8-bit min-is-black one of the
// levels it showed, as for 8-bit palettes.
//
// A CCITT decoder fills a damaged or cut-off strip with what it guesses
// and reports success, saying only a warning ("Premature EOF", "Line
// length mismatch") or an error ("Bad code word") on the way.  So a CCITT
// block during whose decoding the library said anything is refused as not
// decoding: the file is left as it was rather than rewritten from
// guesses.  The messages of blocks decoded ahead are said through the
// reader's handle when the block is taken, so the count sees them in the
// same order on every thread count.
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "codec_budget.h"
#include "decode_ahead.h"
#include "file_failure.h"
#include "packed_samples.h"
#include "tiff_pages.h"

namespace tessvane {
namespace {

// The gray level of each stored level of image's page, bits bits a
// sample; a palette page keeps its colour map when it is the ramp,
// becomes min-is-white when it is 1-bit white then black, and 8-bit
// min-is-black otherwise.
std::array<std::uint8_t, 256> PageLevels(TIFF* tiff, TMyImage& image, std::uint32_t bits) {
  const std::uint32_t entries = 1u << bits;
  std::array<std::uint8_t, 256> levels{};
  for (std::uint32_t v = 0; v < entries; ++v) levels[v] = LevelOf(v, bits);
  if (image.Photometric == PHOTOMETRIC_MINISWHITE) {
    for (std::uint32_t v = 0; v < entries; ++v) levels[v] = static_cast<std::uint8_t>(255 - levels[v]);
  } else if (image.Photometric == PHOTOMETRIC_PALETTE) {
    const ColourMap map = ColourMapOf(tiff);  // checked gray, of entries entries
    bool ramp = true;
    for (std::uint32_t v = 0; v < entries; ++v) {
      const auto shown = static_cast<std::uint8_t>(map.red[v] >> 8);
      ramp = ramp && shown == levels[v];
      levels[v] = shown;
    }
    if (ramp) {
      image.Carried.Colormap.assign(map.red, map.red + entries);
      image.Carried.Colormap.insert(image.Carried.Colormap.end(), map.green, map.green + entries);
      image.Carried.Colormap.insert(image.Carried.Colormap.end(), map.blue, map.blue + entries);
    } else if (bits == 1 && ShowsBlackAndWhite(map)) {
      image.Photometric = PHOTOMETRIC_MINISWHITE;  // bilevel still, and CCITT codes it
    } else {
      image.Photometric = PHOTOMETRIC_MINISBLACK;
      image.BitsPerSample = 8;
    }
  }
  return levels;
}

// How the page's blocks are read: how many, the bytes of each, and where
// each goes in the pixels.
struct PackedBlocks {
  std::uint32_t count;
  std::uint32_t most_bytes;
  std::function<std::uint32_t(std::uint32_t)> bytes_of;
  std::function<void(std::uint32_t, const std::uint8_t*)> place;
  const char* kind;  // "strip", "tile"
};

// Decodes every block of tiff's page and places it: ahead on several
// threads where that pays, then in block order each block not decoded
// ahead, the first that fails (or, CCITT, made the library say
// anything) refused as one thread decoding them in turn would.
void ReadBlocks(TIFF* tiff, const TMyImage& image, const PackedBlocks& blocks) {
  const DecodedBlocks ahead =
      DecodeBlocksThroughBuffers(tiff, ReadMode, blocks.count, blocks.most_bytes, blocks.bytes_of,
                                 FreeWhileReadingOrWriting(image.Pixels.Length()), blocks.place);
  const bool ccitt = IsCcitt(image.Compression);
  std::vector<std::uint8_t> buffer;
  for (std::uint32_t k = 0; k < blocks.count; ++k) {
    const std::uint64_t said = MessagesSaidOn(tiff);
    const bool decoded =
        ahead.Take(tiff, k) || DecodeBuffered(tiff, k, blocks.bytes_of(k), buffer, blocks.place);
    if (!decoded || (ccitt && MessagesSaidOn(tiff) != said)) {
      Refuse(std::string(blocks.kind) + " " + std::to_string(k) + " does not decode");
    }
  }
}

// Reads a strip page: strip k holds rows k × RowsPerStrip on, the last
// one fewer.  EIntOverflow for an image of no pixels, EFileFailed for a
// strip count that does not match the rows.
void ReadPackedStrips(TIFF* tiff, TMyImage& image, std::uint32_t bits, const Unpacker& unpack) {
  image.Pixels.SetLength(CheckedMul(image.Width, image.Height));
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t height = ToUnsigned(image.Height);
  if (image.Pixels.Length() == 0) RaiseIntOverflow();  // there is no last pixel
  auto rows_per_strip = DefaultedField<std::uint32_t>(tiff, TIFFTAG_ROWSPERSTRIP);
  if (rows_per_strip == 0 || rows_per_strip > height) rows_per_strip = height;
  const std::uint32_t strip_count = TIFFNumberOfStrips(tiff);
  image.StripCount = ToInt32(strip_count);
  if (strip_count != (height - 1) / rows_per_strip + 1) Refuse("the strips do not cover the image");
  const std::uint32_t row_bytes = PackedRowBytes(width, bits);
  const auto rows_of = [=](std::uint32_t k) { return std::min(rows_per_strip, height - k * rows_per_strip); };
  std::uint8_t* const pixels = image.Pixels.Data();
  ReadBlocks(tiff, image,
             {strip_count, ToUnsigned(ToInt32(std::uint64_t{rows_per_strip} * row_bytes)),
              [=](std::uint32_t k) { return rows_of(k) * row_bytes; },
              [=, &unpack](std::uint32_t k, const std::uint8_t* bytes) {
                for (std::uint32_t r = 0; r < rows_of(k); ++r) {
                  unpack.Row(bytes + std::size_t{r} * row_bytes, width,
                             pixels + (std::size_t{k} * rows_per_strip + r) * width);
                }
              },
              "strip"});
}

// Reads a tile page: each tile whole, the part inside the image placed.
void ReadPackedTiles(TIFF* tiff, TMyImage& image, std::uint32_t bits, const Unpacker& unpack) {
  const TileGrid grid = PlanTiles(tiff, image);
  const std::uint32_t width = ToUnsigned(image.Width);
  const std::uint32_t height = ToUnsigned(image.Height);
  const std::uint32_t row_bytes = PackedRowBytes(grid.width, bits);
  const std::uint32_t tile_bytes = ToUnsigned(ToInt32(std::uint64_t{row_bytes} * grid.length));
  std::uint8_t* const pixels = image.Pixels.Data();
  ReadBlocks(tiff, image,
             {grid.across * grid.down, tile_bytes, [=](std::uint32_t) { return tile_bytes; },
              [=, &unpack](std::uint32_t k, const std::uint8_t* bytes) {
                const std::uint32_t x = k % grid.across * grid.width;
                const std::uint32_t y = k / grid.across * grid.length;
                const std::uint32_t columns = std::min(grid.width, width - x);
                for (std::uint32_t r = 0; r < std::min(grid.length, height - y); ++r) {
                  unpack.Row(bytes + std::size_t{r} * row_bytes, columns,
                             pixels + std::size_t{y + r} * width + x);
                }
              },
              "tile"});
}

}  // namespace

void ReadPackedPage(TIFF* tiff, TMyImage& image) {
  const auto bits = std::uint32_t{DefaultedField<std::uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE)};
  image.BitsPerSample = bits;  // 1 where the tag is absent, its default
  // libtiff 4.5 writes CCITT RLE/W with rows it then cannot read back, so
  // such a page is written back as CCITT RLE: the same codes, each row
  // aligned to a byte rather than to a 16-bit word.
  if (image.Compression == COMPRESSION_CCITTRLEW) image.Compression = COMPRESSION_CCITTRLE;
  const Unpacker unpack(bits, PageLevels(tiff, image, bits));
  if (TIFFIsTiled(tiff)) {
    ReadPackedTiles(tiff, image, bits, unpack);
  } else {
    ReadPackedStrips(tiff, image, bits, unpack);
  }
}

}  // namespace tessvane
