// The TIFF reader: the first image of a TIFF file into an image record.
#pragma once

#include <cstdint>

#include "image_record.h"

namespace tessvane {

// Reads the first image of the TIFF file at name into image (fields and
// Pixels).  name is the driver's name pointer, taken by reference like the
// writer's.  Returns 1 when read whole, −1 when the library cannot open the
// file (image untouched), 0 when it holds no image this tool can rewrite or
// does not decode.  Size and layout faults raise ERangeError, EIntOverflow
// or EOutOfMemory.
std::int32_t ReadTiffImage(const char* const& name, TMyImage& image);

// The same, reading the file already open at fd (which stays open), so
// that what is read is the file the caller locked and will replace; name
// appears in the library's diagnostics only.  −1 when fd is no regular
// file or the library cannot open it.
std::int32_t ReadTiffImageFrom(int fd, const char* const& name, TMyImage& image);

}  // namespace tessvane
