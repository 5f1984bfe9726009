// The TIFF writer: an image record into a new TIFF, written to a
// descriptor, or put in place of a file.
#pragma once

#include <cstdint>

#include "image_record.h"

namespace tessvane {

// Replaces the file at name by a TIFF of image, in image's strip layout and
// with its tags.  name is the driver's name pointer, taken by reference
// like the reader's.  Every check that can end the run is made before the
// disk is touched (ERangeError or EIntOverflow for a layout that does not
// fit the pixels), and the old file survives any failure: the file is
// locked and replaced as a Replacement (replace/replacement.h) of its
// Target, the same transaction the run sequence makes.  Returns 1 when
// the new file is in place and on disk, −1 when the file cannot be opened
// for writing, 0 when the new file could not be made.
std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image);

// Writes a TIFF of image, in image's strip layout and with its tags, to
// the empty file open at fd (read and write, at 0); name appears in the
// library's diagnostics only.  ERangeError or EIntOverflow for a layout
// that does not fit the pixels, before anything is written.  Returns 1
// when the whole file is written, 0 when the library or a write fails.
std::int32_t WriteTiffImageTo(int fd, const char* const& name, const TMyImage& image);

}  // namespace tessvane
