// The run sequence on one file: read, marker, reconstruction, mapping,
// write.  Shared by the executable and the fuzz target, so both run
// exactly the same steps.
#pragma once

#include "image_record.h"

namespace tessvane {

enum class RunOutcome {
  Cleared,      // the file now holds the cleared image
  ReadFailed,   // the reader's status was not 1, or the file lost pages
                // while the image was read from them; nothing was written
  WriteFailed,  // the writer's status was not 1; the old file is intact
};

// Clears the TIFF file at name in place, using image as the working record
// (on Cleared it holds the pixels written).  A failure of the file's
// replacement is written on standard error as "tessvane: NAME: REASON" and
// returned as ReadFailed or WriteFailed; so are notices of what the run
// put right.  Run-ending errors (ERunError and its kinds, std::bad_alloc
// from the library) pass through to the caller.
RunOutcome ClearFile(const char* const& name, TMyImage& image);

}  // namespace tessvane
