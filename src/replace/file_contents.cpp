// Byte copies by position: see file_contents.h.
#include "file_contents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace tessvane {
namespace {

constexpr std::size_t ChunkSize = 1 << 20;

}  // namespace

ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool WriteAt(int fd, const void* buffer, std::size_t size, off_t offset) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = pwrite(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

bool CopyRange(int from, off_t from_offset, int to, off_t to_offset, off_t length) {
  const std::unique_ptr<char[]> chunk(new char[ChunkSize]);
  for (off_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(length - done, ChunkSize));
    const ssize_t got = ReadAt(from, chunk.get(), want, from_offset + done);
    if (got < 0) return false;
    if (static_cast<std::size_t>(got) != want) {
      errno = EIO;
      return false;
    }
    if (!WriteAt(to, chunk.get(), want, to_offset + done)) return false;
    done += got;
  }
  return true;
}

bool CopyContents(int from, int to) {
  const off_t size = FileSize(from);
  return size >= 0 && CopyRange(from, 0, to, 0, size) && ftruncate(to, size) == 0;
}

off_t FileSize(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 ? status.st_size : -1;
}

bool SyncDirectory(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

}  // namespace tessvane
