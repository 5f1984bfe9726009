// The run sequence on one file: see run_sequence.h.
//
// The marker lives only while it is needed: it is released before the
// write, so the write's peak memory is one image.
#include "run_sequence.h"

#include "im_proc.h"
#include "target_lock.h"

namespace tessvane {

RunOutcome ClearFile(const char* const& name, TMyImage& image) {
  const TargetLock lock(name);  // held to the end: other runs on the file wait
  if (!lock.usable() || ReadTiffImage(name, image) != StatusDone) return RunOutcome::ReadFailed;
  ClearImage(image);  // the three clearing steps; the marker is gone after it
  if (WriteTiffImage(name, image) != StatusDone) return RunOutcome::WriteFailed;
  return RunOutcome::Cleared;
}

}  // namespace tessvane
