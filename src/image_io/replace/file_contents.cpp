// Whole-file byte copies: see file_contents.h.
#include "file_contents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>

namespace tessvane {

bool CopyContents(int from, int to) {
  constexpr std::size_t ChunkSize = 1 << 20;
  const std::unique_ptr<char[]> chunk(new char[ChunkSize]);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(from, chunk.get(), ChunkSize, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = pwrite(to, chunk.get() + done, static_cast<std::size_t>(got - done),
                                     offset + done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += written;
    }
    offset += got;
  }
  return ftruncate(to, offset) == 0;
}

off_t FileSize(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 ? status.st_size : -1;
}

bool SyncDirectory(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

}  // namespace tessvane
