// The unit's file operations by path: see image_files.h.
#include "image_files.h"

#include <fcntl.h>

#include <cerrno>

#include "file_failure.h"
#include "replacement.h"
#include "target.h"
#include "unique_fd.h"

namespace tessvane {

TiffPages OpenTiffPages(const char* name) {
  const UniqueFd file(open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    const int error = errno;
    throw EFileFailed(FileStep::Lock, error, ErrnoReason(error));
  }
  return OpenTiffPages(file.get(), name);
}

std::int32_t ReadTiffImage(const char* const& name, TMyImage& image) {
  try {
    TiffPages input = OpenTiffPages(name);
    ReadTiffPage(input, 0, image);
    return StatusDone;
  } catch (const EFileFailed& failure) {
    return StatusCode(failure.Step() == FileStep::Lock ? IoStatus::CannotOpen : IoStatus::Failed);
  }
}

void WriteTiffPages(const char* name, const TMyImage& first, std::uint32_t page_count,
                    const NextPage& next) {
  CheckPageLayout(first);  // run-ending errors before the disk is touched
  const Target target(name);
  Replacement replacement(target);
  WriteTiffPagesTo(replacement.fd(), name, first, page_count, next);
  replacement.Commit();
}

std::int32_t WriteTiffImage(const char* const& name, const TMyImage& image) {
  try {
    WriteTiffPages(name, image, 1, {});
    return StatusDone;
  } catch (const EFileFailed& failure) {
    return StatusCode(IsReadStep(failure.Step()) ? IoStatus::CannotOpen : IoStatus::Failed);
  }
}

}  // namespace tessvane
