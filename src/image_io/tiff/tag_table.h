// The tags that travel from the input's first directory to the output's:
// fetched into the record by the reader and set from it by the writer.
#pragma once

#include <tiffio.h>

#include "image_record.h"

namespace tessvane {

// Copies the directory's values into the record's fields.  A tag the file
// lacks leaves its field alone.  Raises nothing.
void FetchTags(TIFF* tiff, TMyImage& image);

// Sets the record's tags on a new image; false when the library refuses one.
// Zero fields are tags the input did not have and are left out.
bool SetTags(TIFF* tiff, const TMyImage& image);

}  // namespace tessvane
