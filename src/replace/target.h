// Target: the one file a run replaces, resolved once, and the run's lock
// on it, from before the file is read to the end of the run.
//
// The path is resolved once (a symbolic link's target is what is
// replaced); then the target's directory is opened (O_DIRECTORY) and the
// target relative to it, without following a link, and that descriptor is
// locked (flock; runs on one file wait for each other).  After a wait the
// directory entry is checked again: the run before may have renamed a new
// file in, and then that one is locked instead.  Every later step works
// relative to the directory descriptor; nothing resolves the path again.
//
// With the lock held, what an interrupted run left is put right before the
// file is read (recovery.h): a file that a cut-off overwrite left marked
// is put back from its backup or refused, stray temporary files are
// removed, and other backups of the file settled.
//
// What was read is what may be committed: CheckUnchanged() fails when the
// directory entry no longer names the locked file, or the file's size,
// modification or change time moved since the lock was taken.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "unique_fd.h"

namespace tessvane {

class Target {
 public:
  // Resolves path, opens, locks and puts right the file it names.
  // EFileFailed(Lock) when it names no regular file that can be opened, or
  // an interrupted overwrite left it in a state only another run can mend.
  explicit Target(const char* path);

  const std::string& path() const noexcept { return path_; }  // resolved
  const std::string& name() const noexcept { return name_; }  // in directory()
  int directory() const noexcept { return directory_.get(); }
  // True when directory() was opened for reading: it can be listed and
  // flushed (a directory of mode 0300 cannot).
  bool directory_readable() const noexcept { return directory_readable_; }
  int fd() const noexcept { return file_.get(); }  // read only, locked
  const struct stat& status() const noexcept { return status_; }  // as read

  // Fails (EFileFailed, Commit) unless directory() still names the locked
  // file and the file is as read; with_change_time false leaves out the
  // change time, which the run's own marker moves.
  void CheckUnchanged(bool with_change_time = true) const;

  // Opens the locked file again for writing, through its directory entry.
  // EFileFailed(Write) when it cannot be, or the entry names another file.
  UniqueFd OpenForWriting() const;

  // What the run should tell the user on standard error, short of failing.
  const std::vector<std::string>& notices() const noexcept { return notices_; }

 private:
  void OpenAndLock();

  std::string path_;
  std::string name_;
  UniqueFd directory_;
  bool directory_readable_ = false;
  UniqueFd file_;
  struct stat status_ {};
  std::vector<std::string> notices_;
};

}  // namespace tessvane
