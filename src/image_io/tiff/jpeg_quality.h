// The quality a JPEG encoder was given, estimated from the quantization
// tables it wrote.
//
// Encoders derived from the IJG library scale the standard luminance table
// of the JPEG standard (Annex K) by a factor that the quality 1..100 fixes;
// the estimate inverts that scaling from the average ratio of the stored
// luminance table to the standard one, as image tools usually do.  It is
// exact for qualities 20 to 100; below 20 the baseline limit of 255 on each
// value flattens the tables and the estimate comes out higher than the
// quality used (which errs towards keeping detail).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessvane {

// The quality of the luminance table (table 0) found in the DQT segments of
// a JPEG stream of size bytes (a TIFF page's JPEGTables), 1..100; 0 when no
// such table is there or the stream is cut short.  Never reads past size.
int EstimateJpegQuality(const std::uint8_t* stream, std::size_t size);

}  // namespace tessvane
