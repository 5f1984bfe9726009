// The libtiff client that writes a TIFF through a file descriptor: see
// tiff_handle.h.
//
// Invariant: the sink's failed flag is set by the first write that does not
// complete, so a short or failed write can never pass as a whole file.
#include "tiff_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tessvane {
namespace {

// The descriptor libtiff writes to, and whether any of its writes failed.
struct Sink {
  int fd;
  bool failed = false;
};

tmsize_t SinkRead(thandle_t handle, void* buffer, tmsize_t size) {
  const ssize_t got = read(static_cast<Sink*>(handle)->fd, buffer, static_cast<std::size_t>(size));
  return got < 0 ? -1 : got;
}

tmsize_t SinkWrite(thandle_t handle, void* buffer, tmsize_t size) {
  auto* sink = static_cast<Sink*>(handle);
  const auto* bytes = static_cast<const char*>(buffer);
  const off_t start = lseek(sink->fd, 0, SEEK_CUR);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t written = write(sink->fd, bytes + done, static_cast<std::size_t>(size - done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      sink->failed = true;
      break;
    }
    done += written;
  }
  // Start writing the bytes to disk now, while the rest is being encoded,
  // so that the final flush has less to wait for.  Only a hint: the flush
  // checks every byte.
  if (start >= 0 && done > 0) sync_file_range(sink->fd, start, done, SYNC_FILE_RANGE_WRITE);
  return done;
}

toff_t SinkSeek(thandle_t handle, toff_t offset, int whence) {
  const off_t position = lseek(static_cast<Sink*>(handle)->fd, static_cast<off_t>(offset), whence);
  return position < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(position);
}

int SinkClose(thandle_t) { return 0; }  // the descriptor stays with its owner

toff_t SinkSize(thandle_t handle) {
  struct stat status;
  if (fstat(static_cast<Sink*>(handle)->fd, &status) != 0) return 0;
  return static_cast<toff_t>(status.st_size);
}

int SinkMap(thandle_t, void**, toff_t*) { return 0; }
void SinkUnmap(thandle_t, void*, toff_t) {}

// The library's mode for a new file in container ("8": BigTIFF; "b"/"l":
// big- or little-endian, whatever the machine's order).
const char* WriteMode(TiffContainer container) {
  if (container.big_tiff) return container.big_endian ? "w8b" : "w8l";
  return container.big_endian ? "wb" : "wl";
}

}  // namespace

bool WriteTiffToFd(int fd, const char* name, TiffContainer container,
                   const std::function<bool(TIFF*)>& encode) {
  Sink sink{fd};
  TiffHandle tiff(TIFFClientOpen(name, WriteMode(container), &sink, SinkRead, SinkWrite, SinkSeek, SinkClose,
                                 SinkSize, SinkMap, SinkUnmap));
  if (!tiff) return false;
  const bool encoded =
      encode(tiff.get()) && TIFFWriteDirectory(tiff.get()) && TIFFFlush(tiff.get());
  tiff.reset();
  return encoded && !sink.failed;
}

}  // namespace tessvane
