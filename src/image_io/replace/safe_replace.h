// Replacing a file by new contents without ever losing the old ones.
//
// This layer knows nothing of the file's format: it is handed a function
// that writes the complete new contents to a descriptor.
#pragma once

#include <functional>

#include "io_status.h"

namespace tessvane {

// Writes the complete new contents to the empty file open at fd (read and
// write, positioned at 0); false on any failure.
using ContentsWriter = std::function<bool(int fd)>;

// Replaces the file at path by what write puts on a descriptor.  Done: the
// new file has replaced the old one and is on disk; CannotOpen: the file
// cannot be opened for writing, nothing was done; Failed: the new file
// could not be made, the old one is unchanged.
//
// The usual way is a temporary file in the target's own directory (links
// resolved), given the target's owner, mode and extended attributes (ACLs
// included), flushed to disk and renamed over the target; other hard links
// of the target keep the old contents.  Where a rename cannot keep the
// owner (another user's file) or no temporary file can be made there, the
// output is written to memory, the old contents are saved in a flushed
// Backup, and the output is copied over the target; the backup is removed
// once the target is on disk, and rolled back by the next run's TargetLock
// if the run dies before.  No backup anywhere: Failed, target untouched.
IoStatus ReplaceFile(const char* path, const ContentsWriter& write);

}  // namespace tessvane
