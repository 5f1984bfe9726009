// The run sequence on one file: see run_sequence.h.
//
// The file is one Target from the start: resolved, opened and locked once,
// read through the locked descriptor, and replaced by a Replacement of it
// that the writer fills.  A replacement failure (EFileFailed) is reported
// on standard error with its reason and becomes a failed read or write.
//
// The marker lives only while it is needed: it is released before the
// write, so the write's peak memory is one image.
//
// The reader may leave the pixels a view of the file, read only when the
// image is cleared; a view that lost its pages meanwhile (the file cut
// short, the disk failing) gave zeroes, not the file, so the run is a
// failed read and nothing is written.
#include "run_sequence.h"

#include "console.h"
#include "file_failure.h"
#include "file_view_guard.h"
#include "im_proc.h"
#include "replacement.h"
#include "target.h"

namespace tessvane {
namespace {

// Writes each notice as "tessvane: PATH: NOTICE" on standard error.
void ReportNotices(const char* name, const std::vector<std::string>& notices) {
  for (const std::string& notice : notices) ReportOnStandardError(name, notice);
}

RunOutcome ClearTarget(const char* const& name, TMyImage& image) {
  const Target target(name);  // held to the end: other runs on the file wait
  ReportNotices(name, target.notices());
  const std::uint32_t views_lost_before = LostFileViews();
  if (ReadTiffImageFrom(target.fd(), name, image) != StatusDone) return RunOutcome::ReadFailed;
  ClearImage(image);  // the three clearing steps; the marker is gone after it
  if (LostFileViews() != views_lost_before) return RunOutcome::ReadFailed;
  Replacement replacement(target);
  if (WriteTiffImageTo(replacement.fd(), name, image) != StatusDone) return RunOutcome::WriteFailed;
  replacement.Commit();
  ReportNotices(name, replacement.notices());
  return RunOutcome::Cleared;
}

}  // namespace

RunOutcome ClearFile(const char* const& name, TMyImage& image) {
  try {
    return ClearTarget(name, image);
  } catch (const EFileFailed& failure) {
    ReportOnStandardError(name, failure.Reason());
    return IsReadStep(failure.Step()) ? RunOutcome::ReadFailed : RunOutcome::WriteFailed;
  }
}

}  // namespace tessvane
