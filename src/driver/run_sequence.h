// The run sequence on one file: for each page, read, marker,
// reconstruction, mapping; then the file written with every page.  Shared
// by the executable and the fuzz target, so both run exactly the same
// steps.
#pragma once

#include "image_record.h"

namespace tessvane {

// Clears every page of the TIFF file at name in place, using image as the
// working record (on return it holds the last page written).  EFileFailed
// with the failing step and reason when the file is not read or not
// written; the file is then unchanged.  Run-ending errors (ERunError and
// its kinds, std::bad_alloc from the library) pass through to the caller,
// the file unchanged as well.  What the run put right on the way (an
// interrupted run's backup restored or set aside) and what could not be
// finished after the commit are written on standard error as notices.
void ClearFile(const char* const& name, TMyImage& image);

}  // namespace tessvane
