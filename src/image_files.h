// The unit's file operations by path: a TIFF file's pages read, and a
// file replaced by new pages, with the reader's and the writer's status.
//
// The TIFF room reads and writes through descriptors only; here a path is
// opened for it, or made a Target whose Replacement the writer fills, as
// the run sequence does.
#pragma once

#include <cstdint>

#include "image_record.h"
#include "tiff_reader.h"
#include "tiff_writer.h"

namespace tessvane {

// How a step that reads or writes a file ended, short of a run-ending
// error.
enum class IoStatus {
  Done,        // the file was processed (read whole, or replaced and on disk)
  CannotOpen,  // the file could not be opened; nothing was done
  Failed,      // opened, but not an image this tool can process, could not be
               // decoded, or could not be replaced safely; the file is unchanged
};

// The reader's and writer's result for status: 1 done, −1 cannot open, 0
// for every other failure.  Anything but 1 ends the run with a message.
constexpr std::int32_t StatusCode(IoStatus status) {
  switch (status) {
    case IoStatus::Done: return 1;
    case IoStatus::CannotOpen: return -1;
    case IoStatus::Failed: break;
  }
  return 0;
}

// The result of a reader or writer that succeeded.
inline constexpr std::int32_t StatusDone = StatusCode(IoStatus::Done);

// Opens the TIFF file at name without blocking on a FIFO or a device, and
// checks every page (OpenTiffPages).  EFileFailed with FileStep::Lock and
// the reason when it cannot be opened, names no regular file or holds no
// TIFF file the library can open; what OpenTiffPages raises.
TiffPages OpenTiffPages(const char* name);

// The first page of the TIFF file at name into image, in the reader's
// status: 1 when read whole, −1 when the file cannot be opened (image
// untouched), 0 when a page is refused or does not decode.  Raises what
// ReadTiffPage raises besides EFileFailed.
std::int32_t ReadTiffImage(const char* const& name, TMyImage& image);

// Replaces the file at name by a TIFF of page_count pages as
// WriteTiffPagesTo writes them: the file is locked and replaced as a
// Replacement of its Target.  first's layout is checked before the disk is
// touched (ERangeError or EIntOverflow).  EFileFailed with the failing
// step and reason when the new file cannot be made or put in place; the
// old file survives every failure.
void WriteTiffPages(const char* name, const TMyImage& first, std::uint32_t page_count,
                    const NextPage& next);

// Replaces the file at name by a TIFF of the one page image, in the
// writer's status: 1 when the new file is in place and on disk, −1 when
// the file cannot be opened, 0 when the new file could not be made or put
// in place.  Raises ERangeError or EIntOverflow as WriteTiffPages does.
std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image);

}  // namespace tessvane
