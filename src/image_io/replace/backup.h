// Backup: a flushed copy of a file's old contents, kept while the file is
// overwritten in place, so that the next run can roll back a run that was
// killed meanwhile.
//
// A backup lives in the first of these places that takes it: beside its
// file (as .NAME.tessvane-backup-DEV-INODE); else in the user's state
// directory, $XDG_STATE_HOME/tessvane or else $HOME/.local/state/tessvane;
// else in /var/tmp/tessvane-UID.  Outside the file's own directory its name
// is DEV-INODE-PATHHASH-NAME.  Device, inode and path in the name let a
// later run find the backup of exactly its file.
//
// Invariant: a backup exists under its name only when it is complete and
// on disk, its directory entry included.  It is written unnamed, or under
// NAME.partial where the file system has no unnamed files, and named after
// it is flushed; a partial copy left by a kill is removed by the next look.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "unique_fd.h"

namespace tessvane {

class Backup {
 public:
  // Saves the contents of the file open at fd, which is the file at path
  // (links resolved) with status, in the first place that takes a backup;
  // nullopt when none does.
  static std::optional<Backup> Make(const std::string& path, const struct stat& status, int fd);

  // The backup an interrupted run left of the file at path with status;
  // nullopt when there is none.
  static std::optional<Backup> Find(const std::string& path, const struct stat& status);

  // Copies the saved contents over the file open at fd and flushes it;
  // false on failure.
  bool RestoreTo(int fd) const;

  // Removes the backup and flushes its directory; false on failure.
  bool Remove() const;

 private:
  Backup(UniqueFd directory, std::string name, UniqueFd file) noexcept;

  UniqueFd directory_;
  std::string name_;
  UniqueFd file_;
};

}  // namespace tessvane
