// libtiff handles: ownership of an open TIFF, and a TIFF written through a
// file descriptor whose every write is checked.
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

// The container of a TIFF file: BigTIFF or classic, and its byte order.
struct TiffContainer {
  bool big_tiff = false;
  bool big_endian = false;
};

// Writes a whole TIFF file, directory included, to the empty file open at
// fd, in container: encode sets up the image on the handle it is given.
// name is used in the library's diagnostics only.  EFileFailed
// (FileStep::Write): with the errno when fd cannot be examined or a write
// to it fails (whatever encode raised after it), without one when the
// library cannot begin or finish the file or encode returns false.  What
// else encode raises passes through.  The descriptor stays open.
void WriteTiffToFd(int fd, const char* name, TiffContainer container,
                   const std::function<bool(TIFF*)>& encode);

}  // namespace tessvane
