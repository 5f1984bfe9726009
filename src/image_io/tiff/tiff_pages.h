// What the TIFF reader's files share: the library's reading mode, the
// refusal of a page, the page's colour map, the open directory, the tile
// grid, and the reading of a page of fewer than 8 bits a sample.  Inside
// the TIFF room only.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>

#include "tiff_reader.h"

namespace tessvane {

// The library's mode for reading.  "c": a page stored as one large
// uncompressed strip is read as that one strip, and so written back,
// rather than in the pieces the library cuts.  "m": no memory map;
// reading is measured faster without.
inline constexpr char ReadMode[] = "rmc";

// Raises EFileFailed (FileStep::Read) with reason: the file is refused.
[[noreturn]] void Refuse(std::string reason);

// "page 3: " before a reason when the file has more than one page.
// Raises std::bad_alloc.
std::string PagePrefix(const TiffPages& input, std::uint32_t index);

// The palette page's colour map (256 entries a channel), or nulls.
struct ColourMap {
  const std::uint16_t* red = nullptr;
  const std::uint16_t* green = nullptr;
  const std::uint16_t* blue = nullptr;
};

// The open directory's colour map, or nulls.  Raises nothing.
ColourMap ColourMapOf(TIFF* tiff);

// True when compression is one of the CCITT codings (RLE, RLE/W, Group 3,
// Group 4), which store only 1-bit pages.  Raises nothing.
bool IsCcitt(std::uint32_t compression);

// True when the two entries of a 1-bit page's colour map show black and
// white, in either order.  Raises nothing.
bool ShowsBlackAndWhite(const ColourMap& map);

// Makes the directory of page (below input.directories.size()) the open
// one, found by where it lies.  Every directory was read once when the
// pages were listed, and what the library said then was said: so here it
// is held back, and said only when the library cannot read the directory
// again, which refuses it (EFileFailed).
void OpenDirectory(TiffPages& input, std::uint32_t page);

// The tile grid of a page: tile size, and how many tiles across and down.
struct TileGrid {
  std::uint32_t width;
  std::uint32_t length;
  std::uint32_t across;
  std::uint32_t down;
};

// Sizes Pixels and works out the tiles of image: EIntOverflow when
// Width × Height or a tile's size does not fit 32 bits, ERangeError for a
// negative one, EFileFailed for tile counts that do not cover the image.
TileGrid PlanTiles(TIFF* tiff, TMyImage& image);

// Reads the open directory, a page of 1, 2 or 4 bits a sample whose
// fields FetchTags has filled, into image.Pixels as gray levels
// (packed_reader.cpp).  EFileFailed (FileStep::Read) when a strip or tile
// does not decode; ERangeError, EIntOverflow or EOutOfMemory for sizes
// that do not fit the record.
void ReadPackedPage(TIFF* tiff, TMyImage& image);

}  // namespace tessvane
