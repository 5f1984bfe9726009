// The image record: one 8-bit, single-channel raster wholly in memory,
// together with the TIFF fields that travel from the input file to the
// output file.
//
// The pixel in row r and column c is element r × Width + c of Pixels; rows
// are not padded.  A field whose tag the input lacks stays 0; the 16-bit
// tags are held in 32-bit fields with the high half zero.
#pragma once

#include <cstdint>

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
};

// The image record: the directory fields and the pixels.
struct TMyImage : TImageFields {
  ByteArray Pixels;  // Width × Height bytes, row-major
};

}  // namespace tessvane
