// The image record and the operations on it.
//
// TMyImage holds one 8-bit, single-channel raster wholly in memory together
// with the TIFF fields that travel from the input file to the output file.
// The pixel in row r and column c is element r × Width + c of Pixels; rows
// are not padded.  The operations below index Pixels linearly and end the
// run through the errors of checked.h when a size or index does not fit.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "checked.h"

namespace tessvane {

// A counted, bounds-checked array of bytes.  Every element access tests the
// index against the length and raises ERangeError past it; Data() gives the
// raw bytes to code that has already tested a whole range.
class ByteArray {
 public:
  ByteArray() = default;
  ByteArray(const ByteArray& other);
  ByteArray& operator=(const ByteArray& other);
  ByteArray(ByteArray&& other) noexcept = default;
  ByteArray& operator=(ByteArray&& other) noexcept = default;
  ~ByteArray() = default;

  // Resizes to count bytes, keeping the old bytes and zeroing new ones;
  // 0 releases the storage.  Negative: ERangeError; no memory: EOutOfMemory.
  void SetLength(std::int32_t count);
  std::uint32_t Length() const noexcept { return length_; }

  std::uint8_t& operator[](std::uint32_t index) {
    if (index >= length_) RaiseRangeError();
    return bytes_[index];
  }
  std::uint8_t operator[](std::uint32_t index) const {
    if (index >= length_) RaiseRangeError();
    return bytes_[index];
  }

  std::uint8_t* Data() noexcept { return bytes_.get(); }
  const std::uint8_t* Data() const noexcept { return bytes_.get(); }

 private:
  struct FreeBytes {
    void operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }
  };
  std::unique_ptr<std::uint8_t[], FreeBytes> bytes_;
  std::uint32_t length_ = 0;
};

// The directory fields of an image record.  A field whose tag the input
// lacks stays 0; the 16-bit tags are held in 32-bit fields with the high
// half zero.
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

// Statuses of the reader and the writer.  Anything but StatusDone ends the
// run with "image read error" or "image write error".
inline constexpr std::int32_t StatusDone = 1;
// The library could not open the file.
inline constexpr std::int32_t StatusCannotOpen = -1;
// The file opened but holds no image this tool can process, or it could not
// be decoded (reader); the file could not be written safely (writer).
inline constexpr std::int32_t StatusFailed = 0;

// Reads the first image of the TIFF file at name into image (fields and
// Pixels).  Returns StatusDone, StatusCannotOpen (image untouched) or
// StatusFailed; size and layout faults raise the checked-arithmetic errors.
std::int32_t ReadTiffImage(const char* const& name, TMyImage& image);

// Replaces the file at name by a TIFF of image, in image's strip layout and
// with its tags.  Every check that can end the run is made before the disk
// is touched, and the old file survives any failure.  Returns StatusDone,
// StatusCannotOpen or StatusFailed.
std::int32_t WriteTiffImage(const char* name, const TMyImage& image);

// The marker: image's fields, image's pixels on the frame (first and last
// row and column), 255 inside.  The image is not changed.
TMyImage MakeBorderMarker(const TMyImage& image);

// Lowers marker towards image by one forward and one backward raster scan
// of 8-connected grayscale erosion, never below image.  Returns 1.
std::int32_t ReconstructByErosion(const TMyImage& image, TMyImage& marker);

// Rewrites each image pixel I under marker pixel M as 255 when both are
// below 30, else as ⌊256 × I / M⌋ − 1 (0 for I = 0; 255 for M = 0).
// Returns 1.
std::int32_t NormalizeAndClear(TMyImage& image, const TMyImage& marker);

}  // namespace tessvane
