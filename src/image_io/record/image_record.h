// The image record: one 8-bit, single-channel raster wholly in memory,
// together with the TIFF fields that travel from the input file to the
// output file.
//
// The pixel in row r and column c is element r × Width + c of Pixels; rows
// are not padded.  Pixels are gray levels as the page looks, 0 black:
// a min-is-white page is held inverted and a gray palette page through its
// colour map, and the writer stores them back as Photometric says.  A field whose tag the input lacks stays 0; the 16-bit
// tags are held in 32-bit fields with the high half zero.
#pragma once

#include <cstdint>
#include <vector>

#include "byte_array.h"

namespace tessvane {

// The directory fields of an image record.
struct TImageFields {
  std::int32_t Width = 0;             // ImageWidth (256)
  std::int32_t Height = 0;            // ImageLength (257)
  std::uint32_t BitsPerSample = 0;    // 258
  std::uint32_t Compression = 0;      // 259
  std::uint32_t Photometric = 0;      // PhotometricInterpretation (262)
  std::uint32_t StripOffsets = 0;     // position of strip 0 in the input, informational
  std::int32_t RowsPerStrip = 0;      // 278
  std::uint32_t StripByteCounts = 0;  // stored length of strip 0 in the input, informational
  float XResolution = 0;              // 282
  float YResolution = 0;              // 283
  std::uint32_t ResolutionUnit = 0;   // 296
  std::int32_t StripCount = 0;        // strips the library reports for the input
  std::uint32_t PlanarConfig = 0;     // PlanarConfiguration (284)
  std::uint32_t Orientation = 0;      // 274; 0 when the input has none
  std::uint32_t TileWidth = 0;        // 322; 0 for a page stored in strips
  std::uint32_t TileLength = 0;       // 323; 0 for a page stored in strips
};

// One tag value of the input that no field holds, as the TIFF library holds
// it in memory: Count values of the library's element size in Bytes (a
// text with its final NUL).  Type is the library's field type, kept for
// tags the library does not know by number.
struct TCarriedTag {
  std::uint32_t Tag = 0;
  std::uint16_t Type = 0;
  std::uint32_t Count = 0;
  std::vector<std::uint8_t> Bytes;
};

// What the output keeps of the input beyond the fields: tag values carried
// unchanged, the EXIF directory's entries, the container and the JPEG
// quality.  Filled by the reader, written by the writer, never looked at by
// the image operations.  The defaults describe a classic little-endian
// file with nothing to carry.
struct TCarried {
  std::vector<TCarriedTag> Tags;  // first-directory tags, in tag table order
  std::vector<TCarriedTag> Exif;  // the EXIF directory's entries; empty when none
  std::uint64_t ExifOffset = 0;   // where the input's EXIF directory lies; 0 for none
  bool BigTiff = false;
  bool BigEndian = false;
  std::int32_t JpegQuality = 0;   // estimated from the input's tables; 0 when unknown
  // The input's colour map (256 red, then green, then blue entries) when it
  // is the identity gray ramp and the page is written back as a palette
  // page; empty otherwise.
  std::vector<std::uint16_t> Colormap;
};

// The image record: the directory fields, the pixels, and what else the
// output must keep.  Carried lies beside the fields rather than among them
// because it is of open length and is the reader's and writer's business
// alone; copying the fields (as the marker does) leaves it behind.
struct TMyImage : TImageFields {
  ByteArray Pixels;  // Width × Height bytes, row-major
  TCarried Carried;
};

}  // namespace tessvane
