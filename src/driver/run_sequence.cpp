// The run sequence on one file: see run_sequence.h.
//
// The file is one Target from the start: resolved, opened and locked once,
// read through the locked descriptor, and replaced by a Replacement of it
// that the writer fills.  What the replacement layer put right or could
// not finish after the commit is told on standard error as a notice.
//
// Pages are cleared one at a time, each while the new file is being
// written, so the run holds one page and its marker at most.  The first
// page is read and cleared, and its layout checked, before the new file is
// begun: a file that cannot be read is reported as such, whatever its
// permissions, and nothing touches the disk before.
//
// The reader may leave the pixels a view of the file, read only when the
// page is cleared; a view that lost its pages meanwhile (the file cut
// short, the disk failing) gave zeroes, not the file, so the run is a
// failed read and nothing is written.
#include "run_sequence.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "file_failure.h"
#include "file_view_guard.h"
#include "im_proc.h"
#include "replacement.h"
#include "target.h"
#include "terminal_quote.h"

namespace tessvane {
namespace {

// Writes each notice as "tessvane: PATH: NOTICE" on standard error.
void ReportNotices(const char* name, const std::vector<std::string>& notices) {
  for (const std::string& notice : notices) WriteFailureReason(name, notice);
}

// Reads page index of input into image, a fresh record, and clears it,
// its strips or tiles encoded into early as the clearing makes them final.
// EFileFailed (FileStep::Read) when the page is not read whole.
void ClearPage(TiffPages& input, std::uint32_t index, TMyImage& image, EarlyBlocks& early) {
  image = TMyImage();  // the previous page's memory goes first
  early = EarlyBlocks();
  const std::uint32_t views_lost_before = LostFileViews();
  ReadTiffPage(input, index, image);
  const std::unique_ptr<EarlyBlockEncoder> encoder = BeginEarlyBlocks(image);
  ClearedPixels cleared;
  if (encoder) {
    cleared = [&encoder](const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end) {
      if (pixels == nullptr) {
        encoder->Stop();
      } else {
        encoder->Final(pixels, begin, end);
      }
    };
  }
  ClearImage(image, cleared);  // the three clearing steps; the marker is gone after it
  if (encoder) early = encoder->Finish();
  if (LostFileViews() != views_lost_before) {
    throw EFileFailed(FileStep::Read, 0, "the file changed while it was cleared");
  }
}

}  // namespace

void ClearFile(const char* const& name, TMyImage& image) {
  const Target target(name);  // held to the end: other runs on the file wait
  ReportNotices(name, target.notices());
  // The name libtiff puts before what it says about the file, quoted as
  // the tool's own lines quote it.
  const std::string shown = QuotedForTerminal(name);
  TiffPages input = OpenTiffPages(target.fd(), shown.c_str());
  EarlyBlocks early;  // the blocks of the page last cleared, encoded meanwhile
  ClearPage(input, 0, image, early);
  CheckPageLayout(image);  // run-ending errors before the disk is touched
  const auto page_count = static_cast<std::uint32_t>(input.directories.size());
  Replacement replacement(target);
  WriteTiffPagesTo(
      replacement.fd(), shown.c_str(), image, page_count,
      [&](std::uint32_t index) -> const TMyImage& {
        ClearPage(input, index, image, early);
        return image;
      },
      &early);
  replacement.Commit();
  ReportNotices(name, replacement.notices());
}

}  // namespace tessvane
