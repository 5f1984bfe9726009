// The TIFF writer: image records, one a page, into a new TIFF written to a
// descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "early_encoder.h"
#include "image_record.h"

namespace tessvane {

// Supplies page index (1 and up) of the new file: the record to encode
// next.  Whatever it raises passes through the writer, the old file kept.
using NextPage = std::function<const TMyImage&(std::uint32_t index)>;

// Begins encoding the strips or tiles of image, a page read and about to
// be cleared, on the threads beyond the caller's, each as soon as the
// clearing tells that its pixels are final (EarlyBlockEncoder::Final),
// for WriteTiffPagesTo to write as they are.  Null for a layout that does
// not fit its pixels (the writer reports that in its turn).  Raises
// EOutOfMemory.
std::unique_ptr<EarlyBlockEncoder> BeginEarlyBlocks(const TMyImage& image);

// Checks that image's layout fits its pixels, as the writer will before it
// writes a byte: ERangeError or EIntOverflow when it does not.
void CheckPageLayout(const TMyImage& image);

// Writes a TIFF of page_count pages to the empty file open at fd (read and
// write, at 0): first, then the records next supplies, each page in its
// own strip or tile layout and with its own tags, in first's container;
// name appears in the library's diagnostics only.  first's layout is
// checked before anything is written (ERangeError or EIntOverflow);
// EFileFailed (FileStep::Write) with the reason when the library or a
// write fails.
//
// early, when given, holds the blocks of the page about to be encoded that
// were encoded while it was cleared (BeginEarlyBlocks); next refills it
// for each page it supplies.  Blocks from other pixels are never used.
void WriteTiffPagesTo(int fd, const char* name, const TMyImage& first, std::uint32_t page_count,
                      const NextPage& next, EarlyBlocks* early = nullptr);

}  // namespace tessvane
