// Replacing a file by a new TIFF without ever losing the old one.
#pragma once

#include <tiffio.h>

#include <functional>
#include <memory>

namespace tessvane {

// An open libtiff handle, closed on destruction.
struct TiffCloser {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

enum class OutputResult {
  Done,        // the new file has replaced the old one and is on disk
  CannotOpen,  // the file cannot be opened for writing; nothing was done
  Failed,      // the new file could not be made; the old one is unchanged
};

// Replaces the file at path by a new TIFF.  encode sets up the image on the
// handle it is given and returns false on failure.
//
// The usual way is a temporary file in the target's own directory (links
// resolved), flushed to disk and renamed over the target.  Where a rename
// would change the file in other ways (more hard links, another owner,
// extended attributes) or no temporary file can be made there, the whole
// output is encoded in memory first and then copied over the target, which
// is restored from a copy if that fails.
OutputResult ReplaceWithTiff(const char* path, const std::function<bool(TIFF*)>& encode);

}  // namespace tessvane
