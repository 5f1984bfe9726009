// The TIFF writer: image records, one a page, into a new TIFF that
// replaces a file.
#pragma once

#include <cstdint>
#include <functional>

#include "image_record.h"

namespace tessvane {

// Supplies page index (1 and up) of the new file: the record to encode
// next.  Whatever it raises passes through the writer, the old file kept.
using NextPage = std::function<const TMyImage&(std::uint32_t index)>;

// Replaces the file at name by a TIFF of page_count pages: first, then the
// records next supplies, each page in its own strip or tile layout and
// with its own tags, in first's container.  first's layout is checked
// before the disk is touched (ERangeError or EIntOverflow for a layout
// that does not fit the pixels).  EFileFailed (FileStep::Write) with the
// reason when the new file cannot be made; the old file survives every
// failure.
void WriteTiffPages(const char* name, const TMyImage& first, std::uint32_t page_count,
                    const NextPage& next);

// Replaces the file at name by a TIFF of the one page image, in the
// writer's status: 1 when the new file is in place and on disk, −1 when
// the file cannot be opened for writing, 0 when the new file could not be
// made.  Raises ERangeError or EIntOverflow as WriteTiffPages does.
std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image);

}  // namespace tessvane
