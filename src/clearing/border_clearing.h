// Border clearing: the marker, the reconstruction by erosion and the final
// mapping, on image records.
//
// The marker starts as the image on its frame and white (255) inside.  One
// forward and one backward raster scan of grayscale erosion lower it towards
// the image: each visited pixel takes the minimum of itself and its four
// already-visited 8-neighbours, but never less than the image pixel.  Low
// values enter from the frame and follow every dark region that touches it
// through pixels at least as dark (as far as one scan in each direction can
// follow a path); a dark region enclosed by brighter pixels is filled over
// at the level of its surroundings.  The marker is then the background
// estimate: dividing the image by it whitens the background and the regions
// joined to the border, and keeps the contrast of enclosed content.
//
// Invariant across the three steps: the marker is never below the image at
// any pixel.  The geometry is always the image's Width and Height; of the
// marker only its Pixels are used.
#pragma once

#include <cstdint>
#include <functional>

#include "image_record.h"

namespace tessvane {

// The marker: image's fields, image's pixels on the frame (first and last
// row and column), 255 inside.  The image is not changed.  EIntOverflow when
// Width × Height does not fit, ERangeError for a negative size or a frame
// index past the pixels, EOutOfMemory.
TMyImage MakeBorderMarker(const TMyImage& image);

// Lowers marker towards image by one forward and one backward raster scan
// of 8-connected grayscale erosion, never below image.  Returns 1.
// EIntOverflow below two interior-reaching pixels, ERangeError at the first
// index past either array.
std::int32_t ReconstructByErosion(const TMyImage& image, TMyImage& marker);

// Rewrites each image pixel I under marker pixel M as 255 when both are
// below 30, else as ⌊256 × I / M⌋ − 1 (0 for I = 0; 255 for M = 0).
// Returns 1.  ERangeError at the first pixel above a non-zero marker that
// is not dark, or past either array; EIntOverflow for an empty image.
std::int32_t NormalizeAndClear(TMyImage& image, const TMyImage& marker);

// Told, while ClearImage runs, that pixels begin .. end − 1 of pixels, the
// memory that becomes the image's pixels, hold their cleared values for
// good; called on the clearing thread.  Once it has told of any, it tells
// null pixels last, before ClearImage returns or raises: from then on the
// pixels told of must not be read, for on an error they are gone.  That
// last call must not raise.
using ClearedPixels =
    std::function<void(const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end)>;

// MakeBorderMarker, ReconstructByErosion and NormalizeAndClear on image as
// one operation, in fewer passes over memory where the image holds all its
// pixels: image ends the same, and the same error ends the run at the same
// point.  The marker is released before returning, and image's pixels are
// then memory of its own, never a view of a file.  cleared, when given, is
// told every few dozen rows which pixels are final (from the bottom up,
// while the backward scan runs; not where the image is too narrow for the
// vector scans or the three steps run one after the other), so that they
// can be encoded meanwhile.  Returns 1; raises what the three steps raise.
std::int32_t ClearImage(TMyImage& image, const ClearedPixels& cleared = {});

}  // namespace tessvane
