// The run sequence on one file: see run_sequence.h.
//
// Pages are cleared one at a time, each while the new file is being
// written, so the run holds one page and its marker at most.  The first
// page is read and cleared before the new file is begun: a file that
// cannot be read is reported as such, whatever its permissions.
//
// The reader may leave the pixels a view of the file, read only when the
// page is cleared; a view that lost its pages meanwhile (the file cut
// short, the disk failing) gave zeroes, not the file, so the run is a
// failed read and nothing is written.
#include "run_sequence.h"

#include "file_failure.h"
#include "file_view_guard.h"
#include "im_proc.h"
#include "target_lock.h"

namespace tessvane {
namespace {

// Reads page index of input into image, a fresh record, and clears it.
// EFileFailed (FileStep::Read) when the page is not read whole.
void ClearPage(TiffPages& input, std::uint32_t index, TMyImage& image) {
  image = TMyImage();  // the previous page's memory goes first
  const std::uint32_t views_lost_before = LostFileViews();
  ReadTiffPage(input, index, image);
  ClearImage(image);  // the three clearing steps; the marker is gone after it
  if (LostFileViews() != views_lost_before) {
    throw EFileFailed(FileStep::Read, 0, "the file changed while it was cleared");
  }
}

}  // namespace

void ClearFile(const char* const& name, TMyImage& image) {
  const TargetLock lock(name);  // held to the end: other runs on the file wait
  if (!lock.usable()) {
    throw EFileFailed(FileStep::Lock, 0, "an interrupted run's backup cannot be put back");
  }
  TiffPages input = OpenTiffPages(name);
  ClearPage(input, 0, image);
  const auto page_count = static_cast<std::uint32_t>(input.directories.size());
  WriteTiffPages(name, image, page_count, [&](std::uint32_t index) -> const TMyImage& {
    ClearPage(input, index, image);
    return image;
  });
}

}  // namespace tessvane
