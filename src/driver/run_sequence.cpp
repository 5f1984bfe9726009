// The run sequence on one file: see run_sequence.h.
//
// The marker lives only while it is needed: it is released before the
// write, so the write's peak memory is one image.
//
// The reader may leave the pixels a view of the file, read only when the
// image is cleared; a view that lost its pages meanwhile (the file cut
// short, the disk failing) gave zeroes, not the file, so the run is a
// failed read and nothing is written.
#include "run_sequence.h"

#include "file_view_guard.h"
#include "im_proc.h"
#include "target_lock.h"

namespace tessvane {

RunOutcome ClearFile(const char* const& name, TMyImage& image) {
  const TargetLock lock(name);  // held to the end: other runs on the file wait
  const std::uint32_t views_lost_before = LostFileViews();
  if (!lock.usable() || ReadTiffImage(name, image) != StatusDone) return RunOutcome::ReadFailed;
  ClearImage(image);  // the three clearing steps; the marker is gone after it
  if (LostFileViews() != views_lost_before) return RunOutcome::ReadFailed;
  if (WriteTiffImage(name, image) != StatusDone) return RunOutcome::WriteFailed;
  return RunOutcome::Cleared;
}

}  // namespace tessvane
