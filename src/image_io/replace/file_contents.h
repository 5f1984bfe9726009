// Whole-file byte copies and sizes on open descriptors, for the in-place
// replacement and its restore.
#pragma once

#include <sys/types.h>

namespace tessvane {

// Makes to hold exactly the bytes of from (both read and written by
// position); false with errno set on failure.
bool CopyContents(int from, int to);

// Size of the file open at fd, or -1.
off_t FileSize(int fd);

// Flushes the entries of the directory open at fd to disk.  File systems
// that cannot sync a directory say so with EINVAL; their entries are as
// safe as they get.
bool SyncDirectory(int fd);

}  // namespace tessvane
