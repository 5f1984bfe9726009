// Byte copies and flushes on open descriptors, by position, for the
// replacement, its backups and their restore.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tessvane {

// Reads size bytes at offset of fd into buffer, fewer only at the end of
// the file; the count read, or -1 with errno set.
ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset);

// Writes size bytes of buffer at offset of fd; false with errno set on
// failure.
bool WriteAt(int fd, const void* buffer, std::size_t size, off_t offset);

// Copies length bytes from offset from_offset of from to to_offset of to;
// false with errno set on failure or when from ends early (EIO).
bool CopyRange(int from, off_t from_offset, int to, off_t to_offset, off_t length);

// Makes to hold exactly the bytes of from; false with errno set on failure.
bool CopyContents(int from, int to);

// Size of the file open at fd, or -1.
off_t FileSize(int fd);

// Flushes the entries of the directory open at fd to disk.  File systems
// that cannot sync a directory say so with EINVAL; their entries are as
// safe as they get.
bool SyncDirectory(int fd);

}  // namespace tessvane
