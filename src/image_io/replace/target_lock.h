// TargetLock: a run's hold on the file it rewrites, from before the file
// is read to the end of the run.
//
// Runs on one file serialize on an advisory lock (flock) on it; a waiting
// run prints nothing.  After the wait the lock is checked again: the run
// before may have renamed a new file over the path, and then that file is
// locked instead.  With the lock held, a backup left by an interrupted
// in-place replacement of the file is rolled back before the file is read.
//
// A path that names no regular file is left to the reader to refuse:
// nothing is locked, and nothing blocks on a FIFO or a device.
#pragma once

#include "unique_fd.h"

namespace tessvane {

class TargetLock {
 public:
  // Locks the file at path, waiting for other runs, and rolls back an
  // interrupted replacement of it.  Never fails; see usable().
  explicit TargetLock(const char* path);

  // False when an interrupted replacement left a backup that could not be
  // put back: the file must not be read.
  bool usable() const noexcept { return usable_; }

 private:
  UniqueFd file_;  // holds the lock; invalid when nothing was locked
  bool usable_ = true;
};

}  // namespace tessvane
